#!/usr/bin/env python3
"""Prints the version resource of a Windows program, read from the file itself.

    peversion.py PROGRAM.exe

One line for each of the fixed part's two versions and one for each string of
every string table:

    FILEVERSION 1.10.0.0
    PRODUCTVERSION 1.10.0.0
    040504e2 FileVersion=1.10
    040504e2 ProductName=Tarvelin

Exit status 1 when the file has no version resource or it is malformed.
"""
import struct
import sys

RT_VERSION = 16


def fail(text):
    print(f"peversion.py: {text}", file=sys.stderr)
    sys.exit(1)


def rva_to_offset(sections, rva):
    for virtual, size, raw in sections:
        if virtual <= rva < virtual + size:
            return rva - virtual + raw
    fail(f"address {rva:#x} lies in no section")


def first_entry(data, base, offset):
    """The first entry of a resource directory: (is a directory, offset)."""
    named, numbered = struct.unpack_from("<HH", data, offset + 12)
    if named + numbered == 0:
        fail("empty resource directory")
    _, target = struct.unpack_from("<II", data, offset + 16)
    return bool(target & 0x80000000), base + (target & 0x7FFFFFFF)


def version_data(data):
    at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[at:at + 4] != b"PE\0\0":
        fail("no PE header")
    count = struct.unpack_from("<H", data, at + 6)[0]
    optional_size = struct.unpack_from("<H", data, at + 20)[0]
    optional = at + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    rsrc_rva, _ = struct.unpack_from("<II", data, directories + 2 * 8)
    sections = []
    table = optional + optional_size
    for i in range(count):
        virtual_size, virtual, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        sections.append((virtual, max(virtual_size, raw_size), raw))
    if rsrc_rva == 0:
        fail("no resources")
    base = rva_to_offset(sections, rsrc_rva)
    # Level 1: types; find RT_VERSION among the numbered entries.
    named, numbered = struct.unpack_from("<HH", data, base + 12)
    entry = base + 16 + 8 * named
    for i in range(numbered):
        ident, target = struct.unpack_from("<II", data, entry + 8 * i)
        if ident == RT_VERSION:
            break
    else:
        fail("no version resource")
    # Level 2 (the name) and level 3 (the language): the first of each.
    is_dir, offset = True, base + (target & 0x7FFFFFFF)
    while is_dir:
        is_dir, offset = first_entry(data, base, offset)
    data_rva, size = struct.unpack_from("<II", data, offset)
    start = rva_to_offset(sections, data_rva)
    return data[start:start + size]


def block(data, offset):
    """(length, value length, type, key, offset of the value, end)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    at = offset + 6
    end_of_key = at
    while data[end_of_key:end_of_key + 2] != b"\0\0":
        end_of_key += 2
    key = data[at:end_of_key].decode("utf-16-le")
    value = (end_of_key + 2 + 3) & ~3
    return length, value_length, kind, key, value, offset + length


def children(data, start, end):
    offset = (start + 3) & ~3
    while offset < end:
        length = struct.unpack_from("<H", data, offset)[0]
        if length == 0:
            break
        yield offset
        offset = (offset + length + 3) & ~3


def main():
    if len(sys.argv) != 2:
        print("usage: peversion.py PROGRAM.exe", file=sys.stderr)
        return 2
    with open(sys.argv[1], "rb") as f:
        data = version_data(f.read())
    length, value_length, _, key, value, end = block(data, 0)
    if key != "VS_VERSION_INFO" or value_length < 52:
        fail("malformed VS_VERSION_INFO")
    fixed = struct.unpack_from("<13I", data, value)
    if fixed[0] != 0xFEEF04BD:
        fail("no VS_FIXEDFILEINFO signature")

    def four(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"

    print("FILEVERSION", four(fixed[2], fixed[3]))
    print("PRODUCTVERSION", four(fixed[4], fixed[5]))
    for child in children(data, value + value_length, end):
        _, _, _, name, child_value, child_end = block(data, child)
        if name != "StringFileInfo":
            continue
        for table in children(data, child_value, child_end):
            _, _, _, language, table_value, table_end = block(data, table)
            for string in children(data, table_value, table_end):
                _, chars, _, name, text_at, _ = block(data, string)
                text = data[text_at:text_at + 2 * chars].decode("utf-16-le").rstrip("\0")
                print(f"{language} {name}={text}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
