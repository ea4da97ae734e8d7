"""cabforge-cli beside cabforge.exe: the same tree packed by the Windows program under Wine and by the
native program must give cabinets with the same entries (names, sizes, attributes, dates, compression
type) and the same bytes inside, so that a build server can make what the Windows tool makes. Needs
the native build (TB_NATIVE_BIN, by default the native build beside this one)."""

import datetime
import os
import subprocess
import sys
import unittest
import zoneinfo
from pathlib import Path

from harness import Prefix, SRC, native_program

sys.path.insert(0, str(SRC / 'tests' / 'cabforge' / 'app'))
import cabcheck  # noqa: E402
from test_cabforge_cli import archive_view, edge_tree, make_tree, osslsigncode_cert, release_tree  # noqa: E402

CLI = native_program('cabforge-cli')
UTC = datetime.timezone.utc
# Modification times that test the conversion: odd seconds, both sides of a daylight-saving change,
# and a time before the MS-DOS epoch.
STAMPS = {'stamps/winter.txt': datetime.datetime(2021, 1, 4, 20, 30, 11, tzinfo=UTC),
          'stamps/summer.txt': datetime.datetime(2023, 7, 31, 23, 59, 59, tzinfo=UTC),
          'stamps/leap.txt': datetime.datetime(2000, 2, 29, 1, 2, 3, tzinfo=UTC),
          'stamps/before-1980.txt': datetime.datetime(1975, 6, 1, 12, 0, 0, tzinfo=UTC)}


def dos_to_datetime(date, time):
    return datetime.datetime(1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63,
                             (time & 31) * 2)


class SameCabinets(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not CLI.exists():
            raise unittest.SkipTest('no native build with cabforge-cli at %s' % CLI)
        cls.p = Prefix().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.p.__exit__(None, None, None)

    def setUp(self):
        self.base = self.id().rsplit('.', 1)[-1]

    def tree(self, files):
        """The tree in C:\\<test>\\tree; returns (Windows path, host path)."""
        win = self.p.app_dir(self.base + '/tree')
        host = self.p.hostpath(win)
        make_tree(host, files)
        return win, host

    def both(self, win_args, cli_args, tz='Asia/Tokyo'):
        """Packs with cabforge.exe (Windows arguments, the archive last) and with cabforge-cli;
        returns both parsed cabinets and their host paths."""
        win_cab = self.p.app_dir(self.base + '/out') + '\\' + 'win.cab'
        cli_cab = self.p.hostpath(win_cab).with_name('cli.cab')
        code = self.p.run('cabforge', ['/silent'] + win_args + [win_cab], env={'TZ': tz}, timeout=300).code
        self.assertEqual(code, 0)
        r = subprocess.run([str(CLI), '-o', str(cli_cab)] + [str(a) for a in cli_args], capture_output=True,
                           env=dict(os.environ, TZ=tz), timeout=300)
        self.assertEqual((r.returncode, r.stderr), (0, b''))
        win_host = self.p.hostpath(win_cab)
        return (cabcheck.parse_cab(win_host.read_bytes()), cabcheck.parse_cab(cli_cab.read_bytes()),
                win_host, cli_cab)

    def entries(self, cab):
        return {f['name']: f for f in cab['files']}

    def assertSameRecords(self, win, cli, fields=('size', 'attribs', 'date', 'time', 'raw_name')):
        self.assertEqual([f['compress'] for f in win['folders']], [f['compress'] for f in cli['folders']])
        self.assertEqual((win['set_id'], win['index']), (cli['set_id'], cli['index']))
        w, c = self.entries(win), self.entries(cli)
        self.assertEqual(sorted(w), sorted(c))
        for name in w:
            self.assertEqual({k: w[name][k] for k in fields}, {k: c[name][k] for k in fields}, name)

    def test_folder_tree(self):
        files = dict(edge_tree())
        files.update({n: n for n in STAMPS})
        files['readonly/r.txt'] = 'read-only'
        win, host = self.tree(files)
        for name, when in STAMPS.items():
            os.utime(host / name, (when.timestamp(), when.timestamp()))
        (host / 'readonly' / 'r.txt').chmod(0o444)
        w, c, win_cab, cli_cab = self.both([win], [host])
        self.assertSameRecords(w, c)
        self.assertTrue(self.entries(c)['readonly\\r.txt']['attribs'] & 0x01)
        expected = archive_view(files)
        self.assertEqual(cabcheck.extract_cabextract(win_cab), expected)
        self.assertEqual(cabcheck.extract_cabextract(cli_cab), expected)

    def test_dates_differ_only_by_the_time_zone_rule(self):
        # In a zone with daylight saving, the native program converts each time with the offset of
        # its own date; any difference from the Windows program must be that offset's difference
        # from the one in force now.
        win, host = self.tree({n: n for n in STAMPS})
        for name, when in STAMPS.items():
            os.utime(host / name, (when.timestamp(), when.timestamp()))
        berlin = zoneinfo.ZoneInfo('Europe/Berlin')
        w, c, _, _ = self.both([win], [host], tz='Europe/Berlin')
        self.assertSameRecords(w, c, fields=('size', 'attribs'))
        now = datetime.datetime.now(berlin).utcoffset()
        for name, when in STAMPS.items():
            rec_w, rec_c = self.entries(w)[name.replace('/', '\\')], self.entries(c)[name.replace('/', '\\')]
            if when.year < 1980:
                self.assertEqual((rec_w['date'], rec_w['time'], rec_c['date'], rec_c['time']), (0, 0, 0, 0))
                continue
            local = when.astimezone(berlin).replace(tzinfo=None)
            self.assertEqual((rec_c['date'], rec_c['time']), cabcheck.dos_date_time(local), name)
            shift = dos_to_datetime(rec_c['date'], rec_c['time']) - dos_to_datetime(rec_w['date'], rec_w['time'])
            self.assertIn(shift, (datetime.timedelta(0), when.astimezone(berlin).utcoffset() - now), name)

    def test_same_exclusions(self):
        win, host = self.tree({'obj/o.txt': 'o', 'src/OBJ/deep.txt': 'd', 'src/obj.txt': 'kept',
                               'src/x/Obj': 'a file named obj', 'main.c': 'm', 'notes.Bak': 'b', 'keep.bak2': 'k'})
        w, c, _, _ = self.both([win, '/except:obj', '/except:*.bak'], ['--exclude', 'obj', '--exclude', '*.bak', host])
        self.assertSameRecords(w, c)
        self.assertEqual(sorted(self.entries(c)), ['keep.bak2', 'main.c', 'src\\obj.txt'])

    def test_single_entry_compression_rule(self):
        win, host = self.tree({'s8': b'12345678', 's10': b'1234567890', 'other': b'other'})
        for names in (['s8'], ['s10'], ['s8', 'other']):
            with self.subTest(names=names):
                w, c, _, _ = self.both(['/file:%s\\%s' % (win, n) for n in names], [host / n for n in names])
                self.assertSameRecords(w, c)
                # Only a lone 7-9 byte entry gets MSZIP.
                want = cabcheck.COMPRESS_MSZIP if names == ['s8'] else cabcheck.COMPRESS_LZX21
                self.assertEqual([f['compress'] for f in c['folders']], [want])

    def test_extrac32_reads_release_cabinets(self):
        # What cabforge-cli writes for build servers: several folders, every LZX window, a header
        # reserve, manifest names, the maximum level, an Authenticode signature.
        files = release_tree()
        stage = self.p.hostpath(self.p.app_dir(self.base + '/stage'))
        make_tree(stage, files)
        work = stage.parent
        (work / 'list.txt').write_text('%s\tprogram/tool.exe\n%s\n' % (stage / 'bin/tool.exe', stage / 'doc/notes.txt'))
        runs = {'folders': ['--folder-size', '64K', '-j', '2'], 'reserve': ['--reserve', '6144'],
                'manifest': ['--files-from', work / 'list.txt']}
        runs.update({'lzx%d' % w: ['-c', 'lzx:%d' % w] for w in range(15, 22)})
        runs.update({'lzx-max': ['-c', 'lzx-max'], 'lzx-max15': ['-c', 'lzx-max:15']})
        key, cert = osslsigncode_cert(work)
        for name, args in runs.items():
            with self.subTest(cabinet=name):
                cab = work / (name + '.cab')
                inputs = [] if name == 'manifest' else [stage]
                r = subprocess.run([str(CLI), '-q', '-o', str(cab)] + [str(a) for a in args + inputs],
                                   capture_output=True, timeout=300)
                self.assertEqual((r.returncode, r.stderr), (0, b''))
                expected = ({'program\\tool.exe': files['bin/tool.exe'], 'notes.txt': b'notes\n'}
                            if name == 'manifest' else archive_view(files))
                self.assertEqual(cabcheck.extract_wine(self.p, cab), expected)
        signed = work / 'signed.cab'
        subprocess.run(['osslsigncode', 'sign', '-certs', cert, '-key', key, '-h', 'sha256', '-in', work / 'lzx21.cab',
                        '-out', signed], check=True, capture_output=True)
        self.assertEqual(cabcheck.extract_wine(self.p, signed), archive_view(files))


if __name__ == '__main__':
    unittest.main()
