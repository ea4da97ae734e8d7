"""Cabinet checks for the archive builder's end-to-end tests: a direct reading of the cabinet
records, which also holds every raw entry name to the archive's name rule (readers clean names as
they extract, so only the raw bytes show an unsafe one), and extraction by the independent readers
(cabextract, 7z, gcab, Wine's extrac32)."""

import os
import re
import shutil
import struct
import subprocess
import tempfile
from pathlib import Path

COMPRESS_MSZIP = 0x0001
COMPRESS_LZX21 = 0x1503
ATTRIB_NAME_IS_UTF = 0x80


# Windows' device names, which open a device in any folder, with or without an extension.
_DEVICE = re.compile(r'(con|prn|aux|nul|com[1-9]|lpt[1-9]) *(\..*)?', re.I)


def unsafe_name(raw, utf8=True):
    """Why the raw entry name could make a reader that takes it as it is write outside its target
    folder (or into another file than named), or None: components joined by backslashes, each
    non-empty, not "." or "..", without "/", ":" or control characters, not ending in a dot or a
    space, not a device name."""
    try:
        name = raw.decode('utf-8' if utf8 else 'latin-1')
    except UnicodeDecodeError:
        return 'not UTF-8'
    for part in name.split('\\'):
        if part in ('', '.', '..'):
            return 'component %r' % part
        if any(c in '/:' or ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F for c in part):
            return 'character in %r' % part
        if part[-1] in '. ':
            return 'trailing dot or space in %r' % part
        if _DEVICE.fullmatch(part):
            return 'device name %r' % part
    return None


def parse_cab(data, names=True):
    """Header, folders and file entries of a single cabinet (raises ValueError when malformed, or
    when a raw entry name is not safe, unless names is False)."""
    if data[:4] != b'MSCF':
        raise ValueError('no MSCF signature')
    (_, cb_cabinet, _, coff_files, _, minor, major, n_folders, n_files, flags, set_id,
     i_cabinet) = struct.unpack_from('<IIIIIBBHHHHH', data, 4)
    pos = 36
    signature = None
    if flags & 0x0004:
        cb_header, cb_folder, cb_data = struct.unpack_from('<HBB', data, pos)
        # An Authenticode signature: a 20-byte header reserve that points to the signature appended
        # after the cabinet.
        if cb_header == 20 and data[40:44] == b'\0\0\x10\0':
            signature = struct.unpack_from('<II', data, 44)
        pos += 4 + cb_header
    if cb_cabinet != len(data) and not (signature and signature[0] == cb_cabinet and sum(signature) == len(data)):
        raise ValueError('cabinet size field %d, file %d' % (cb_cabinet, len(data)))
    if flags & 0x0001 or flags & 0x0002:
        raise ValueError('cabinet refers to another cabinet')
    folders = []
    for _ in range(n_folders):
        start, n_data, compress = struct.unpack_from('<IHH', data, pos)
        folders.append({'start': start, 'blocks': n_data, 'compress': compress})
        pos += 8
    files = []
    pos = coff_files
    for _ in range(n_files):
        size, offset, folder, date, time, attribs = struct.unpack_from('<IIHHHH', data, pos)
        end = data.index(b'\0', pos + 16)
        raw = data[pos + 16:end]
        files.append({'size': size, 'offset': offset, 'folder': folder, 'date': date, 'time': time,
                      'attribs': attribs, 'raw_name': raw,
                      'name': raw.decode('utf-8' if attribs & ATTRIB_NAME_IS_UTF else 'latin-1')})
        pos = end + 1
        problem = unsafe_name(raw, attribs & ATTRIB_NAME_IS_UTF) if names else None
        if problem:
            raise ValueError('unsafe entry name %r: %s' % (raw, problem))
    return {'version': (major, minor), 'set_id': set_id, 'index': i_cabinet, 'flags': flags,
            'folders': folders, 'files': files}


def dos_date_time(dt):
    """MS-DOS date and time words of a naive local datetime."""
    date = ((dt.year - 1980) << 9) | (dt.month << 5) | dt.day
    time = (dt.hour << 11) | (dt.minute << 5) | (dt.second // 2)
    return date, time


def _collect(folder):
    out = {}
    for root, _, names in os.walk(folder):
        for n in names:
            p = Path(root) / n
            out[str(p.relative_to(folder)).replace('/', '\\')] = p.read_bytes()
    return out


def _extract(tool, argv, cab, message='stderr'):
    """Files {name with backslashes: bytes} that `argv(folder) + [cab]` extracts into a fresh folder;
    the cabinet's raw names are checked first, since the readers clean what they extract."""
    parse_cab(Path(cab).read_bytes())
    with tempfile.TemporaryDirectory() as d:
        r = subprocess.run(argv(d) + [str(cab)], capture_output=True, timeout=120)
        if r.returncode != 0:
            raise AssertionError('%s failed: %s' % (tool, getattr(r, message).decode('utf-8', 'replace')))
        return _collect(d)


def extract_cabextract(cab):
    return _extract('cabextract', lambda d: ['cabextract', '-q', '-d', d], cab)


def extract_7z(cab):
    return _extract('7z', lambda d: ['7z', 'x', '-y', '-o' + d], cab, message='stdout')


def extract_gcab(cab):
    return _extract('gcab', lambda d: ['gcab', '-x', '-C', d], cab)


def _ascii_copy(prefix, cab):
    """extrac32 opens cabinets through the ANSI code page: give it a plain-ASCII path (after the
    raw names are checked, as for the other readers)."""
    parse_cab(Path(cab).read_bytes())
    copy = prefix.scratch('.cab')
    shutil.copyfile(str(cab), str(copy))
    return copy


def extract_wine(prefix, cab):
    """Extraction with Wine's own cabinet reader (extrac32) inside the prefix."""
    cab = _ascii_copy(prefix, cab)
    target = prefix.scratch('.x')
    target.mkdir()
    r = prefix.wine(['extrac32', '/y', '/e', '/l', prefix.winpath(target), prefix.winpath(cab)], timeout=120)
    if r.code != 0:
        raise AssertionError('extrac32 failed (%d): %s' % (r.code, r.stderr))
    out = _collect(target)
    shutil.rmtree(str(target), ignore_errors=True)
    return out


def list_wine(prefix, cab):
    """Names and sizes as Wine's extrac32 lists them ("date time attributes size name")."""
    r = prefix.wine(['extrac32', '/d', prefix.winpath(_ascii_copy(prefix, cab))], timeout=120)
    if r.code != 0:
        raise AssertionError('extrac32 /d failed (%d): %s' % (r.code, r.stderr))
    out = {}
    for line in r.stdout.splitlines():
        parts = line.split(None, 4)
        if len(parts) == 5 and parts[3].isdigit():
            out[parts[4]] = int(parts[3])
    return out


def readers_agree(test, prefix, cab, expected, wine='extract'):
    """Every reader extracts exactly `expected` ({name with backslashes: bytes}) from `cab`.
    wine: 'extract' (extrac32 extracts), 'list' (extrac32 lists names and sizes only: its
    extraction writes non-ASCII names in the ANSI code page), or None."""
    for name, extract in (('cabextract', extract_cabextract), ('7z', extract_7z)):
        test.assertEqual(extract(cab), expected, name)
    if wine == 'extract':
        test.assertEqual(extract_wine(prefix, cab), expected, 'extrac32')
    elif wine == 'list':
        test.assertEqual(list_wine(prefix, cab), {k: len(v) for k, v in expected.items()}, 'extrac32 /d')
