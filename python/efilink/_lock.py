"""The machine-wide interface lock and the shared list of USB units that host processes agree on."""

import contextlib
import ctypes
import struct
from dataclasses import dataclass
from typing import Optional

from ._library import LIBRARY, Error, LinkError, c_text
from ._link import LINKS, device_directory

LIST_SIZE = 4096
NO_OWNER = 0xFFFFFFFF
# An entry: its size (32-bit), owner (32-bit), a flag byte, the device path with its zero, and two
# zero bytes; entries follow one another unaligned, and the list ends at a size of 0.
ENTRY_OVERHEAD = 12
PATH_OFFSET = 9


@dataclass(frozen=True)
class Unit:
    """An attached unit as the shared list has it; `owner` None when nobody marked it."""

    index: int
    path: str
    owner: Optional[int]


def parse(buffer):
    """The entries of a list, with their byte offsets; only entries wholly inside the list."""
    entries, at = [], 0
    while at + ENTRY_OVERHEAD <= len(buffer):
        size, owner = struct.unpack_from("=II", buffer, at)
        if size < ENTRY_OVERHEAD or size > len(buffer) - at:
            break
        path = bytes(buffer[at + PATH_OFFSET : at + size]).split(b"\0", 1)[0]
        entries.append((at, Unit(len(entries), path.decode("utf-8", "replace"), None if owner == NO_OWNER else owner)))
        at += size
    return entries


def _call(name, *arguments):
    messages = []
    status = LIBRARY.call(name, *arguments, messages=messages)
    if status != 0:
        raise LinkError("%s failed" % name, status, messages)


def _point_at(device_dir):
    LIBRARY.call("EfiSetDeviceDirectory", c_text(device_directory(device_dir)))


def units(device_dir=None):
    """The USB units attached now, with the owners the shared list carries over by path."""
    _point_at(device_dir)
    buffer = (ctypes.c_ubyte * LIST_SIZE)()
    _call("EfiQueryInterface", LINKS["usb"], buffer)
    return [unit for _, unit in parse(bytes(buffer))]


class HeldList:
    """The shared list while this process holds the lock: change owners, write it back with
    update(); leaving the `with` block writes it once more and gives the lock up."""

    def __init__(self, buffer):
        self._buffer = buffer
        self.released = False

    @property
    def units(self):
        return [unit for _, unit in parse(bytes(self._buffer))]

    def set_owner(self, index, owner):
        """Marks unit `index` as owned by `owner` (None clears the mark) in this copy of the list."""
        if self.released:
            raise Error("the lock has been given up")
        if owner is not None and not 0 <= owner < NO_OWNER:
            raise ValueError("an owner is 0 to 0x%08x, or None" % (NO_OWNER - 1))
        entries = parse(bytes(self._buffer))
        if not 0 <= index < len(entries):
            raise IndexError("no unit %d in the list (%d units)" % (index, len(entries)))
        struct.pack_into("=I", self._buffer, entries[index][0] + 4, NO_OWNER if owner is None else owner)

    def update(self):
        """Writes this copy of the list into the shared one; the lock stays held."""
        if self.released:
            raise Error("the lock has been given up")
        _call("EfiUpdateInterface", LINKS["usb"], self._buffer)


@contextlib.contextmanager
def lock(device_dir=None, query=True):
    """Holds the machine-wide lock for the `with` block.

    With query (the default) the block gets a HeldList: the list of attached units as the lock was
    taken, whose owner marks it may change; the list is written back as the lock is given up. With
    query=False only the lock is taken and given up, and the block gets None."""
    if not query:
        _call("EfiLockInterface", LINKS["usb"])
        try:
            yield None
        finally:
            _call("EfiUnlockInterface", LINKS["usb"])
        return
    _point_at(device_dir)
    buffer = (ctypes.c_ubyte * LIST_SIZE)()
    _call("EfiQueryAndLockInterface", LINKS["usb"], buffer)
    held = HeldList(buffer)
    try:
        yield held
    finally:
        held.released = True
        _call("EfiReleaseInterfaceLock", LINKS["usb"], buffer)
