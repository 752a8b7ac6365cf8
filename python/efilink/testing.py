"""The software unit as a test fixture.

    from efilink.testing import unit
    with unit("usb", "ethernet") as u:
        with u.open("usb") as link:
            assert link.send(0x05, b"\\1\\0\\0\\0").ok

`unit()` starts `efilink unit` for the links named in a child process, waits until it serves,
and ends it on leaving the block; the unit removes its device entries as it ends, and the device
directory made for it goes too. The pytest plugin offers the same as the `efilink_unit` fixture.
"""

import contextlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
from dataclasses import dataclass
from typing import Optional

from . import _link
from ._library import Error, location

# The links a unit serves, by the names efilink.open takes, and the unit program's option for each.
UNIT_OPTIONS = {
    "usb": ["--usb"],
    "ethernet": ["--tcp", "127.0.0.1:0"],
    "bluetooth": ["--bluetooth"],
    "com": ["--com", "9"],
    "uart": ["--uart"],
    "pcan": ["--can"],
    "usbcan": ["--can"],
}
# The unit program names its links a little differently.
SERVED_AS = {"usb": "usb", "ethernet": "tcp", "bluetooth": "bluetooth", "com": "com", "uart": "uart", "pcan": "can", "usbcan": "can"}
START_TIMEOUT = 15.0
STOP_TIMEOUT = 10.0


def program():
    """The efilink program: EFILINK_PROGRAM, the one the build or install put beside this package,
    or the one on PATH."""
    if os.environ.get("EFILINK_PROGRAM"):
        return os.environ["EFILINK_PROGRAM"]
    recorded = location().get("program")
    for path in (recorded, recorded + ".exe" if recorded else None):
        if path and os.path.isfile(path):
            return path
    found = shutil.which("efilink")
    if not found:
        raise Error("no efilink program beside the package or on PATH; set EFILINK_PROGRAM")
    return found


@dataclass(frozen=True)
class Served:
    """Where a served link is: `path` (a device, "host:port", or the CAN bus's port), its entry in
    the device directory, the flag word that reaches it, the environment variable a host sets for
    its adapter library, and that library."""

    link: str
    path: str
    entry: Optional[str]
    flags: int
    variable: Optional[str]
    library: Optional[str]


class Unit:
    """A running software unit: `links` by name, `device_dir`, `pid`, and open(name) for a Link."""

    def __init__(self, process, device_dir, links):
        self.process = process
        self.pid = process.pid
        self.device_dir = device_dir
        self.links = links
        self.variables = {}
        self.opened = []

    def __repr__(self):
        return "<efilink.testing.Unit pid=%d %s>" % (self.pid, " ".join(self.links))

    @property
    def address(self):
        """host:port of the Ethernet link."""
        return self.links["ethernet"].path

    def open(self, name, **options):
        """Opens the served link `name` with what reaches it (options as efilink.open has them)."""
        if name not in self.links:
            raise ValueError("this unit serves %s, not %r" % (", ".join(self.links), name))
        served = self.links[name]
        if served.variable:
            key, _, value = served.variable.partition("=")
            self.variables.setdefault(key, os.environ.get(key))
            os.environ[key] = value
        if name in ("pcan", "usbcan", "uart"):
            if not served.library and "adapter_library" not in options:
                raise Error("no stand-in adapter library for the %s link beside %s" % (name, program()))
            options.setdefault("adapter_library", served.library)
        if name == "ethernet":
            options.setdefault("address", served.path)
        if name == "com":
            options.setdefault("port", served.flags >> _link.FLAG_SERIAL_PORT_SHIFT & 0xF)
        if served.entry is None and name in ("usb", "bluetooth"):
            options.setdefault("device", served.path)  # Windows: a named pipe, by its path
        if self.device_dir:
            options.setdefault("device_dir", self.device_dir)
        link = _link.open(name, **options)
        self.opened.append(link)
        return link

    def close_links(self):
        """Closes what open() opened and puts the environment back as it was."""
        for link in self.opened:
            link.close()
        self.opened.clear()
        for key, value in self.variables.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
        self.variables.clear()


def _read_events(process, error_log):
    """The unit's `serving` lines until `ready`; raises Error if it ends or stalls first."""
    events, done = [], threading.Event()
    failure = []

    def reader():
        try:
            for line in process.stdout:
                event = json.loads(line)
                if "error" in event:  # the program's own failure, as one object
                    failure.append("; ".join([event["error"]] + event.get("messages", [])))
                    break
                if event.get("event") == "ready":
                    events.append(event)
                    break
                events.append(event)
        except ValueError as error:
            failure.append("an unreadable line from the unit: %s" % error)
        finally:
            done.set()

    threading.Thread(target=reader, daemon=True).start()
    if not done.wait(START_TIMEOUT) or not events or events[-1].get("event") != "ready":
        error_log.seek(0)
        reason = failure[0] if failure else error_log.read().decode("utf-8", "replace").strip()
        raise Error("efilink unit did not start serving%s" % (": " + reason if reason else ""))
    return events


def _stop(process):
    if process.poll() is None:
        if sys.platform == "win32":
            process.send_signal(signal.CTRL_BREAK_EVENT)
        else:
            process.terminate()
        try:
            process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if process.stdout:
        process.stdout.close()


@contextlib.contextmanager
def unit(*links, script=None, device_dir=None):
    """Serves the software unit on the links named (all of them when none is) for the `with`
    block, yielding a Unit. `script` is a fault script (its text, or a path), as `efilink unit
    --script` takes; `device_dir` a device directory to use instead of a fresh temporary one."""
    links = links or tuple(UNIT_OPTIONS)
    for name in links:
        if name not in UNIT_OPTIONS:
            raise ValueError("the unit serves %s, not %r" % (", ".join(UNIT_OPTIONS), name))
    scratch = tempfile.mkdtemp(prefix="efilink-unit-")
    try:
        directory = os.fspath(device_dir) if device_dir is not None else os.path.join(scratch, "devices")
        command = [program(), "unit", "--json", "--device-dir", directory]
        for option in {tuple(UNIT_OPTIONS[name]): None for name in links}:  # pcan and usbcan share a bus
            command.extend(option)
        if script is not None:
            script = os.fspath(script)
            if not os.path.isfile(script):
                with open(os.path.join(scratch, "script"), "w", encoding="utf-8") as file:
                    file.write(script)
                script = file.name
            command.extend(["--script", script])
        with tempfile.TemporaryFile(dir=scratch) as error_log:
            flags = subprocess.CREATE_NEW_PROCESS_GROUP if sys.platform == "win32" else 0
            process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=error_log, stdin=subprocess.DEVNULL,
                                       creationflags=flags, text=True)
            running = None
            try:
                events = _read_events(process, error_log)
                served = {}
                for event in events[:-1]:
                    for name in links:
                        if SERVED_AS[name] != event["link"]:
                            continue
                        library = event.get("usbcan_library") if name == "usbcan" else event.get("library")
                        served[name] = Served(name, event["path"], event["entry"], event["flags"], event["variable"], library)
                running = Unit(process, events[-1].get("device_directory") or None, served)
                yield running
            finally:
                if running is not None:
                    running.close_links()
                _stop(process)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
