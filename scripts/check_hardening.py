#!/usr/bin/env python3
"""Fails unless each Windows program is built for address-space layout randomisation (dynamic
base with its relocations kept, and 64-bit high-entropy addresses) and for data execution
prevention (NX compatible), so that a change of toolchain or flags cannot drop them unnoticed.

Usage: check_hardening.py <program.exe> [...]
"""
import struct
import sys

HIGH_ENTROPY_VA = 0x0020
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
PE32_PLUS = 0x20B
DLL_CHARACTERISTICS = 70            # in the optional header, PE32 and PE32+ alike
DIRECTORIES_PE32_PLUS = 112
BASE_RELOCATION_DIRECTORY = 5
REQUIRED = {'dynamic base': DYNAMIC_BASE, 'high-entropy addresses': HIGH_ENTROPY_VA, 'NX compatible': NX_COMPAT}


def problems_of(path):
    with open(path, 'rb') as f:
        data = f.read(4096)
    if data[:2] != b'MZ':
        return ['not a PE image']
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        return ['not a PE image']
    optional = pe + 24
    magic, = struct.unpack_from('<H', data, optional)
    if magic != PE32_PLUS:
        return ['not a 64-bit image']
    flags, = struct.unpack_from('<H', data, optional + DLL_CHARACTERISTICS)
    out = ['not %s' % name for name, bit in REQUIRED.items() if not flags & bit]
    _, relocations = struct.unpack_from('<II', data, optional + DIRECTORIES_PE32_PLUS + 8 * BASE_RELOCATION_DIRECTORY)
    if relocations == 0:
        out.append('no relocations (the image cannot be moved)')
    return out


def main(argv):
    failed = False
    for path in argv[1:]:
        problems = problems_of(path)
        for p in problems:
            print('%s: %s' % (path, p), file=sys.stderr)
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
