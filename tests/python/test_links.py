"""Every link the software unit serves, and the simulator library, through the package: a sample
of commands whose responses must decode as their layouts say, with the model unit's values."""

import re
import sys

import pytest

import efilink
from conftest import ALL_LINKS, digest, model_arrays

# Commands chosen for their response layouts: 32-bit fields, 16- and 32-bit fields, one long
# array, scalars with arrays, a kinded record of the kind the command data select, three arrays
# with rounding and an empty one, and data that travel unconverted.
SAMPLE = [(0x00, b""), (0x0A, bytes([0x12, 0x34, 0x56, 0x78, 1, 2, 3, 4])), (0x0C, b""), (0x10, b""),
          (0x33, (5).to_bytes(2, sys.byteorder) + bytes(2)), (0x56, b""), (0x07, b"")]


def check_against_model(command, data, response):
    assert response.ok and response.decoded, (response.status_name, response.problems)
    row = efilink.layouts()[command]
    command_layout = efilink.layout(row.command_layout) if row.command_layout else None
    d = digest(data, command_layout)
    if row.response_layout is None:
        assert response.layout is None and response.fields == []
        assert response.data == bytes((11 * command + 29 * i + d) & 0xFF for i in range(4 + command % 13))
        return
    kinded = row.response_layout == "KindedRecord_TS"
    layout = efilink.layout(row.response_layout, response.data[28] if kinded else None)
    assert response.layout == (f"KindedRecord_TS kind {layout.kind}" if kinded else layout.name)

    scalars = {f.offset: f for f in response.fields if isinstance(f, efilink.Field)}
    assert sorted(scalars) == sorted(layout.fields16 + layout.fields32)
    for k in layout.fields16:
        assert scalars[k] == efilink.Field(k, 2, command << 8 | k)
    for k in layout.fields32:
        assert scalars[k] == efilink.Field(k, 4, command << 24 | k << 16 | d)

    arrays = {f.offset: f for f in response.fields if isinstance(f, efilink.Array)}
    assert sorted(arrays) == sorted(layout.arrays)
    end = layout.data_start or 0
    for k, (size, elements) in zip(layout.arrays, model_arrays(command, len(layout.arrays))):
        array = arrays[k]
        assert (array.element_size, array.element_count, array.elements) == (size, len(elements), elements)
        if elements:
            assert array.elements_offset >= layout.data_start and (array.elements_offset - layout.data_start) % size == 0
            end = array.elements_offset + size * len(elements)
    assert len(response.data) == max(end, layout.fixed_size)


@pytest.mark.parametrize("name", ("simulator",) + ALL_LINKS)
def test_sample_commands_decode_as_their_layouts_say(served, name):
    with efilink.open(name) if name == "simulator" else served.open(name) as link:
        for command, data in SAMPLE:
            check_against_model(command, data, link.send(command, data))
        if name != "simulator":
            refused = link.send(0x33, b"\5")  # shorter than its layout: the unit answers status 2
            assert (refused.ok, refused.status, refused.status_name, refused.data) == (False, 2, "UNIT_STATUS", b"")


def test_command_arrays_are_placed_and_go_out_in_the_units_order(served, tmp_path):
    # 0x02 carries an array of three 16-bit elements; its `elements` word is the package's to
    # set, and only an array the library can follow goes out converted.
    trace = tmp_path / "trace"
    efilink.trace(trace)
    try:
        with served.open("usb") as link:
            data = (1).to_bytes(4, sys.byteorder) + bytes([2, 0, 3, 0]) + bytes(4) + bytes(range(0x11, 0x17))
            assert link.send(0x02, data).fields == [efilink.Field(0, 4, 2 << 24 | digest(data, efilink.layout("TS_L0_A4")))]
    finally:
        efilink.trace(None)
    sent = re.search(r"out=[0-9A-F]{16}:([0-9A-F]*)", trace.read_text()).group(1)
    assert sent[:16] == "0000000102000300" and sent[24:] == "121114131615"


def test_an_unconverted_link_hands_over_the_units_order(served):
    with served.open("usb", convert=False) as link:
        response = link.send(0x05, bytes([0, 0, 0, 1]))
    assert response.data == bytes([5, 0, 0, 1])


def test_response_size_limits_what_is_received(served):
    with served.open("ethernet") as link:
        with pytest.raises(efilink.LinkError) as failure:
            link.send(0x0C, b"", response_size=16)
        assert failure.value.status_name == "STATUS_CR_RESPONSE_BUFFER_TOO_SMALL"
        assert link.send(0x05, (1).to_bytes(4, sys.byteorder)).fields[0].value == 0x05000001, "in step afterwards"
