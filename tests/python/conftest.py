"""Shared by the Python package's tests: one software unit serving every link for the whole run
(the library keeps its Ethernet connection for the life of the process, so every Ethernet test
talks to this one), and the model unit's documented answers (softunit/README.md)."""

import sys

import pytest

import efilink
import efilink.testing

pytest_plugins = ["pytester"]

ALL_LINKS = ("usb", "ethernet", "bluetooth", "com", "uart", "pcan", "usbcan")

collect_ignore = []
if sys.platform == "win32":
    collect_ignore.append("test_links.py")


@pytest.fixture(scope="session")
def served():
    with efilink.testing.unit(*ALL_LINKS) as unit:
        yield unit


def digest(data, layout=None):
    """The model's digest: the sum of the command bytes outside the `elements` words."""
    skipped = set()
    for k in layout.arrays if layout else ():
        skipped.update(range((k + 6) & ~3, ((k + 6) & ~3) + 4))
    return sum(b for i, b in enumerate(data) if i not in skipped) & 0xFFFF


def model_arrays(command, count_of_arrays):
    """The model's arrays: (element size, elements as integers) per array."""
    sizes = (2, 1, 4, 3, 8, 16, 6, 12, 17, 5)
    arrays = []
    for j in range(count_of_arrays):
        size = sizes[(command + 3 * j) % 10]
        if count_of_arrays == 1:
            count = 8 + (command * 13) % 120
        else:
            count = 0 if (command + 2 * j) % 11 == 7 else 1 + (command * 5 + j * 3) % 7
        elements = [
            int.from_bytes(bytes((7 * command + 41 * j + 3 * i + 13 * b + 1) & 0xFF for b in range(size)), sys.byteorder)
            for i in range(count)
        ]
        arrays.append((size, elements))
    return arrays
