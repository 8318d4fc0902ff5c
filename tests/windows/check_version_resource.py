#!/usr/bin/env python3
"""Reads the version resource of Windows programs back from their files and checks it.

The fixed numbers must be the project's version, and FileVersion and ProductVersion the full
version that the programs print for --version (the string in the generated
program_version.cpp), so a build never ships an .exe whose properties say another version.

usage: check_version_resource.py PROJECT_VERSION program_version.cpp PROGRAM.exe...
"""
import re
import struct
import sys

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


def resource_section(image):
    """The .rsrc section's bytes and its relative virtual address."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections, optional_size = struct.unpack_from("<xxHxxxxxxxxxxxxH", image, pe + 4)
    table = pe + 24 + optional_size
    for i in range(sections):
        entry = table + 40 * i
        name = image[entry:entry + 8].rstrip(b"\0")
        size, address, raw_size, raw_offset = struct.unpack_from("<IIII", image, entry + 8)
        if name == b".rsrc":
            return image[raw_offset:raw_offset + raw_size], address
    raise ValueError("no .rsrc section")


def first_version_resource(rsrc, rva):
    """Walks type, name and language directories down to the first RT_VERSION data."""

    def entries(offset):
        named, numbered = struct.unpack_from("<HH", rsrc, offset + 12)
        for i in range(named + numbered):
            ident, target = struct.unpack_from("<II", rsrc, offset + 16 + 8 * i)
            yield ident, target

    for ident, target in entries(0):
        if ident != RT_VERSION or not target & 0x80000000:
            continue
        level = target & 0x7FFFFFFF
        while True:
            _, target = next(entries(level))
            if not target & 0x80000000:
                data_rva, size = struct.unpack_from("<II", rsrc, target)
                return rsrc[data_rva - rva:data_rva - rva + size]
            level = target & 0x7FFFFFFF
    raise ValueError("no version resource")


def read_block(data, offset):
    """One VS_VERSIONINFO-style block: (key, value bytes, value is text, children, end)."""
    length, value_length, is_text = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_end = offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if is_text else value_length
    value = data[value_at:value_at + value_bytes]
    children = []
    child = (value_at + value_bytes + 3) & ~3
    while child < end:
        block = read_block(data, child)
        children.append(block)
        child = (block[4] + 3) & ~3
    return key, value, is_text, children, end


def version_info(path):
    with open(path, "rb") as f:
        image = f.read()
    rsrc, rva = resource_section(image)
    key, value, _, children, _ = read_block(first_version_resource(rsrc, rva), 0)
    if key != "VS_VERSION_INFO":
        raise ValueError("version resource has key " + key)
    signature, _, ms, ls = struct.unpack_from("<IIII", value, 0)
    if signature != FIXED_SIGNATURE:
        raise ValueError("no fixed file information")
    numbers = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {}
    for child in children:
        if child[0] != "StringFileInfo":
            continue
        for table in child[3]:
            for entry in table[3]:
                strings[entry[0]] = entry[1].decode("utf-16-le").rstrip("\0")
    return numbers, strings


def main(argv):
    if len(argv) < 4:
        sys.stderr.write(__doc__)
        return 2
    project_version, generated, programs = argv[1], argv[2], argv[3:]
    with open(generated, encoding="utf-8") as f:
        printed = re.search(r'return "([^"]*)"', f.read()).group(1)
    numbers_expected = tuple(int(n) for n in (project_version + ".0").split("."))[:4]
    failures = 0
    for path in programs:
        name = path.replace("\\", "/").rsplit("/", 1)[-1]
        numbers, strings = version_info(path)
        print(f"{name}: FILEVERSION {','.join(map(str, numbers))}, "
              f"FileVersion \"{strings.get('FileVersion')}\"")
        checks = [
            (numbers == numbers_expected, f"FILEVERSION is {project_version}"),
            (strings.get("FileVersion") == printed, f"FileVersion is \"{printed}\""),
            (strings.get("ProductVersion") == printed, f"ProductVersion is \"{printed}\""),
            (strings.get("OriginalFilename") == name, f"OriginalFilename is {name}"),
        ]
        for ok, what in checks:
            if not ok:
                print(f"FAIL {name}: {what}")
                failures += 1
    if not printed.startswith(project_version):
        print(f"FAIL the printed version \"{printed}\" does not start with {project_version}")
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
