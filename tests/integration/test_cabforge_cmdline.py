"""The archive builder's command-line modes through the real cabforge.exe under Wine: which
arguments select which mode, where the archive goes, which names and records it holds, and what
bad input ends with. Every cabinet is read back by cabextract, 7z and Wine's extrac32, and its
records are read directly."""

import contextlib
import datetime
import os
import subprocess
import sys
import unittest
from pathlib import Path

from harness import Prefix, Rule, SRC, exe_path, find_windows, low_byte

sys.path.insert(0, str(SRC / 'tests' / 'cabforge' / 'app'))
import cabcheck  # noqa: E402

OK = 0
COMPRESS_WITHOUT_PROJECT = 101
BUILD_FAILED = 302


class CommandLineCase(unittest.TestCase):
    """One prefix for the whole class; every test works in its own folders below C:\\."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = Prefix().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)

    def setUp(self):
        self.p = self.prefix
        self.base = self.id().rsplit('.', 1)[-1]

    def folder(self, name, files=None):
        """Creates C:\\<test>\\<name> with files {relative name (backslashes): content}."""
        files = {k.replace('\\', '/'): v for k, v in (files or {}).items()}
        return self.p.app_dir(self.base + ('/' + name if name else ''), files).rstrip('\\')

    def host(self, win_path):
        return self.p.hostpath(win_path)

    def cabforge(self, *args, env=None):
        return self.p.run('cabforge', ['/silent'] + list(args), env=env, timeout=120).code

    def assertCode(self, code, expected):
        self.assertEqual(code, low_byte(expected))

    def cab(self, win_path):
        data = self.host(win_path).read_bytes()
        return cabcheck.parse_cab(data)

    def names(self, win_path):
        return [f['name'] for f in self.cab(win_path)['files']]


class FileListMode(CommandLineCase):

    def test_two_files_into_out_cab(self):
        a = self.folder('a', {'x.txt': 'first file\n'})
        b = self.folder('b', {'y.txt': 'second file\n'})
        out = self.folder('out') + r'\out.cab'
        self.assertCode(self.cabforge('/file:%s\\x.txt' % a, '/file:%s\\y.txt' % b, out), OK)
        cab = self.cab(out)
        self.assertEqual([f['name'] for f in cab['files']], ['x.txt', 'y.txt'])
        self.assertEqual((cab['set_id'], cab['index'], len(cab['folders'])), (12345, 1, 1))
        cabcheck.readers_agree(self, self.p, self.host(out),
                               {'x.txt': b'first file\n', 'y.txt': b'second file\n'})

    def test_exclusions_that_empty_the_list_write_nothing(self):
        a = self.folder('a', {'x.txt': 'x', 'y.txt': 'y'})
        out = self.folder('out') + r'\out.cab'
        for pattern in ('/except:*.txt', '/except:*', '/EXCEPT:X.TXT;y.*'):
            with self.subTest(pattern=pattern):
                code = self.cabforge('/file:%s\\x.txt' % a, '/file:%s\\y.txt' % a, pattern, out)
                self.assertCode(code, BUILD_FAILED)
                self.assertFalse(self.host(out).exists())

    def test_exclusion_acts_on_the_name_part_only(self):
        a = self.folder('a.txt', {'keep.dat': 'k', 'drop.txt': 'd'})
        out = self.folder('out') + r'\out.cab'
        self.assertCode(self.cabforge('/file:%s\\keep.dat' % a, '/file:%s\\drop.txt' % a, '/except:*.txt', out),
                        OK)
        self.assertEqual(self.names(out), ['keep.dat'])

    def test_files_without_cab_argument_open_the_interactive_window(self):
        a = self.folder('a', {'x.txt': 'x'})
        rep = self.p.run_host('cabforge', ['/file:%s\\x.txt' % a, '/file:%s\\y.txt' % a],
                              rules=[Rule('Pakkit Compressor', cls='cabforge_class', close=True, delay=300)],
                              timeout=60)
        self.assertFalse(rep['timedOut'])
        self.assertEqual(rep['exitCode'], OK)
        shown = find_windows(rep, cls='cabforge_class')
        self.assertEqual(len(shown), 1)
        self.assertEqual(shown[0]['caption'], 'Pakkit Compressor')
        self.assertEqual([p for p in self.host(a).iterdir() if p.suffix == '.cab'], [])

    def test_file_naming_a_cab_also_sets_the_archive_path(self):
        src = self.folder('in', {'part.cab': b'not really a cabinet'})
        out = self.folder('out') + r'\out.cab'
        # Alone, the switch text is the archive path, which names no folder: nothing is written
        # and the listed cabinet stays as it was.
        self.assertCode(self.cabforge('/file:%s\\part.cab' % src), BUILD_FAILED)
        self.assertEqual(self.host(src + r'\part.cab').read_bytes(), b'not really a cabinet')
        # A later bare path replaces it; part.cab is packed.
        self.assertCode(self.cabforge('/file:%s\\part.cab' % src, out), OK)
        cabcheck.readers_agree(self, self.p, self.host(out), {'part.cab': b'not really a cabinet'}, wine=None)

    def test_arc_switch_is_not_read_by_file_list_mode(self):
        a = self.folder('a', {'x.txt': 'x'})
        o = self.folder('o')
        bare = self.folder('bare') + r'\bare.cab'
        self.assertCode(self.cabforge('/file:%s\\x.txt' % a, '/arc:%s\\x.cab' % o), BUILD_FAILED)
        self.assertCode(self.cabforge('/file:%s\\x.txt' % a, '/arc:%s\\x.cab' % o, bare), OK)
        self.assertFalse(self.host(o + r'\x.cab').exists())
        self.assertEqual(self.names(bare), ['x.txt'])


class FolderMode(CommandLineCase):

    TREE = {'top.txt': 'top', r'sub\f.txt': 'f', r'sub\deeper\g.bin': b'\x00\x01g', 'empty': None}

    def expected(self):
        return {k: (v.encode() if isinstance(v, str) else v) for k, v in self.TREE.items() if v is not None}

    def test_folder_alone_gives_folder_cab_with_relative_names(self):
        data = self.folder('data', self.TREE)
        self.assertCode(self.cabforge(data), OK)
        cab = data + '.cab'
        self.assertEqual(sorted(self.names(cab)), sorted(self.expected()))
        cabcheck.readers_agree(self, self.p, self.host(cab), self.expected())

    def test_trailing_separator_and_arc_switch(self):
        data = self.folder('data', self.TREE)
        target = self.folder('other') + r'\x.cab'
        self.assertCode(self.cabforge(data + '\\', '/arc:' + target), OK)
        self.assertEqual(sorted(self.names(target)), sorted(self.expected()))
        self.assertFalse(self.host(data + '.cab').exists())
        # Without a switch the trailing separator still names the folder, not a ".cab" inside it.
        self.assertCode(self.cabforge(data + '\\'), OK)
        self.assertEqual(sorted(self.names(data + '.cab')), sorted(self.expected()))
        self.assertFalse(self.host(data + r'\.cab').exists())

    def test_bare_path_and_extension_replacement(self):
        data = self.folder('build.2', {'a.txt': 'a'})
        self.assertCode(self.cabforge(data), OK)
        self.assertEqual(self.names(self.folder('') + r'\build.cab'), ['a.txt'])
        bare = self.folder('bare') + r'\chosen.cab'
        self.assertCode(self.cabforge(data, bare), OK)
        self.assertEqual(self.names(bare), ['a.txt'])

    def test_scan_is_depth_first(self):
        data = self.folder('data', {r'd1\a.txt': 'a', r'd1\d2\b.txt': 'b', r'd1\c.txt': 'c', 'z.txt': 'z'})
        self.assertCode(self.cabforge(data), OK)
        names = self.names(data + '.cab')
        self.assertEqual(sorted(names), sorted(['d1\\a.txt', 'd1\\d2\\b.txt', 'd1\\c.txt', 'z.txt']))
        # Everything below d1 is contiguous: the folder is scanned where it is met.
        inside = [i for i, n in enumerate(names) if n.startswith('d1\\')]
        self.assertEqual(inside, list(range(inside[0], inside[0] + 3)))

    def test_except_obj_skips_folders_and_files_named_obj(self):
        data = self.folder('data', {r'obj\o.txt': 'o', r'src\obj\deep.txt': 'd', r'src\OBJ': 'file named obj',
                                    r'src\obj.txt': 'kept', 'main.c': 'm', r'x\obj': 'also obj'})
        self.assertCode(self.cabforge(data, '/except:obj'), OK)
        self.assertEqual(sorted(self.names(data + '.cab')), ['main.c', 'src\\obj.txt'])

    def test_exclusions_that_match_everything(self):
        data = self.folder('data', {r'a\b.txt': 'b', 'c.txt': 'c'})
        self.assertCode(self.cabforge(data, '/except:*'), BUILD_FAILED)
        self.assertFalse(self.host(data + '.cab').exists())

    def test_hidden_and_system_files_are_packed(self):
        data = self.folder('data', {'h.txt': 'hidden', 's.txt': 'system'})
        self.p.wine(['cmd', '/c', 'attrib', '+h', data + r'\h.txt'])
        self.p.wine(['cmd', '/c', 'attrib', '+s', data + r'\s.txt'])
        self.assertCode(self.cabforge(data), OK)
        files = {f['name']: f['attribs'] for f in self.cab(data + '.cab')['files']}
        self.assertEqual(sorted(files), ['h.txt', 's.txt'])
        self.assertTrue(files['h.txt'] & 0x02)
        self.assertTrue(files['s.txt'] & 0x04)

    def test_non_ascii_names(self):
        data = self.folder('データ', {'Grüße\\読む.txt': 'yomu', 'café.txt': 'cafe'})
        self.assertCode(self.cabforge(data), OK)
        cab = self.cab(data + '.cab')
        by_name = {f['name']: f for f in cab['files']}
        self.assertEqual(sorted(by_name), sorted(['Grüße\\読む.txt', 'café.txt']))
        self.assertEqual(by_name['Grüße\\読む.txt']['raw_name'], 'Grüße\\読む.txt'.encode('utf-8'))
        for f in cab['files']:
            self.assertTrue(f['attribs'] & cabcheck.ATTRIB_NAME_IS_UTF)
        cabcheck.readers_agree(self, self.p, self.host(data + '.cab'),
                               {'Grüße\\読む.txt': b'yomu', 'café.txt': b'cafe'}, wine='list')

    def test_path_at_the_260_character_limit(self):
        # <test folder>\<d...>\<150 f>: the archive path has 258 characters and fits the
        # 260-character buffer; a sibling whose archive path needs 260 does not, and neither does
        # its search pattern.
        depth = 258 - len(self.folder('')) - 1 - 1 - 150 - 4
        parent = self.folder('d' * depth)
        fits = self.folder('d' * depth + '/' + 'f' * 150, {'in.txt': 'in'})
        self.assertEqual(len(fits + '.cab'), 258)
        self.assertCode(self.cabforge(fits), OK)
        self.assertEqual(self.names(fits + '.cab'), ['in.txt'])
        too_long = parent + '\\' + 'g' * 152
        self.assertEqual(len(too_long + '.cab'), 260)
        self.host(too_long).mkdir()
        (self.host(too_long) / 'in.txt').write_text('in')
        self.assertCode(self.cabforge(too_long), BUILD_FAILED)
        self.assertEqual([p.name for p in self.host(parent).iterdir() if p.suffix == '.cab'],
                         ['f' * 150 + '.cab'])

    def test_compress_without_project(self):
        self.assertCode(self.cabforge('/compress'), COMPRESS_WITHOUT_PROJECT)
        rep = self.p.run_host('cabforge', ['/compress'], snapshot_all=True, timeout=60)
        self.assertEqual(rep['exitCode'], COMPRESS_WITHOUT_PROJECT)
        self.assertEqual([w for w in rep['windows'] if w.get('visible')], [])


class EntryRecords(CommandLineCase):

    def test_dates_are_local_time_in_dos_form(self):
        a = self.folder('a', {'winter.txt': 'w', 'summer.txt': 's', 'odd.txt': 'o'})
        stamps = {'winter.txt': datetime.datetime(2021, 1, 4, 20, 30, 10, tzinfo=datetime.timezone.utc),
                  'summer.txt': datetime.datetime(2023, 7, 31, 23, 59, 58, tzinfo=datetime.timezone.utc),
                  'odd.txt': datetime.datetime(2000, 2, 29, 1, 2, 3, tzinfo=datetime.timezone.utc)}
        for name, when in stamps.items():
            os.utime(self.host(a + '\\' + name), (when.timestamp(), when.timestamp()))
        out = self.folder('out') + r'\dates.cab'
        self.assertCode(self.cabforge(*['/file:%s\\%s' % (a, n) for n in stamps], out), OK)
        tokyo = datetime.timezone(datetime.timedelta(hours=9))
        for f in self.cab(out)['files']:
            local = stamps[f['name']].astimezone(tokyo).replace(tzinfo=None)
            self.assertEqual((f['date'], f['time']), cabcheck.dos_date_time(local), f['name'])

    def test_attributes_kept_with_utf8_flag(self):
        a = self.folder('a', {'rh.txt': 'read-only hidden', 'plain.txt': 'plain', 'sys.txt': 'system'})
        self.p.wine(['cmd', '/c', 'attrib +r %s\\rh.txt & attrib +h %s\\rh.txt & attrib +s %s\\sys.txt' % (a, a, a)])
        out = self.folder('out') + r'\attr.cab'
        names = ['rh.txt', 'plain.txt', 'sys.txt']
        self.assertCode(self.cabforge(*['/file:%s\\%s' % (a, n) for n in names], out), OK)
        # What the system reports for each source, from its own attrib command.
        letters = {'R': 0x01, 'H': 0x02, 'S': 0x04, 'A': 0x20}
        reported = {}
        for line in self.p.wine(['cmd', '/c', 'attrib', a + '\\*']).stdout.splitlines():
            if a[:2] in line:
                flags, path = line.split(a[:2], 1)
                reported[path.rsplit('\\', 1)[-1].strip()] = sum(b for l, b in letters.items() if l in flags)
        self.assertEqual(sorted(reported), sorted(names))
        records = {f['name']: f['attribs'] for f in self.cab(out)['files']}
        self.assertEqual(records, {n: reported[n] | 0x80 for n in names})
        self.assertEqual(records['rh.txt'] & 0x03, 0x03)
        self.assertEqual(records['sys.txt'] & 0x04, 0x04)
        cabcheck.readers_agree(self, self.p, self.host(out),
                               {'rh.txt': b'read-only hidden', 'plain.txt': b'plain', 'sys.txt': b'system'})

    def test_compression_type_rule(self):
        a = self.folder('a', {'s6': b'x' * 6, 's7': b'x' * 7, 's8': b'12345678', 's9': b'x' * 9, 's10': b'x' * 10,
                              's0': b'', 'other': b'other'})
        cases = [(['s8'], cabcheck.COMPRESS_MSZIP), (['s7'], cabcheck.COMPRESS_MSZIP),
                 (['s9'], cabcheck.COMPRESS_MSZIP), (['s10'], cabcheck.COMPRESS_LZX21),
                 (['s6'], cabcheck.COMPRESS_LZX21), (['s0'], cabcheck.COMPRESS_LZX21),
                 (['s8', 'other'], cabcheck.COMPRESS_LZX21)]
        for files, compress in cases:
            with self.subTest(files=files):
                out = self.folder('out') + '\\%s.cab' % '_'.join(files)
                self.assertCode(self.cabforge(*['/file:%s\\%s' % (a, n) for n in files], out), OK)
                cab = self.cab(out)
                self.assertEqual([f['compress'] for f in cab['folders']], [compress])
                self.assertEqual([f['name'] for f in cab['files']], files)
                expected = {n: self.host(a + '\\' + n).read_bytes() for n in files}
                cabcheck.readers_agree(self, self.p, self.host(out), expected, wine='extract' if files == ['s8'] else None)


class BadInput(CommandLineCase):

    @contextlib.contextmanager
    def locked(self, win_path):
        """Holds the file open without sharing (cfprobe, another Wine process)."""
        locker = subprocess.Popen(['wine', self.p.winpath(exe_path('cfprobe')), 'lock', win_path, '30000'],
                                  env=self.p.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            self.assertEqual(locker.stdout.readline().strip(), b'locked')
            yield
        finally:
            locker.kill()
            locker.wait()
            locker.stdout.close()

    def test_missing_sources_are_skipped(self):
        a = self.folder('a', {'here.txt': 'here'})
        out = self.folder('out') + r'\some.cab'
        self.assertCode(self.cabforge('/file:%s\\gone.txt' % a, '/file:%s\\here.txt' % a,
                                      r'/file:C:\no\such\folder\x.txt', out), OK)
        self.assertEqual(self.names(out), ['here.txt'])
        none = self.folder('out') + r'\none.cab'
        self.assertCode(self.cabforge('/file:%s\\gone.txt' % a, none), BUILD_FAILED)
        self.assertFalse(self.host(none).exists())

    def test_unreadable_sources_fail_the_build(self):
        a = self.folder('a', {'ok.txt': 'ok', 'locked.txt': 'locked', 'dir': None})
        out = self.folder('out') + r'\x.cab'
        # A folder named as a file cannot be read.
        self.assertCode(self.cabforge('/file:%s\\ok.txt' % a, '/file:%s\\dir' % a, out), BUILD_FAILED)
        self.assertFalse(self.host(out).exists())
        # A file held open without sharing by another process.
        with self.locked(a + r'\locked.txt'):
            self.assertCode(self.cabforge('/file:%s\\ok.txt' % a, '/file:%s\\locked.txt' % a, out), BUILD_FAILED)
        self.assertFalse(self.host(out).exists())

    def test_unwritable_targets(self):
        a = self.folder('a', {'x.txt': 'x'})
        self.assertCode(self.cabforge('/file:%s\\x.txt' % a, r'C:\no\such\folder\x.cab'), BUILD_FAILED)
        # A folder in the target's place stays a folder.
        out = self.folder('out', {'taken.cab': None})
        self.assertCode(self.cabforge('/file:%s\\x.txt' % a, out + r'\taken.cab'), BUILD_FAILED)
        self.assertTrue(self.host(out + r'\taken.cab').is_dir())
        # A cabinet held open by another process is left exactly as it was.
        old = self.folder('held', {'old.cab': b'previous contents'}) + r'\old.cab'
        with self.locked(old):
            self.assertCode(self.cabforge('/file:%s\\x.txt' % a, old), BUILD_FAILED)
        self.assertEqual(self.host(old).read_bytes(), b'previous contents')

    def test_full_target_disk(self):
        # A 64 KiB file system (needs mount rights; skipped without them) reached through Z:.
        mount = self.p.root / 'small'
        mount.mkdir()
        if subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=64k', 'tmpfs', str(mount)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest('cannot mount a small file system here')
        try:
            a = self.folder('a', {'noise.bin': os.urandom(200000)})
            target = self.p.winpath(mount / 'full.cab')
            self.assertCode(self.cabforge('/file:%s\\noise.bin' % a, target), BUILD_FAILED)
            self.assertEqual(list(mount.iterdir()), [])  # no partial cabinet left behind
        finally:
            subprocess.run(['umount', '-l', str(mount)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def test_temporary_files_go_to_tmp_and_are_removed(self):
        tmp = self.folder('tmp')
        a = self.folder('a', {'big.bin': os.urandom(600000), 'y.txt': 'y'})
        out = self.folder('out') + r'\t.cab'
        previous = self.p.reg_query(r'HKCU\Environment', 'TMP')
        self.p.reg_set(r'HKCU\Environment', 'TMP', 'REG_SZ', '"%s"' % tmp)  # quotes are allowed
        try:
            argv = ['wine', self.p.winpath(exe_path('cabforge')), '/silent', '/file:%s\\big.bin' % a,
                    '/file:%s\\y.txt' % a, out]
            proc = subprocess.Popen(argv, env=self.p.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            seen = set()
            while proc.poll() is None:
                seen.update(p.name for p in self.host(tmp).iterdir())
            self.assertCode(proc.wait(), OK)
        finally:
            self.p.reg_set(r'HKCU\Environment', 'TMP', 'REG_SZ', previous)
        self.assertTrue(seen, 'no temporary file appeared in TMP')
        self.assertTrue(all(n.startswith('xx') and n[2:].isdigit() for n in seen), seen)
        self.assertEqual(list(self.host(tmp).iterdir()), [])
        self.assertEqual(self.names(out), ['big.bin', 'y.txt'])


if __name__ == '__main__':
    unittest.main()
