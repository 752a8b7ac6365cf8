"""One command through python-can on the virtual CAN bus, by hand: with no arguments through its
pcan interface (the stand-in PCAN library must open, send and receive as the real one does), with
"slcan <port>" through its serial-line interface (the unit's serial-line adapter must answer as
such adapters do). Prints the response message in hex."""
import sys

import can

FIRST, CONSECUTIVE, FLOW = 0x10, 0x20, 0x30


def frame(data):
    return can.Message(arbitration_id=0x16666666, is_extended_id=True, data=bytes(data).ljust(8, b"\0"))


def from_unit(bus):
    while True:
        message = bus.recv(2.0)
        if message is None:
            sys.exit("the unit did not answer")
        if message.is_extended_id and message.arbitration_id == 0x16666667:
            return message.data


if sys.argv[1:2] == ["slcan"]:
    bus = can.Bus(interface="slcan", channel=sys.argv[2], bitrate=500000, sleep_after_open=0.1)
else:
    bus = can.Bus(interface="pcan", channel="PCAN_USBBUS1", bitrate=500000)
try:
    command = bytes([0xCD, 0x07, 0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 0xD0, 0xD1, 0xD2])
    bus.send(frame([FIRST, len(command)] + list(command[:6])))
    if from_unit(bus)[0] & 0xF0 != FLOW:
        sys.exit("no flow control")
    bus.send(frame([CONSECUTIVE + 1] + list(command[6:])))
    first = from_unit(bus)
    length = (first[0] & 0x0F) << 8 | first[1]
    response = bytearray(first[2:8])
    bus.send(frame([FLOW, 0, 0]))
    while len(response) < length:
        response += from_unit(bus)[1:8]
    print(response[:length].hex())
finally:
    bus.shutdown()
