#!/usr/bin/env python3
"""Points a linked PE image's load-configuration directory at its .lcfg section.

GNU ld 2.40 does not fill that directory from `_load_config_used` (load_config.c), so the build does it
after linking: directory 10 gets the section's address and the structure's own Size field.
"""
import struct
import sys

LOAD_CONFIG = 10
CHECKSUM = 64  # offset of CheckSum in the optional header


def pe_checksum(data, checksum_at):
    """The image checksum as the linker and Windows' CheckSumMappedFile compute it: 16-bit one's
    complement sum of the file's words, the checksum field counted as zero, plus the file length."""
    total = 0
    padded = bytes(data) + b"\0" * (len(data) % 2)
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    total -= struct.unpack_from("<H", data, checksum_at)[0] + struct.unpack_from("<H", data, checksum_at + 2)[0]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main(path):
    with open(path, "r+b") as image:
        data = bytearray(image.read())
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            sys.exit(f"{path}: not a PE image")
        sections = struct.unpack_from("<H", data, pe + 6)[0]
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            sys.exit(f"{path}: not a PE32+ image")
        if struct.unpack_from("<I", data, optional + 108)[0] <= LOAD_CONFIG:
            sys.exit(f"{path}: no load-configuration directory entry")
        directory = optional + 112 + LOAD_CONFIG * 8
        table = optional + optional_size
        for index in range(sections):
            header = table + index * 40
            name = bytes(data[header:header + 8]).rstrip(b"\0")
            if name != b".lcfg":
                continue
            address, raw = struct.unpack_from("<I", data, header + 12)[0], struct.unpack_from("<I", data, header + 20)[0]
            size = struct.unpack_from("<I", data, raw)[0]
            if size != 0x70:
                sys.exit(f"{path}: .lcfg does not start with a 64-bit load configuration (size {size:#x})")
            struct.pack_into("<II", data, directory, address, size)
            # The header changed: its checksum must cover the image as it now is.
            struct.pack_into("<I", data, optional + CHECKSUM, pe_checksum(data, optional + CHECKSUM))
            image.seek(0)
            image.write(data)
            return
        sys.exit(f"{path}: no .lcfg section")


if __name__ == "__main__":
    main(sys.argv[1])
