"""Finding and loading the efilink library, and calling its C exports through ctypes.

The library keeps one link, one message handler and a few settings for the whole process and
expects its exports to be called from one thread at a time, so every call goes through `call()`,
which holds one lock and collects the messages the library reports meanwhile.
"""

import ctypes
import json
import logging
import os
import struct
import sys
import threading

log = logging.getLogger("efilink")
# A library leaves the handlers to the application: nothing is printed unless it configures some.
log.addHandler(logging.NullHandler())

PACKAGE_DIRECTORY = os.path.dirname(os.path.abspath(__file__))
# Where the build or the install put the library and the efilink program, relative to this folder.
LOCATION_FILE = os.path.join(PACKAGE_DIRECTORY, "_location.json")

if sys.platform == "win32":
    LIBRARY_NAMES = ("efilink.dll",)
else:
    LIBRARY_NAMES = ("libefilink.so.0", "libefilink.so")

INTERPRETER_BITS = struct.calcsize("P") * 8

STATUS_NAMES = {
    0x00000000: "OK",
    0x20000001: "STATUS_CR_NOT_INITIALIZED",
    0x20000002: "STATUS_CR_LOCKED_BUFFER_FAILED",
    0x20000003: "STATUS_CR_NOT_CONNECTED",
    0x20000004: "STATUS_CR_SERIAL_TRANSFER_FAILED",
    0x20000005: "STATUS_CR_RESPONSE_BUFFER_TOO_SMALL",
    0x20000006: "STATUS_CR_WRITE_FAILED",
    0x20000007: "STATUS_CR_READ_FAILED",
    0x20000008: "STATUS_CR_COMMAND_TOO_LARGE",
    0x20000009: "STATUS_CR_BAD_RESPONSE_MARKER",
    0x2000000A: "STATUS_CR_OPEN_FAILED",
    0x60000001: "STATUS_TS_BAD_ARRAY",
    0x60000002: "STATUS_TS_EMPTY_ARRAY",
}


def status_name(status):
    """The name of a status word: the library's own codes by name, the unit's 16-bit statuses as
    UNIT_STATUS, anything else (a link's bare 1, say) as UNKNOWN."""
    if status in STATUS_NAMES:
        return STATUS_NAMES[status]
    return "UNIT_STATUS" if status <= 0xFFFF else "UNKNOWN"


class Error(Exception):
    """Base class of the package's exceptions."""


class LibraryError(Error, OSError):
    """The efilink library could not be loaded (not found, or not one this interpreter can use)."""


class LinkError(Error):
    """A link that did not open or an exchange that failed; carries the status and the library's
    messages."""

    def __init__(self, message, status=None, messages=()):
        self.status = status
        self.status_name = status_name(status) if status is not None else None
        self.messages = list(messages)
        text = message
        if status is not None:
            text += " (%s, 0x%08x)" % (self.status_name, status)
        for line in self.messages:
            text += "\n  library: " + line
        super().__init__(text)


def location():
    """What the build or the install recorded about where things are, as absolute paths."""
    try:
        with open(LOCATION_FILE, encoding="utf-8") as file:
            recorded = json.load(file)
    except (OSError, ValueError):
        return {}
    resolved = {}
    for key, value in recorded.items():
        if isinstance(value, list):
            resolved[key] = [os.path.normpath(os.path.join(PACKAGE_DIRECTORY, each)) for each in value]
        elif isinstance(value, str):
            resolved[key] = os.path.normpath(os.path.join(PACKAGE_DIRECTORY, value))
    return resolved


def binary_width(path):
    """32 or 64 for an ELF or PE file, None when the header says neither (or cannot be read)."""
    try:
        with open(path, "rb") as file:
            head = file.read(64)
            if head[:4] == b"\x7fELF" and len(head) > 4:
                return {1: 32, 2: 64}.get(head[4])
            if head[:2] == b"MZ" and len(head) >= 64:
                file.seek(struct.unpack_from("<I", head, 0x3C)[0])
                pe = file.read(6)
                if pe[:4] == b"PE\0\0" and len(pe) == 6:
                    machine = struct.unpack_from("<H", pe, 4)[0]
                    return {0x014C: 32, 0x01C4: 32, 0x8664: 64, 0xAA64: 64}.get(machine)
    except OSError:
        return None
    return None


def candidates():
    """The places tried, in order: (description, path or name, whether it is a path)."""
    explicit = os.environ.get("EFILINK_LIBRARY")
    if explicit:
        # A library named explicitly is the only one tried: loading another one instead would
        # hide the mistake.
        return [("EFILINK_LIBRARY", explicit, True)]
    tried = []
    directories = [PACKAGE_DIRECTORY] + location().get("library_dirs", [])
    for directory in directories:
        for name in LIBRARY_NAMES:
            tried.append(("beside the package", os.path.join(directory, name), True))
    tried.append(("system loader", LIBRARY_NAMES[0], False))
    return tried


def open_library(path, is_path):
    """Loads one candidate; raises LibraryError with the reason."""
    if is_path:
        if not os.path.exists(path):
            raise LibraryError("not found")
        width = binary_width(path)
        if width is not None and width != INTERPRETER_BITS:
            raise LibraryError(
                "a %d-bit library, and this Python (%s) is %d-bit" % (width, sys.executable, INTERPRETER_BITS)
            )
    try:
        library = ctypes.CDLL(path)
    except OSError as error:
        reason = str(error)
        if "wrong ELF class" in reason or getattr(error, "winerror", None) == 193:
            reason = "not a %d-bit library (%s)" % (INTERPRETER_BITS, reason)
        raise LibraryError(reason) from None
    try:
        declare(library)
    except AttributeError as error:
        raise LibraryError("not the efilink library: %s" % error) from None
    return library


u8, u16, u32 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32
MessageHandler = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p)

SIGNATURES = {
    "EfiInitializeInterfaces": (u32, [u32, ctypes.c_char_p]),
    "EfiCloseInterfaces": (u32, [u32]),
    "EfiConnectCommandResponseInterface": (u32, []),
    "EfiAppendPlayback": (u32, [ctypes.c_void_p, u32]),
    "EnableErrorMessages": (None, [u8]),
    "EfiSendCommand": (u32, [u8, ctypes.c_void_p, u16, ctypes.c_void_p, u16, ctypes.POINTER(u16)]),
    "EfiLockInterface": (u32, [u32]),
    "EfiUnlockInterface": (u32, [u32]),
    "EfiQueryInterface": (u32, [u32, ctypes.c_void_p]),
    "EfiQueryAndLockInterface": (u32, [u32, ctypes.c_void_p]),
    "EfiUpdateInterface": (u32, [u32, ctypes.c_void_p]),
    "EfiReleaseInterfaceLock": (u32, [u32, ctypes.c_void_p]),
    "EfiSetMessageHandler": (None, [MessageHandler, ctypes.c_void_p]),
    "EfiSetDeviceDirectory": (None, [ctypes.c_char_p]),
    "EfiSetEthernetAddress": (None, [ctypes.c_char_p, ctypes.c_char_p]),
    "EfiGetLibraryVersion": (u32, [ctypes.c_char_p, u32]),
    "EfiSetAdapterLibrary": (u32, [u32, ctypes.c_char_p]),
    "EfiSetTraceFile": (u32, [ctypes.c_char_p]),
}


def declare(library):
    for name, (result, arguments) in SIGNATURES.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments


class Library:
    """The loaded library, its path, and the messages of the call under way."""

    def __init__(self):
        self.lock = threading.RLock()
        self.dll = None
        self.path = None
        self.messages = None
        self.handler = MessageHandler(self.on_message)  # kept alive as long as the library

    def load(self):
        with self.lock:
            if self.dll is not None:
                return self.dll
            tried = []
            for description, path, is_path in candidates():
                try:
                    dll = open_library(path, is_path)
                except LibraryError as error:
                    tried.append("%s (%s): %s" % (path, description, error))
                    continue
                dll.EfiSetMessageHandler(self.handler, None)
                self.dll, self.path = dll, path
                log.debug("loaded %s", path)
                return dll
            raise LibraryError("cannot load the efilink library; tried:\n  " + "\n  ".join(tried))

    def on_message(self, title, text, _context):
        line = "%s: %s" % (
            (title or b"").decode("utf-8", "replace"),
            (text or b"").decode("utf-8", "replace"),
        )
        log.warning("%s", line)
        if self.messages is not None:
            self.messages.append(line)

    def call(self, name, *arguments, messages=None):
        """Calls one export; the library's messages meanwhile go to `messages` too, if given."""
        dll = self.load()
        with self.lock:
            self.messages = messages
            try:
                return getattr(dll, name)(*arguments)
            finally:
                self.messages = None


LIBRARY = Library()


def c_text(value):
    """A str or path for a char* argument (None stays None)."""
    if value is None:
        return None
    return os.fsencode(value)
