#!/usr/bin/env python3
"""Puts the type infos of an MSFT type library into a given order.

widl writes an interface at the moment something first refers to it, so an
interface used as a parameter type ends up in front of where the IDL
defines it. The library's index order is part of its contract with the
clients; this rewrites the library so that the type infos stand in the
order named on the command line:

    tlb_order.py input.tlb output.tlb Name0 Name1 ...

Every type info must be named exactly once. References to type infos of
this library (an HREFTYPE is the offset of the type info's record) are
renumbered in the record table, the base-interface fields, the reference
table, the type descriptions, the name table and the GUID table.
"""
import struct
import sys

TYPEINFO_SIZE = 0x64
VT_USERDEFINED = 29
TKIND_INTERFACE, TKIND_DISPATCH = 3, 4

SEG_TYPEINFO, SEG_REFTAB, SEG_GUID, SEG_NAME, SEG_TYPEDESC = 0, 3, 5, 7, 9


def fail(text):
    sys.stderr.write("tlb_order: %s\n" % text)
    sys.exit(1)


def main(argv):
    if len(argv) < 4:
        fail("usage: tlb_order.py input.tlb output.tlb Name...")
    data = bytearray(open(argv[1], "rb").read())
    order = argv[3:]

    if data[0:4] != b"MSFT":
        fail("%s is not an MSFT type library" % argv[1])
    varflags = struct.unpack_from("<i", data, 0x14)[0]
    count = struct.unpack_from("<i", data, 0x20)[0]
    pos = 0x54 + (4 if varflags & 0x100 else 0)
    offsets = list(struct.unpack_from("<%di" % count, data, pos))
    if offsets != [i * TYPEINFO_SIZE for i in range(count)]:
        fail("unexpected type info offsets %r" % offsets)
    segdir = pos + 4 * count
    segs = [struct.unpack_from("<4i", data, segdir + 16 * i) for i in range(15)]

    def seg(i):
        return segs[i][0], segs[i][1]

    ti_start, ti_len = seg(SEG_TYPEINFO)
    name_start, name_len = seg(SEG_NAME)
    if ti_len != count * TYPEINFO_SIZE:
        fail("type info segment size %d for %d type infos" % (ti_len, count))

    def type_name(index):
        name_off = struct.unpack_from("<i", data, ti_start + index * TYPEINFO_SIZE + 0x34)[0]
        length = struct.unpack_from("<i", data, name_start + name_off + 8)[0] & 0xFF
        start = name_start + name_off + 12
        return data[start:start + length].decode("latin-1")

    names = [type_name(i) for i in range(count)]
    if sorted(names) != sorted(order) or len(set(order)) != len(order):
        fail("the order %r does not name the type infos %r" % (order, names))
    new_index = {names.index(n): i for i, n in enumerate(order)}
    remap = {old * TYPEINFO_SIZE: new * TYPEINFO_SIZE for old, new in new_index.items()}

    def fix(offset):
        value = struct.unpack_from("<i", data, offset)[0]
        if value in remap:
            struct.pack_into("<i", data, offset, remap[value])

    # Base-interface references in the records themselves.
    for i in range(count):
        rec = ti_start + i * TYPEINFO_SIZE
        kind = struct.unpack_from("<i", data, rec)[0] & 0xF
        if kind in (TKIND_INTERFACE, TKIND_DISPATCH):
            fix(rec + 0x54)

    # Implemented interfaces of coclasses: {reftype, flags, custdata, next}.
    start, length = seg(SEG_REFTAB)
    for off in range(start, start + max(length, 0), 16):
        fix(off)

    # Type descriptions: {vt | flags << 16, data}; a user-defined type's
    # data is the HREFTYPE.
    start, length = seg(SEG_TYPEDESC)
    for off in range(start, start + max(length, 0), 8):
        if struct.unpack_from("<I", data, off)[0] & 0xFFFF == VT_USERDEFINED:
            fix(off + 4)

    # Name table entries: {hreftype, next hash, length} + characters.
    off = name_start
    while off < name_start + name_len:
        fix(off)
        length = struct.unpack_from("<i", data, off + 8)[0] & 0xFF
        off += 12 + ((length + 3) & ~3)

    # GUID table entries: {GUID, hreftype, next hash}.
    start, length = seg(SEG_GUID)
    for off in range(start, start + max(length, 0), 24):
        fix(off + 16)

    # Finally the records move to their new places.
    records = [bytes(data[ti_start + i * TYPEINFO_SIZE:ti_start + (i + 1) * TYPEINFO_SIZE])
               for i in range(count)]
    for old, new in new_index.items():
        data[ti_start + new * TYPEINFO_SIZE:ti_start + (new + 1) * TYPEINFO_SIZE] = records[old]

    with open(argv[2], "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main(sys.argv)
