"""The software unit fixture's start and clean-up, the lock exports, and what the package takes from
the library and the program."""

import json
import os
import re
import subprocess
import sys

import pytest

import efilink
import efilink.testing

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="device entries and signals as off Windows")


def entries_of(unit):
    return [served.entry for served in unit.links.values() if served.entry]


def test_the_unit_serves_until_the_block_ends_and_leaves_nothing_behind():
    with pytest.raises(RuntimeError, match="inside"):
        with efilink.testing.unit("usb", "com", "bluetooth") as unit:
            process, directory, entries = unit.process, unit.device_dir, entries_of(unit)
            assert process.poll() is None and len(entries) == 3
            assert all(os.path.realpath(entry).startswith("/dev/pts/") for entry in entries)
            with unit.open("com") as link:  # a COM-port link to a converting unit: connect refused, exchange fine
                assert link.connect_status != 0 and link.send(0x05, bytes([1, 0, 0, 0])).ok
            left_open = unit.open("bluetooth")
            raise RuntimeError("inside")
    assert process.returncode == 0, "ended by its interrupt, not killed"
    assert left_open.closed, "links the unit opened are closed with it"
    assert not any(os.path.lexists(entry) for entry in entries) and not os.path.exists(directory)


def test_a_device_directory_given_is_used_and_emptied(tmp_path):
    devices = tmp_path / "devices"
    with efilink.testing.unit("usb", device_dir=devices) as unit:
        assert unit.device_dir == str(devices) and os.path.dirname(entries_of(unit)[0]).startswith(str(devices))
        with efilink.open("usb", device_dir=devices) as link:  # found in the class directory, no path given
            assert link.send(0x05, bytes([1, 0, 0, 0])).ok
    assert not devices.exists() or not any(devices.rglob("efilink-unit-*"))


def test_a_unit_that_cannot_start_says_why():
    with pytest.raises(efilink.Error, match="did not start serving: .*line 1"):
        with efilink.testing.unit("usb", script="frobnicate 3\n"):
            pass


def test_the_pytest_plugin_ends_every_unit_it_started(pytester):
    pytester.makepyfile(
        """
        def test_two_units(efilink_unit):
            for links in (("usb",), ("ethernet", "pcan")):
                unit = efilink_unit(*links)
                print("PID", unit.pid)
                with unit.open(links[-1]) as link:
                    assert link.send(0x05, bytes([1, 0, 0, 0])).ok
        """
    )
    result = pytester.runpytest_subprocess("-s")
    result.assert_outcomes(passed=1)
    for pid in re.findall(r"PID (\d+)", result.stdout.str()):
        with pytest.raises(ProcessLookupError):
            os.kill(int(pid), 0)


@pytest.fixture
def shared_list():
    """The machine's own lock objects, removed afterwards only when this test made them."""
    names = ("/dev/shm/Tarvendix_USB_MutexObject", "/dev/shm/Tarvendix_USB_FileMappingObject")
    existed = [os.path.exists(name) for name in names]
    yield
    for name, was in zip(names, existed):
        if not was and os.path.exists(name):
            os.remove(name)


def test_owner_marks_go_through_the_shared_list(efilink_unit, shared_list):
    unit = efilink_unit("usb")
    entry = unit.links["usb"].entry
    assert efilink.units(device_dir=unit.device_dir) == [efilink.Unit(0, entry, None)]
    with efilink.lock(device_dir=unit.device_dir) as held:
        held.set_owner(0, 42)
        held.update()
        with pytest.raises(IndexError):
            held.set_owner(1, 42)
    assert efilink.units(device_dir=unit.device_dir)[0].owner == 42
    with efilink.lock(device_dir=unit.device_dir) as held:
        held.set_owner(0, None)
    assert efilink.units(device_dir=unit.device_dir)[0].owner is None
    with efilink.lock(query=False) as nothing:
        assert nothing is None


def test_version_and_layouts_come_from_the_library_and_its_program():
    bits = 64 if sys.maxsize > 2**32 else 32
    assert re.fullmatch(r"efilink \d+\.\d+\.\d+ \(Linux, %d-bit\)" % bits, efilink.version())
    program = subprocess.run([efilink.testing.program(), "layouts", "--json"], capture_output=True, check=True)
    commands = json.loads(program.stdout)["commands"]
    assert len(efilink.layouts()) == 88
    assert [(c.command, c.command_layout, c.response_layout) for c in efilink.layouts()] == [
        (c["command"], c["command_layout"], c["response_layout"]) for c in commands
    ]
