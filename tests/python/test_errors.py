"""Bad input and failed exchanges: clear Python exceptions, never a crash of the interpreter."""

import struct
import sys

import pytest

import efilink
from efilink import _library


@pytest.fixture
def simulator():
    with efilink.open("simulator") as link:
        yield link


@pytest.mark.parametrize(
    "link, options, message",
    [
        ("can", {}, "unknown link 'can'"),
        (0x00000004, {}, "selects no link"),
        (0x00001000, {}, "selects no link"),  # a serial link without its port number
        ("com", {}, "needs port="),
        ("com", {"port": 16}, "needs port="),
        ("uart", {"port": 0x3E8}, "0x3F8 or 0x2F8"),
        ("usb", {"port": 1}, "port= goes with"),
        (1 << 32, {}, "does not fit 32 bits"),
        ("usb", {"adapter_library": "x.so"}, "adapter_library= goes with"),
    ],
)
def test_links_and_options_that_select_nothing_are_refused(link, options, message):
    with pytest.raises(ValueError, match=message):
        efilink.open(link, **options)


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ((0x05, bytes(4089)), ValueError, "4089 bytes of command data: a link takes at most 4088"),
        ((0x05, b"", 4089), ValueError, "response_size is 0 to 4088"),
        ((0x05, b"", -1), ValueError, "response_size is 0 to 4088"),
        ((256,), ValueError, "command number is 0 to 255"),
        ((0x05, "text"), TypeError, "bytes-like"),
    ],
)
def test_bad_exchanges_are_refused_before_the_library_sees_them(simulator, arguments, error, message):
    with pytest.raises(error, match=message):
        simulator.send(*arguments)
    assert simulator.send(0x05, memoryview(struct.pack("=I", 1))).fields[0].value == 0x05000001


def test_a_closed_link_and_a_second_link_are_refused(simulator):
    with pytest.raises(efilink.Error, match="still open"):
        efilink.open("simulator")
    simulator.close()
    with pytest.raises(efilink.Error, match="closed"):
        simulator.send(0x05, bytes(4))
    simulator.close()  # closing twice is harmless
    with efilink.open("simulator") as again:
        assert again.send(0x05, struct.pack("=I", 1)).ok


def test_a_units_status_is_a_response_unless_checked(efilink_unit):
    unit = efilink_unit("usb", script="status 7\nstatus 7\n")
    with unit.open("usb") as link:
        refused = link.send(0x05, struct.pack("=I", 1))
        assert (refused.ok, refused.status, refused.status_name, refused.fields) == (False, 7, "UNIT_STATUS", [])
        with pytest.raises(efilink.UnitStatusError) as raised:
            link.send(0x05, struct.pack("=I", 1), check=True)
        assert raised.value.status == 7 and raised.value.response.command == 0x05


def test_a_link_that_does_not_open_names_the_status_and_the_librarys_messages(tmp_path):
    with pytest.raises(efilink.LinkError) as raised:
        efilink.open("usb", device_dir=tmp_path)  # no unit entered there
    assert raised.value.status_name.startswith("STATUS_CR_")
    assert raised.value.messages and "library: " in str(raised.value)
    with efilink.open("simulator") as link:  # and nothing is left open
        assert link.send(0x05, struct.pack("=I", 1)).ok


def test_a_failed_exchange_raises_and_the_link_stays_in_step(efilink_unit, caplog):
    unit = efilink_unit("usb", script="bad_marker 0x1234\nbad_marker 0x1234\n")
    with unit.open("usb") as link:
        with pytest.raises(efilink.LinkError) as raised:
            link.send(0x05, struct.pack("=I", 1))
        assert raised.value.status == 0x20000009 and raised.value.status_name == "STATUS_CR_BAD_RESPONSE_MARKER"
        assert any("20000009" in line for line in raised.value.messages)
        assert link.send(0x05, struct.pack("=I", 1)).fields[0].value == 0x05000001
    assert any(record.name == "efilink" for record in caplog.records), "messages reach logging too"


def elf_header(bits):
    return b"\x7fELF" + bytes([1 if bits == 32 else 2, 1, 1]) + bytes(57)


def test_a_library_of_the_other_width_is_refused_before_loading(tmp_path, monkeypatch):
    other = 32 if sys.maxsize > 2**32 else 64
    path = tmp_path / "libefilink.so.0"
    path.write_bytes(elf_header(other))
    monkeypatch.setenv("EFILINK_LIBRARY", str(path))
    with pytest.raises(efilink.LibraryError, match=f"a {other}-bit library, and this Python .* is {96 - other}-bit"):
        _library.Library().load()


@pytest.mark.parametrize("content", [None, b"not a library " * 64])
def test_a_library_that_does_not_load_is_named_with_the_reason(tmp_path, monkeypatch, content):
    path = tmp_path / "libefilink.so.0"
    if content is not None:
        path.write_bytes(content)
    monkeypatch.setenv("EFILINK_LIBRARY", str(path))
    with pytest.raises(efilink.LibraryError) as raised:
        _library.Library().load()
    assert f"{path} (EFILINK_LIBRARY): " in str(raised.value)
    assert ("not found" if content is None else "invalid ELF header") in str(raised.value)
