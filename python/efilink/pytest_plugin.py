"""pytest plugin: the software unit as the `efilink_unit` fixture.

    def test_status(efilink_unit):
        u = efilink_unit("usb")
        with u.open("usb") as link:
            assert link.send(0x05, b"\\1\\0\\0\\0").ok

The fixture is a factory: each call starts a unit for the links named (as efilink.testing.unit
takes them) and every unit started ends with the test.
"""

import contextlib

import pytest

from . import testing


@pytest.fixture
def efilink_unit():
    with contextlib.ExitStack() as units:

        def start(*links, script=None, device_dir=None):
            return units.enter_context(testing.unit(*links, script=script, device_dir=device_dir))

        yield start
