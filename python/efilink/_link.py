"""Opening a link, one exchange at a time, and the decoded response."""

import atexit
import ctypes
import os
import sys
from dataclasses import dataclass, field as dataclass_field
from typing import List, Optional

from . import _layouts
from ._library import LIBRARY, Error, LinkError, c_text, location, status_name

MAX_DATA_SIZE = _layouts.MAX_DATA_SIZE

FLAG_COMMAND_RESPONSE_INTERFACE = 0x00000002
FLAG_SERIAL_FIRST_PORT = 0x00000080
FLAG_SERIAL_PORT_SHIFT = 16
FLAG_SERIAL_PORT_MASK = 0x000F0000
FLAG_NO_CONVERSION = 0x80000000
CLOSE_ALL_PORTS = 0x4

# The links by name, and the flag bit that selects each.
LINKS = {
    "simulator": 0x00000200,
    "usb": 0x00000020,
    "ethernet": 0x00400000,
    "bluetooth": 0x00100000,
    "com": 0x00001000,
    "uart": 0x00002000,
    "pcan": 0x00200000,
    "usbcan": 0x00000100,
}
# The links that load an adapter library, which EfiSetAdapterLibrary can name.
ADAPTER_LINKS = ("usbcan", "pcan", "uart")
# The UART driver's two legacy ports, chosen with the first-port bit.
UART_PORTS = {0x3F8: FLAG_SERIAL_FIRST_PORT, 0x2F8: 0}


def selected_link(flags):
    """The link a flag word selects, by the library's precedence; None when it selects none."""
    for name in ("simulator", "ethernet", "bluetooth", "pcan", "usbcan", "usb"):
        if flags & LINKS[name]:
            return name
    if flags & FLAG_SERIAL_PORT_MASK:
        if flags & LINKS["uart"]:
            return "uart"
        if flags & LINKS["com"]:
            return "com"
    return None


def user_device_directory():
    """The device directory an `efilink unit` of this user makes when none is named."""
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime:
        return os.path.join(runtime, "efilink")
    import tempfile

    return os.path.join(tempfile.gettempdir(), "efilink-%d" % os.getuid())


def device_directory(option):
    """The device directory as the efilink program chooses it: the option, EFILINK_DEVICE_DIR, this
    user's own directory while it exists; None leaves the library's default."""
    if option:
        return os.fspath(option)
    if os.environ.get("EFILINK_DEVICE_DIR"):
        return os.environ["EFILINK_DEVICE_DIR"]
    if sys.platform != "win32":
        own = user_device_directory()
        if os.path.isdir(own):
            return own
    return None


def bundled_simulator():
    """The simulator library that came with the build, or with the install's softunit part."""
    for path in location().get("simulators", []):
        if os.path.exists(path):
            return path
    raise Error("no simulator library beside the build or the install; name one with library=<path>")


def flag_word(link, port, convert):
    """The flag word for a link name or a flag word, with the serial port bits and conversion."""
    if isinstance(link, bool) or not isinstance(link, (str, int)):
        raise TypeError("link is a name (%s) or a flag word, not %r" % (", ".join(LINKS), link))
    if isinstance(link, int):
        if not 0 <= link <= 0xFFFFFFFF:
            raise ValueError("flag word 0x%x does not fit 32 bits" % link)
        if port is not None:
            raise ValueError("port= goes with the link names 'com' and 'uart', not with a flag word")
        flags = link
    elif link not in LINKS:
        raise ValueError("unknown link %r; the links are %s" % (link, ", ".join(LINKS)))
    else:
        flags = LINKS[link]
        if link == "com":
            if port is None or isinstance(port, bool) or not isinstance(port, int) or not 1 <= port <= 15:
                raise ValueError("the com link needs port=<n>, its COM port number from 1 to 15")
            flags |= port << FLAG_SERIAL_PORT_SHIFT | FLAG_COMMAND_RESPONSE_INTERFACE
        elif link == "uart":
            port = 0x3F8 if port is None else port
            if port not in UART_PORTS:
                raise ValueError("the uart link's port is 0x3F8 or 0x2F8, not %r" % (port,))
            flags |= 1 << FLAG_SERIAL_PORT_SHIFT | UART_PORTS[port] | FLAG_COMMAND_RESPONSE_INTERFACE
        elif port is not None:
            raise ValueError("port= goes with the com and uart links, not with %r" % link)
    if not convert:
        flags |= FLAG_NO_CONVERSION
    if selected_link(flags) is None:
        raise ValueError(
            "flag word 0x%08x selects no link (0x200, 0x400000, 0x100000, 0x200000, 0x100, 0x20, "
            "or 0x2000 or 0x1000 with a port number in 0xF0000)" % flags
        )
    return flags


@dataclass
class Response:
    """One exchange's result. `status` is 0 or the unit's own status; `data` the bytes received;
    `layout` the response layout's name ("KindedRecord_TS kind 37" for a kinded record, None for
    data that travel unconverted); `fields` the converted fields and arrays in offset order;
    `problems` how the data differ from what the layout says (empty when they decode)."""

    command: int
    status: int
    data: bytes
    layout: Optional[str]
    fields: List[object] = dataclass_field(default_factory=list)
    problems: List[str] = dataclass_field(default_factory=list)
    messages: List[str] = dataclass_field(default_factory=list)

    @property
    def ok(self):
        return self.status == 0

    @property
    def status_name(self):
        return status_name(self.status)

    @property
    def decoded(self):
        return self.ok and not self.problems

    def field(self, offset):
        """The field or array at a byte offset of the layout."""
        for each in self.fields:
            if each.offset == offset:
                return each
        raise KeyError("%s has no field at offset %d" % (self.layout, offset))


class UnitStatusError(LinkError):
    """A unit's non-zero status, raised by send(..., check=True); `.response` is the response."""

    def __init__(self, response):
        self.response = response
        super().__init__("the unit answered command 0x%02X with a status" % response.command, response.status)


_open_link = None


class Link:
    """An open link. Use it as a context manager, or call close(); the library holds one link per
    process, so a second one opens only after this one is closed."""

    def __init__(self, flags, init_text, connect_status, notes):
        self.flags = flags
        self.name = selected_link(flags)
        self.text = init_text
        # The serial links' connect handshake; a COM-port link to a unit that converts refuses it
        # and goes on with conversion as initialised, as the efilink program does.
        self.connect_status = connect_status
        self.notes = notes
        self.closed = False

    def __repr__(self):
        return "<efilink.Link %s flags=0x%08x%s>" % (self.name, self.flags, " closed" if self.closed else "")

    def __enter__(self):
        return self

    def __exit__(self, *_exception):
        self.close()

    def close(self):
        global _open_link
        if self.closed:
            return
        self.closed = True
        if _open_link is self:
            _open_link = None
        LIBRARY.call("EfiCloseInterfaces", CLOSE_ALL_PORTS)

    def _check_open(self):
        if self.closed:
            raise Error("the %s link is closed" % self.name)

    def send(self, command, data=b"", response_size=MAX_DATA_SIZE, check=False):
        """Sends one command with its data in the host's byte order and returns the Response.
        Raises LinkError when the exchange fails (a status of the library's own), and
        UnitStatusError for a unit's non-zero status when check is true."""
        self._check_open()
        if isinstance(command, bool) or not isinstance(command, int) or not 0 <= command <= 0xFF:
            raise ValueError("the command number is 0 to 255, not %r" % (command,))
        try:
            payload = bytes(memoryview(data))
        except TypeError:
            raise TypeError("data must be bytes-like, not %s" % type(data).__name__) from None
        if len(payload) > MAX_DATA_SIZE:
            raise ValueError("%d bytes of command data: a link takes at most %d" % (len(payload), MAX_DATA_SIZE))
        if isinstance(response_size, bool) or not isinstance(response_size, int) or not 0 <= response_size <= MAX_DATA_SIZE:
            raise ValueError("response_size is 0 to %d, not %r" % (MAX_DATA_SIZE, response_size))

        command_buffer = (ctypes.c_ubyte * max(len(payload), 1))()
        placed = bytearray(payload)
        _layouts.place_command_arrays(command, placed, ctypes.addressof(command_buffer))
        ctypes.memmove(command_buffer, bytes(placed), len(placed))
        response_buffer = (ctypes.c_ubyte * max(response_size, 1))()
        received = ctypes.c_uint16(0)
        messages = []
        status = LIBRARY.call(
            "EfiSendCommand",
            command,
            command_buffer if payload else None,
            len(payload),
            response_buffer if response_size else None,
            response_size,
            ctypes.byref(received),
            messages=messages,
        )
        if status > 0xFFFF:
            raise LinkError("command 0x%02X over the %s link failed" % (command, self.name), status, messages)
        data = bytes(response_buffer)[: min(received.value, response_size)]
        row = _layouts.table().row(command)
        if status == 0:
            layout, fields, problems = _layouts.decode(command, data, ctypes.addressof(response_buffer))
            response = Response(command, status, data, layout, fields, problems, messages)
        else:
            response = Response(command, status, data, row.response_layout if row else None, [], [], messages)
        if check and status != 0:
            raise UnitStatusError(response)
        return response

    def append_playback(self, records):
        """Hands playback records to the simulator library (the simulator link only)."""
        self._check_open()
        block = bytes(memoryview(records))
        buffer = (ctypes.c_ubyte * max(len(block), 1)).from_buffer_copy(block.ljust(1, b"\0"))
        messages = []
        status = LIBRARY.call("EfiAppendPlayback", buffer, len(block), messages=messages)
        if status:
            raise LinkError("EfiAppendPlayback failed", status, messages)


def open(link, *, text=None, device=None, address=None, adapter_library=None, library=None, device_dir=None,
         port=None, convert=True):  # noqa: A001 - efilink.open, as io.open
    """Opens a link by name ("simulator", "usb", "ethernet", "bluetooth", "com", "uart", "pcan",
    "usbcan") or by flag word, and returns the Link.

    text / device   the text of EfiInitializeInterfaces: a device path for USB and Bluetooth
    address         "host[:port]" where the Ethernet link connects (default: the unit's own)
    adapter_library the library a CAN or UART-driver link loads in place of the usual one
    library         the simulator library (default: the one that comes with the build or install)
    device_dir      the device directory (default as the efilink program chooses it)
    port            the COM port number (com), or 0x3F8 / 0x2F8 (uart)
    convert         False: the data travel unconverted
    """
    global _open_link
    if _open_link is not None and not _open_link.closed:
        raise Error("%r is still open; the library holds one link at a time, so close it first" % _open_link)
    flags = flag_word(link, port, convert)
    if text is not None and device is not None:
        raise ValueError("text= and device= are the same argument; give one")
    init_text = text if text is not None else device
    if library is not None and selected_link(flags) != "simulator":
        raise ValueError("library= names the simulator library; use adapter_library= for an adapter")
    if library is not None and init_text is not None:
        raise ValueError("text= and library= both name the simulator library; give one")
    if init_text is None and selected_link(flags) == "simulator":
        init_text = "@" + os.fspath(library if library is not None else bundled_simulator())
    chosen = [name for name in ADAPTER_LINKS if flags & LINKS[name]]
    if adapter_library is not None and not chosen:
        raise ValueError("adapter_library= goes with the pcan, usbcan and uart links")

    host = service = None
    if address is not None:
        host, _, service = str(address).rpartition(":") if ":" in str(address) else (str(address), "", "")
        if not host:
            raise ValueError("address is 'host[:port]', not %r" % (address,))
    LIBRARY.call("EfiSetEthernetAddress", c_text(host), c_text(service or None))
    LIBRARY.call("EfiSetDeviceDirectory", c_text(device_directory(device_dir)))
    for name in ADAPTER_LINKS:
        LIBRARY.call("EfiSetAdapterLibrary", LINKS[name], c_text(adapter_library if name in chosen else None))

    messages = []
    status = LIBRARY.call("EfiInitializeInterfaces", flags, c_text(init_text), messages=messages)
    if status != 0:
        where = "the %s link (flag word 0x%08x%s)" % (
            selected_link(flags), flags, ", text %r" % init_text if init_text is not None else "")
        raise LinkError("%s did not initialise" % where, status, messages)
    connect_status = LIBRARY.call("EfiConnectCommandResponseInterface", messages=messages)
    _open_link = Link(flags, init_text, connect_status, messages)
    return _open_link


@atexit.register
def _close_at_exit():
    if _open_link is not None and not _open_link.closed:
        _open_link.close()
