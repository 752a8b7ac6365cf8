"""The layouts of the command and response data, and reading a response the way its layout says.

The table itself is not written here: the build asks the efilink program for it
(`efilink layouts --json`) and puts the answer beside this file as _layouts.json.
"""

import json
import os
import struct
import sys
from dataclasses import dataclass, field
from typing import List, Optional

LAYOUTS_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_layouts.json")
MAX_DATA_SIZE = 4088
ADDRESS_BITS = struct.calcsize("P") * 8


@dataclass(frozen=True)
class Layout:
    """One transfer structure: converted 16- and 32-bit fields and array descriptors, by byte
    offset. `data_start` is where the arrays' elements begin (None without arrays)."""

    name: str
    fixed_size: int
    data_start: Optional[int]
    fields16: tuple
    fields32: tuple
    arrays: tuple  # descriptor offsets, in placement order
    kind: Optional[int] = None  # for one kind of a kinded record


@dataclass(frozen=True)
class Command:
    """A row of the converter table: the command number and its two layouts' names (None where
    the data travel as they are)."""

    command: int
    command_layout: Optional[str]
    response_layout: Optional[str]


@dataclass(frozen=True)
class Field:
    """A converted 16-bit (size 2) or 32-bit (size 4) field of a response, in host order."""

    offset: int
    size: int
    value: int


@dataclass(frozen=True)
class Array:
    """An array of a response: its descriptor's offset, element size and count, where its
    elements lie in the response data (None when it has none or they are not there), and the
    elements as integers in host order (empty when they could not be read)."""

    offset: int
    element_size: int
    element_count: int
    elements_offset: Optional[int]
    elements: List[int] = field(default_factory=list)


def elements_word_offset(descriptor):
    """Offset of a descriptor's `elements` word: the first multiple of 4 at or after k + 3."""
    return (descriptor + 6) & ~3


class Table:
    def __init__(self, document):
        self.commands = [
            Command(row["command"], row["command_layout"], row["response_layout"]) for row in document["commands"]
        ]
        self.layouts = {}
        self.kinds = {}
        self.kind_byte = None
        for entry in document["layouts"]:
            self.layouts[entry["name"]] = self.layout_of(entry["name"], entry)
            if "kinds" in entry:
                self.kind_byte = entry["kind_byte"]
                self.kinds[entry["name"]] = {k["kind"]: self.layout_of(entry["name"], k, k["kind"]) for k in entry["kinds"]}

    @staticmethod
    def layout_of(name, entry, kind=None):
        return Layout(
            name,
            entry["fixed_size"],
            entry["data_start"],
            tuple(entry["fields16"]),
            tuple(entry["fields32"]),
            tuple(a["descriptor"] for a in entry["arrays"]),
            kind,
        )

    def row(self, command):
        return self.commands[command] if 0 <= command < len(self.commands) else None

    def effective(self, name, data):
        """The layout that applies to `data`: for a kinded record the one of its kind byte
        (kinds without a part of their own read as kind 0)."""
        if name not in self.kinds:
            return self.layouts[name]
        kinds = self.kinds[name]
        kind = data[self.kind_byte] if len(data) > self.kind_byte else 0
        return kinds.get(kind, kinds[0])


_table = None


def table():
    global _table
    if _table is None:
        try:
            with open(LAYOUTS_FILE, encoding="utf-8") as file:
                _table = Table(json.load(file))
        except OSError as error:
            raise RuntimeError(
                "the layout table %s is missing: use the package from a build folder or an install, "
                "which generate it (%s)" % (LAYOUTS_FILE, error)
            ) from None
    return _table


def placement(layout, data):
    """Where the placement rule puts each array's elements: arrays in descriptor order, each at
    the next multiple of its element size from the data-area start, empty arrays taking no room;
    a zero element size or a descriptor past the data ends the walk, and the elements must end
    within 4088 bytes. Returns [(descriptor, element size, count, elements offset or None)] for
    every array of the layout, and whether the rule held.
    """
    spans, used, holds = [], 0, True
    for k in layout.arrays:
        readable = elements_word_offset(k) + 4 <= len(data)
        size, count = (data[k], data[k + 1] << 8 | data[k + 2]) if readable else (0, 0)
        if not readable or (count and not size):
            holds = False
        if not holds or count == 0:
            spans.append((k, size, count, None))
            continue
        used = -(-used // size) * size
        spans.append((k, size, count, layout.data_start + used))
        used += size * count
    if layout.arrays and layout.data_start + used > MAX_DATA_SIZE:
        holds = False
    return spans, holds


def elements_word(offset, base_address):
    """The `elements` word for elements at `offset` of a structure at `base_address`: the offset
    itself with 64-bit addresses, the address with 32-bit ones."""
    return offset if ADDRESS_BITS > 32 else (base_address + offset) & 0xFFFFFFFF


def place_command_arrays(command, buffer, base_address):
    """Sets the `elements` words of the command data's arrays where the placement rule puts them,
    as a host lays out command data (the caller cannot know the buffer's address)."""
    t = table()
    row = t.row(command)
    if row is None or row.command_layout is None or not len(buffer):
        return
    layout = t.effective(row.command_layout, buffer)
    for k, _size, _count, offset in placement(layout, buffer)[0]:
        if offset is not None:
            struct.pack_into("=I", buffer, elements_word_offset(k), elements_word(offset, base_address))


def decode(command, data, base_address):
    """Reads a response as its layout says. Returns (layout label, fields, problems); the label is
    None for a command whose response travels unconverted."""
    t = table()
    row = t.row(command)
    if row is None or row.response_layout is None:
        return None, [], []
    layout = t.effective(row.response_layout, data)
    label = layout.name if layout.kind is None else "%s kind %d" % (layout.name, layout.kind)
    problems = []
    fixed = layout.data_start if layout.arrays else layout.fixed_size
    if len(data) < fixed:
        problems.append("%d bytes received, %s needs %d" % (len(data), label, fixed))
    fields = []
    for k in layout.fields16:
        if k + 2 <= len(data):
            fields.append(Field(k, 2, int.from_bytes(data[k : k + 2], sys.byteorder)))
    for k in layout.fields32:
        if k + 4 <= len(data):
            fields.append(Field(k, 4, int.from_bytes(data[k : k + 4], sys.byteorder)))
    if len(data) >= fixed and layout.arrays:
        spans, holds = placement(layout, data)
        if not holds:
            problems.append("the arrays do not fit the placement rule")
        for k, size, count, offset in spans:
            elements = []
            if offset is not None:
                word = int.from_bytes(data[elements_word_offset(k) : elements_word_offset(k) + 4], sys.byteorder)
                if word != elements_word(offset, base_address):
                    problems.append("array at %d: its elements word does not point at %d" % (k, offset))
                if offset + size * count > len(data):
                    problems.append("array at %d: elements run to %d, past the %d bytes received" % (k, offset + size * count, len(data)))
                else:
                    elements = [
                        int.from_bytes(data[offset + i * size : offset + (i + 1) * size], sys.byteorder)
                        for i in range(count)
                    ]
            fields.append(Array(k, size, count, offset, elements))
    fields.sort(key=lambda f: f.offset)
    return label, fields, problems
