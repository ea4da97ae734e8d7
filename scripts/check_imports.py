#!/usr/bin/env python3
"""Checks that Windows programs import only DLLs the system itself provides, so that each
program runs from its folder with nothing installed beside it.

Usage: check_imports.py <objdump> <program.exe> [...]
"""
import re
import subprocess
import sys

SYSTEM_DLLS = {
    'advapi32.dll', 'comctl32.dll', 'comdlg32.dll', 'crypt32.dll', 'gdi32.dll', 'kernel32.dll',
    'msvcrt.dll', 'ole32.dll', 'oleaut32.dll', 'shell32.dll', 'shlwapi.dll', 'user32.dll',
    'uxtheme.dll', 'version.dll', 'wininet.dll', 'wintrust.dll', 'ws2_32.dll', 'imm32.dll',
    'cabinet.dll', 'bcrypt.dll', 'ntdll.dll', 'msimg32.dll', 'winmm.dll', 'urlmon.dll',
}


def main(argv):
    objdump, programs = argv[1], argv[2:]
    problems = 0
    for exe in programs:
        out = subprocess.run([objdump, '-p', exe], capture_output=True, text=True, check=True).stdout
        dlls = sorted({m.lower() for m in re.findall(r'DLL Name: (\S+)', out)})
        foreign = [d for d in dlls if d not in SYSTEM_DLLS]
        print('%s imports %s' % (exe, ', '.join(dlls)))
        if not dlls:
            print('  no imports found: not a program?')
            problems += 1
        for d in foreign:
            print('  %s is not a system DLL' % d)
            problems += 1
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
