"""efilink for Python: the efilink library's C exports through ctypes, with responses decoded as
their layouts say.

    import efilink
    with efilink.open("simulator") as link:
        response = link.send(0x05, (1).to_bytes(4, "little"))
        print(response.status_name, response.fields)

The library is found through EFILINK_LIBRARY, then beside this package (as a build or an install
put it), then by the system's loader. `efilink.testing` runs the software unit for tests.
"""

from ._layouts import Array, Command, Field, Layout
from ._library import LIBRARY as _LIBRARY
from ._library import Error, LibraryError, LinkError, c_text, status_name
from ._link import LINKS, MAX_DATA_SIZE, Link, Response, UnitStatusError, open
from ._lock import HeldList, Unit, lock, units
from . import _layouts

__all__ = [
    "Array", "Command", "Error", "Field", "HeldList", "Layout", "LibraryError", "Link", "LinkError", "LINKS",
    "MAX_DATA_SIZE", "Response", "Unit", "UnitStatusError", "enable_messages", "layout", "layouts", "library_path",
    "lock", "open", "status_name", "trace", "units", "version",
]


def version():
    """The library's own description: "efilink <version> (<platform>, <32|64>-bit)"."""
    import ctypes

    size = 64
    while True:
        buffer = ctypes.create_string_buffer(size)
        if _LIBRARY.call("EfiGetLibraryVersion", buffer, size) == 0:
            return buffer.value.decode("utf-8", "replace")
        size *= 2


def library_path():
    """The path (or name, when the system's loader found it) of the library in use."""
    _LIBRARY.load()
    return _LIBRARY.path


def layouts():
    """The converter table: one Command per command number 0x00 to 0x57, with the names of its
    command and response layouts (None where the data travel unconverted)."""
    return list(_layouts.table().commands)


def layout(name, kind=None):
    """A layout by name; for a kinded record, the layout of one kind."""
    table = _layouts.table()
    if name not in table.layouts:
        raise KeyError("no layout %r" % (name,))
    if kind is None:
        return table.layouts[name]
    if name not in table.kinds:
        raise ValueError("%s has no kinds" % name)
    return table.kinds[name].get(kind, table.kinds[name][0])


def trace(path):
    """Traces every exchange into the file at path (created, or emptied); None ends tracing."""
    messages = []
    if _LIBRARY.call("EfiSetTraceFile", c_text(path), messages=messages) != 0:
        raise LinkError("cannot trace into %s" % (path,), None, messages)


def enable_messages(enable):
    """Switches the library's error messages on or off (they reach `logging` and LinkError)."""
    _LIBRARY.call("EnableErrorMessages", 1 if enable else 0)
