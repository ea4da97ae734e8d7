"""Cabinets written by the Windows build of the cabinet writer (cab_make.exe under Wine), read
back by Wine's own cabinet library (FDI, through extrac32) and by cabextract: the bytes and names
must come back exactly, for MSZIP and LZX folders."""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SRC = Path(os.environ.get('TB_SRC') or Path(__file__).resolve().parents[3])
BIN = Path(os.environ.get('TB_BIN') or SRC / 'build' / 'windows')
WINE_DLLS = Path('/usr/lib/x86_64-linux-gnu/wine/x86_64-windows')


def wine_env():
    env = dict(os.environ)
    env.update(WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree=;mshtml=', WINEARCH='win64', TZ='Asia/Tokyo')
    env.setdefault('WINEPREFIX', os.environ.get('TB_WINE_BASE') or str(BIN / 'wine' / 'base'))
    return env


def winpath(p):
    return 'Z:' + str(p).replace('/', '\\')


def text(n, seed):
    r = random.Random(seed)
    words = ['cabinet', 'folder', 'data', 'block', 'the', 'of', 'window', 'Huffman', 'match', '\r\n']
    out = []
    size = 0
    while size < n:
        w = r.choice(words) + ' '
        out.append(w)
        size += len(w)
    return ''.join(out).encode()[:n]


def noise(n, seed):
    return random.Random(seed).randbytes(n)


CASES = {
    'small': {'seven': b'1234567', 'eight': b'\xe8\x01\x02\x03\x04\x05\x06\x07', 'nine': b'abcdefghi',
              'empty': b'', 'one': b'x'},
    'edges': {'a': text(32767, 1), 'b': noise(32768, 2), 'c': text(32769, 3)},
    'pe_and_text': {'bin\\kernel32.dll': (WINE_DLLS / 'kernel32.dll').read_bytes(),
                    'bin\\cabinet.dll': (WINE_DLLS / 'cabinet.dll').read_bytes(),
                    'readme.txt': text(200000, 4), 'zeros.bin': bytes(1 << 20)},
    'random': {'r1': noise(300000, 5), 'r2': noise(300000, 6)},
    'many': {'many\\f%d.txt' % i: text(i % 50, 100 + i) for i in range(200)},
    'names': {'Gr\u00fc\u00dfe\\\u8aad\u3080.txt': b'Hallo', 'caf\u00e9.bin': noise(40000, 7)},
}


class WineReadsOurCabinets(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        base = BIN / 'tmp'
        base.mkdir(parents=True, exist_ok=True)
        cls.work = Path(tempfile.mkdtemp(prefix='cabwine.', dir=base))
        cls.maker = BIN / 'bin' / 'cab_make.exe'

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def build(self, label, files, ctype):
        d = self.work / ('%s-%04x' % (label, ctype))
        src = d / 'src'
        src.mkdir(parents=True)
        (d / 'tmp').mkdir()
        lines = []
        for i, (name, data) in enumerate(files.items()):
            p = src / str(i)
            p.write_bytes(data)
            lines.append('%s\t%s\t%d\t%d\t%d\n' % (winpath(p), name, 0x58B1, 0x6DAF, 0x20))
        (d / 'list.txt').write_bytes(''.join(lines).encode('utf-8'))
        cab = d / 'out.cab'
        r = subprocess.run(['wine', str(self.maker), winpath(d / 'list.txt'), winpath(cab), '%x' % ctype,
                            winpath(d / 'tmp')], env=wine_env(), capture_output=True, timeout=300)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors='replace'))
        self.assertEqual(list((d / 'tmp').iterdir()), [], 'temporary files left')
        return d, cab

    def check_tree(self, root, files, reader, utf8_names=True):
        got = {str(p.relative_to(root)): p for p in root.rglob('*') if p.is_file()}
        self.assertEqual(len(got), len(files), reader)
        for name, data in files.items():
            path = name.replace('\\', '/')
            if utf8_names or path.isascii():
                self.assertIn(path, got, reader)
                self.assertEqual(got[path].read_bytes(), data, '%s: %s' % (reader, name))
            else:
                # Wine's extrac32 ignores the UTF-8 name flag and decodes the bytes in the ANSI
                # code page; the entry must still be there with its bytes.
                self.assertTrue(any(p.read_bytes() == data for n, p in got.items() if not n.isascii()),
                                '%s: %s' % (reader, name))

    def test_round_trips(self):
        # One cabinet per type with every case in its own folder keeps the Wine start-ups few.
        files = {}
        for label, case in CASES.items():
            for name, data in case.items():
                files[label + '\\' + name] = data
        for ctype in (0x0001, 0x1503):
            with self.subTest(type=hex(ctype)):
                d, cab = self.build('all', files, ctype)
                # Wine's cabinet library.
                out = d / 'x-wine'
                out.mkdir()
                r = subprocess.run(['wine', 'extrac32', '/Y', '/E', '/L', winpath(out), winpath(cab)],
                                   env=wine_env(), capture_output=True, timeout=300)
                self.assertEqual(r.returncode, 0, r.stderr.decode(errors='replace'))
                self.check_tree(out, files, 'extrac32', utf8_names=False)
                # cabextract on the same file.
                r = subprocess.run(['cabextract', '-q', '-d', str(d / 'x-cabextract'), str(cab)],
                                   capture_output=True, timeout=300)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.check_tree(d / 'x-cabextract', files, 'cabextract')


if __name__ == '__main__':
    unittest.main(verbosity=2)
