"""cabforge-cli, the native command-line builder, through the real program: cabinets that cabextract,
7z and gcab read back byte for byte, the entry records and their order, the options, and bad input
that must end with a one-line message naming the path, exit code 1 and nothing under the output
name. Runs in the native builds (TB_NATIVE_BIN is the build folder)."""

import datetime
import os
import pty
import random
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from harness import SRC, native_program

sys.path.insert(0, str(SRC / 'tests' / 'cabforge' / 'app'))
import cabcheck  # noqa: E402

CLI = native_program('cabforge-cli')
OK, FAILED, USAGE = 0, 1, 2
COMPRESS_NONE = 0x0000
MAX_FOLDER_BYTES = 0x7FFF8000
TOKYO = datetime.timezone(datetime.timedelta(hours=9))
READERS = (('cabextract', cabcheck.extract_cabextract), ('7z', cabcheck.extract_7z),
           ('gcab', cabcheck.extract_gcab))
# Root reads and writes through any permission; without these capabilities it meets them as others do.
DROP_DAC = ['setpriv', '--bounding-set', '-dac_override,-dac_read_search'] if os.geteuid() == 0 else []


def make_tree(root, files):
    """Creates files {relative path (slashes): bytes | str | None (folder)} below root."""
    for rel, content in files.items():
        target = Path(root) / rel
        if content is None:
            target.mkdir(parents=True, exist_ok=True)
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content.encode() if isinstance(content, str) else content)


def archive_view(files):
    """{name in the archive: bytes} of a tree description."""
    return {k.replace('/', '\\'): (v.encode() if isinstance(v, str) else v)
            for k, v in files.items() if v is not None}


def sorted_walk(root, below=''):
    """Archive names in the order the builder must give them: depth first, names sorted by code point."""
    out = []
    for name in sorted(os.listdir(os.path.join(root, below) if below else root)):
        rel = os.path.join(below, name) if below else name
        if os.path.isdir(os.path.join(root, rel)):
            out += sorted_walk(root, rel)
        else:
            out.append(rel.replace('/', '\\'))
    return out


def edge_tree():
    """Edge sizes around the format's 32 KiB blocks and the single-entry rule, UTF-8 names of one to
    four bytes per character, empty files, nested and empty folders, and 1,000 small files."""
    rng = random.Random(18)
    text = ''.join(rng.choice(['lorem ', 'ipsum ', 'dolor\n', 'sit ', 'amet, ']) for _ in range(60000))
    files = {}
    for size in (0, 1, 6, 7, 8, 9, 10, 32767, 32768, 32769, 65535, 65536, 65537):
        files['edges/random-%d.bin' % size] = rng.randbytes(size)
        files['edges/text-%d.txt' % size] = text.encode()[:size]
    files.update({'Grüße/読む.txt': 'yomu\n', 'café.txt': 'cafe', 'emoji-😀/ok.txt': 'four bytes',
                  'empty/zero': b'', 'zero-top': b'', 'hollow': None, 'a/b/c/d/e/deep.txt': 'deep',
                  'big/text.txt': text, 'big/noise.bin': rng.randbytes(200000)})
    for i in range(1000):
        files['many/f%04d.txt' % i] = 'file %d\n' % i * (i % 7)
    return files


class CliCase(unittest.TestCase):

    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix='cabforge-cli-'))
        # Each test's own temporary folder, so that leftovers can be seen.
        self.tmp = self.work / 'tmp'
        self.tmp.mkdir()
        self.work.chmod(0o755)

    def tearDown(self):
        subprocess.run(['chmod', '-R', 'u+rwx', str(self.work)], check=False)
        subprocess.run(['rm', '-rf', str(self.work)], check=False)

    def env(self, **extra):
        env = dict(os.environ, TMPDIR=str(self.tmp), TZ='Asia/Tokyo', LC_ALL='C.UTF-8')
        env.update(extra)
        return env

    def cli(self, *args, prefix=(), env=None):
        argv = list(prefix) + [str(CLI)] + [a if isinstance(a, bytes) else str(a) for a in args]
        r = subprocess.run(argv, capture_output=True, env=env or self.env(), timeout=300)
        return r.returncode, r.stdout.decode('utf-8', 'replace'), r.stderr

    def pack(self, *args, **kwargs):
        code, out, err = self.cli(*args, **kwargs)
        self.assertEqual((code, err), (OK, b''), err.decode('utf-8', 'replace'))
        return out

    def records(self, cab):
        return cabcheck.parse_cab(Path(cab).read_bytes())

    def assertReadersAgree(self, cab, expected):
        for name, extract in READERS:
            self.assertEqual(extract(cab), expected, name)

    def assertNoLeftovers(self, folder):
        """No temporary cabinet beside the output, no spill file in TMPDIR."""
        left = [p.name for p in Path(folder).iterdir() if p.name.startswith('.cabforge-cli.')]
        self.assertEqual(left, [])
        self.assertEqual(list(self.tmp.iterdir()), [])

    def assertFails(self, args, culprit, out, prefix=(), env=None, reason=None):
        """Exit 1, one line on standard error naming `culprit` (and `reason`), nothing under `out`."""
        code, stdout, err = self.cli(*args, prefix=prefix, env=env)
        self.assertEqual(code, FAILED, err)
        lines = err.splitlines()
        self.assertEqual(len(lines), 1, err)
        self.assertTrue(lines[0].startswith(b'cabforge-cli: '), err)
        self.assertIn(culprit if isinstance(culprit, bytes) else os.fsencode(str(culprit)), lines[0])
        if reason:
            self.assertIn(reason.encode(), lines[0])
        self.assertEqual(stdout, '')
        self.assertFalse(os.path.lexists(out), 'something was left under the output name')
        self.assertNoLeftovers(Path(out).parent if Path(out).parent.exists() else self.work)
        return lines[0].decode('utf-8', 'replace')


class RoundTrip(CliCase):
    """Cabinets the three independent readers extract byte for byte, in every compression method."""

    def test_edge_tree_in_every_method(self):
        files = edge_tree()
        make_tree(self.work / 'tree', files)
        expected = archive_view(files)
        methods = {'lzx': cabcheck.COMPRESS_LZX21, 'lzx-fast': cabcheck.COMPRESS_LZX21,
                   'lzx-max': cabcheck.COMPRESS_LZX21, 'mszip': cabcheck.COMPRESS_MSZIP, 'none': COMPRESS_NONE}
        sizes = {}
        for method, compress in methods.items():
            with self.subTest(method=method):
                cab = self.work / ('%s.cab' % method)
                self.pack('--compression', method, '-o', cab, self.work / 'tree')
                self.assertEqual([f['compress'] for f in self.records(cab)['folders']], [compress])
                self.assertReadersAgree(cab, expected)
                sizes[method] = cab.stat().st_size
        self.assertLessEqual(sizes['lzx-max'], sizes['lzx'])
        self.assertLess(sizes['lzx'], sizes['lzx-fast'])
        self.assertLess(sizes['lzx-fast'], sizes['none'])
        self.assertNoLeftovers(self.work)

    def test_rebuild_gives_the_same_bytes_in_name_order(self):
        files = edge_tree()
        make_tree(self.work / 'tree', files)
        first, second = self.work / 'first.cab', self.work / 'second.cab'
        self.pack('-o', first, self.work / 'tree')
        self.pack('-o', second, str(self.work / 'tree') + '/')
        self.assertEqual(first.read_bytes(), second.read_bytes())
        names = [f['name'] for f in self.records(first)['files']]
        self.assertEqual(names, sorted_walk(str(self.work / 'tree')))
        # Depth first: a folder's entries sit where its name sorts, not after the files.
        self.assertLess(names.index('a\\b\\c\\d\\e\\deep.txt'), names.index('café.txt'))

    def test_paths_in_command_line_order_folders_relative_files_by_name(self):
        make_tree(self.work, {'one/z.txt': 'z', 'one/sub/a.txt': 'a', 'two/only.txt': 'only',
                              'loose/x.dat': 'x', 'loose/skip.TMP': 'skipped'})
        cab = self.work / 'out.cab'
        self.pack('-o', cab, '--exclude', '*.tmp', self.work / 'loose/x.dat', self.work / 'one',
                  self.work / 'loose/skip.TMP', self.work / 'two')
        self.assertEqual([f['name'] for f in self.records(cab)['files']],
                         ['x.dat', 'sub\\a.txt', 'z.txt', 'only.txt'])

    def test_255_byte_name_is_the_longest(self):
        name = 'n' * 100 + '/' + 'm' * 100 + '/' + 'l' * 53  # 255 bytes in the archive
        make_tree(self.work / 'tree', {name: 'long'})
        cab = self.work / 'out.cab'
        self.pack('-o', cab, self.work / 'tree')
        self.assertEqual([len(f['raw_name']) for f in self.records(cab)['files']], [255])
        self.assertReadersAgree(cab, archive_view({name: 'long'}))


class EntryRecords(CliCase):
    """Names, dates, attributes and exclusions as cabforge.exe records and applies them."""

    def test_dates_are_local_time_in_dos_form(self):
        stamps = {'winter.txt': datetime.datetime(2021, 1, 4, 20, 30, 10, tzinfo=datetime.timezone.utc),
                  'odd.txt': datetime.datetime(2000, 2, 29, 14, 59, 59, tzinfo=datetime.timezone.utc),
                  'old.txt': datetime.datetime(1975, 6, 1, 12, 0, 0, tzinfo=datetime.timezone.utc)}
        make_tree(self.work / 'd', {n: n for n in stamps})
        for name, when in stamps.items():
            os.utime(self.work / 'd' / name, (when.timestamp(), when.timestamp()))
        cab = self.work / 'dates.cab'
        self.pack('-o', cab, self.work / 'd')
        for f in self.records(cab)['files']:
            local = stamps[f['name']].astimezone(TOKYO).replace(tzinfo=None)
            # MS-DOS dates begin in 1980: nothing earlier can be stored.
            want = cabcheck.dos_date_time(local) if local.year >= 1980 else (0, 0)
            self.assertEqual((f['date'], f['time']), want, f['name'])

    def test_attributes_from_permissions(self):
        make_tree(self.work / 'd', {'ro.txt': 'r', 'group-writable.txt': 'g', 'plain.txt': 'p', 'mode0.txt': '0'})
        modes = {'ro.txt': 0o444, 'group-writable.txt': 0o464, 'plain.txt': 0o644, 'mode0.txt': 0o000}
        for name, mode in modes.items():
            (self.work / 'd' / name).chmod(mode)
        cab = self.work / 'attr.cab'
        self.pack('-o', cab, self.work / 'd')
        # Read-only when nobody may write it; the archive bit as on a new Windows file; UTF-8 names.
        self.assertEqual({f['name']: f['attribs'] for f in self.records(cab)['files']},
                         {'ro.txt': 0xA1, 'group-writable.txt': 0xA0, 'plain.txt': 0xA0, 'mode0.txt': 0xA1})

    def test_exclusions_act_on_single_names(self):
        make_tree(self.work / 'd', {'obj/o.txt': 'o', 'src/OBJ/deep.txt': 'd', 'src/obj.txt': 'kept',
                                    'src/x/Obj': 'a file named obj', 'main.c': 'm', 'notes.Bak': 'b'})
        cab = self.work / 'ex.cab'
        self.pack('-o', cab, '--exclude', 'obj', '--exclude=*.bak;*.none', self.work / 'd')
        self.assertEqual([f['name'] for f in self.records(cab)['files']], ['main.c', 'src\\obj.txt'])


class CommandLine(CliCase):
    """Usage errors, help, version, and the progress line that only a terminal sees."""

    def test_usage_errors_exit_2_with_one_line(self):
        make_tree(self.work, {'a.txt': 'a'})
        cases = [([self.work / 'a.txt'], 'no output'), (['-o', self.work / 'x.cab'], 'nothing to pack'),
                 (['-o'], 'needs a value'), (['--compression', 'lzma', '-o', 'x.cab', 'a'], 'unknown compression'),
                 (['--frobnicate', '-o', 'x.cab', 'a'], 'unknown option'),
                 (['--exclude=', '-o', 'x.cab', 'a'], 'empty --exclude')]
        for args, reason in cases:
            with self.subTest(args=args):
                code, out, err = self.cli(*args)
                self.assertEqual(code, USAGE)
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertIn(reason.encode(), err)
                self.assertFalse((self.work / 'x.cab').exists())

    def test_help_and_version(self):
        code, out, err = self.cli('--help')
        self.assertEqual((code, err), (OK, b''))
        for option in ('-o, --output', '--exclude', '--compression', 'lzx-fast', 'lzx-max', '--quiet', '--follow-symlinks',
                       '--version', '-j, --jobs', '--files-from', '--folder-size', '--reserve', 'SOURCE_DATE_EPOCH'):
            self.assertIn(option, out)
        code, out, err = self.cli('--version')
        self.assertEqual((code, err, out), (OK, b'', 'cabforge-cli 6.0.0.0\n'))

    def run_on_terminal(self, *args, prefix=()):
        """Runs the builder with standard error on a pseudo-terminal; returns (code, what it showed)."""
        leader, follower = pty.openpty()
        proc = subprocess.Popen(list(prefix) + [str(CLI)] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=follower, env=self.env())
        os.close(follower)
        shown = b''
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal closes with the program
                break
            if not chunk:
                break
            shown += chunk
        os.close(leader)
        return proc.wait(timeout=300), shown

    def test_progress_line_only_on_a_terminal(self):
        make_tree(self.work / 'd', {'noise.bin': random.Random(5).randbytes(3000000)})
        code, shown = self.run_on_terminal('-o', self.work / 'p.cab', self.work / 'd')
        self.assertEqual(code, OK)
        self.assertTrue(shown.endswith(b'\n'), shown)
        last = shown.rstrip(b'\r\n').split(b'\r')[-1]
        self.assertRegex(last.decode(), r'^3\.0 MB of 3\.0 MB \(100%\), [0-9.]+ MB/s\x1b\[K$')
        self.assertGreater(shown.count(b'\r'), 1, 'no line before the last')
        code, shown = self.run_on_terminal('--quiet', '-o', self.work / 'q.cab', self.work / 'd')
        self.assertEqual((code, shown), (OK, b''))
        # Not a terminal: nothing at all (pack() checks that standard error stays empty).
        self.pack('-o', self.work / 'n.cab', self.work / 'd')
        # A failure after progress was shown: the message starts a line of its own.
        make_tree(self.work / 'd', {'z-secret.txt': 'secret'})
        (self.work / 'd' / 'z-secret.txt').chmod(0)
        code, shown = self.run_on_terminal('-o', self.work / 'f.cab', self.work / 'd', prefix=DROP_DAC)
        self.assertEqual(code, FAILED)
        self.assertIn(b' MB/s\x1b[K\r\ncabforge-cli: %s: cannot read: Permission denied\r\n'
                      % os.fsencode(str(self.work / 'd' / 'z-secret.txt')), shown)


def osslsigncode_cert(folder):
    """A self-signed code-signing certificate and its key in `folder`."""
    key, cert = folder / 'cs.key', folder / 'cs.crt'
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
                    '-days', '2', '-subj', '/CN=cabforge-cli test', '-addext', 'extendedKeyUsage=codeSigning'],
                   check=True, capture_output=True)
    return key, cert


def release_tree():
    """Staged files of a release: text and noise over several 64 KiB folders, and a small manifest
    naming some of them under other names."""
    rng = random.Random(26)
    files = {'bin/tool.exe': rng.randbytes(150000), 'bin/lib.dll': rng.randbytes(90000),
             'doc/readme.txt': 'read me\n' * 9000, 'doc/notes.txt': 'notes\n', 'data/table.csv': 'a,b\n' * 30000}
    return files


class ReleasePipeline(CliCase):
    """What a build server asks for: folders on every core, manifests, reproducible dates, LZX windows
    and signing-ready cabinets, all read back byte for byte."""

    def test_folders_windows_and_reserve_read_back_by_every_reader(self):
        files = release_tree()
        make_tree(self.work / 'stage', files)
        expected = archive_view(files)
        cabs = {}
        for name, args in (('folders-j1', ['--folder-size', '64K', '-j', '1']),
                           ('folders-j3', ['--folder-size', '64K', '-j', '3']),
                           ('folders-j64', ['--folder-size', '64K', '--jobs=64']),  # more than the processors
                           ('reserve', ['--reserve', '6144'])) + tuple(
                ('lzx%d' % w, ['-c', 'lzx:%d' % w]) for w in range(15, 22)) + (('fast15', ['-c', 'lzx-fast:15']),):
            with self.subTest(cabinet=name):
                cab = cabs[name] = self.work / (name + '.cab')
                self.pack(*args, '-o', cab, self.work / 'stage')
                self.assertReadersAgree(cab, expected)
        self.assertEqual(cabs['folders-j1'].read_bytes(), cabs['folders-j3'].read_bytes())
        self.assertEqual(cabs['folders-j1'].read_bytes(), cabs['folders-j64'].read_bytes())
        self.assertEqual(len(self.records(cabs['folders-j1'])['folders']), 4)
        for w in range(15, 22):
            self.assertEqual([f['compress'] for f in self.records(cabs['lzx%d' % w])['folders']],
                             [0x0003 | w << 8])
        self.assertEqual(self.records(cabs['fast15'])['folders'][0]['compress'], 0x0F03)
        reserve = cabs['reserve'].read_bytes()
        self.assertEqual((self.records(cabs['reserve'])['flags'], reserve[36:38]), (0x0004, (6144).to_bytes(2, 'little')))
        self.assertEqual(len(reserve), len(cabs['lzx21'].read_bytes()) + 4 + 6144)

    def test_manifest_names_entries_in_order(self):
        files = release_tree()
        make_tree(self.work / 'stage', files)
        stage = self.work / 'stage'
        (self.work / 'list.txt').write_bytes(
            b'# shipped files\n\n%s\tprogram/tool.exe\r\n%s\n%s\tdocs\\read me.txt\n'
            % (bytes(stage / 'bin/tool.exe'), bytes(stage / 'doc/notes.txt'), bytes(stage / 'doc/readme.txt')))
        cab = self.work / 'out.cab'
        listing = ('%s\textra\\table.csv\n' % (stage / 'data/table.csv')).encode()
        r = subprocess.run([str(CLI), '-o', str(cab), str(stage / 'bin/lib.dll'), '--files-from',
                            str(self.work / 'list.txt'), '-T', '-'], input=listing, capture_output=True,
                           env=self.env(), timeout=300)
        self.assertEqual((r.returncode, r.stderr), (OK, b''))
        self.assertEqual([f['name'] for f in self.records(cab)['files']],
                         ['lib.dll', 'program\\tool.exe', 'notes.txt', 'docs\\read me.txt', 'extra\\table.csv'])
        self.assertReadersAgree(cab, {'lib.dll': files['bin/lib.dll'], 'program\\tool.exe': files['bin/tool.exe'],
                                      'notes.txt': b'notes\n', 'docs\\read me.txt': files['doc/readme.txt'].encode(),
                                      'extra\\table.csv': files['data/table.csv'].encode()})

    def test_reproducible_dates_do_not_depend_on_the_clock_or_the_zone(self):
        epoch = int(datetime.datetime(2024, 5, 17, 13, 45, 30, tzinfo=datetime.timezone.utc).timestamp())
        cabs = []
        for run, (zone, offset) in enumerate((('Asia/Tokyo', 100), ('America/New_York', 86400 * 400))):
            tree = self.work / ('t%d' % run)
            make_tree(tree, {'new.txt': 'same', 'sub/newer.bin': b'bytes', 'old.txt': 'old'})
            for name in ('new.txt', 'sub/newer.bin'):
                os.utime(tree / name, (epoch + offset, epoch + offset))
            os.utime(tree / 'old.txt', (epoch - 86400, epoch - 86400))
            cabs.append(self.work / ('r%d.cab' % run))
            self.pack('-o', cabs[-1], tree, env=self.env(TZ=zone, SOURCE_DATE_EPOCH=str(epoch)))
        self.assertEqual(cabs[0].read_bytes(), cabs[1].read_bytes())
        stamps = {f['name']: (f['date'], f['time']) for f in self.records(cabs[0])['files']}
        self.assertEqual(stamps['new.txt'], (0x58B1, 0x6DAF))  # the epoch, 2024-05-17 13:45:30 UTC
        self.assertEqual(stamps['old.txt'], cabcheck.dos_date_time(datetime.datetime(2024, 5, 16, 13, 45, 30)))

    def test_signed_with_osslsigncode_and_still_read(self):
        files = release_tree()
        make_tree(self.work / 'stage', files)
        key, cert = osslsigncode_cert(self.work)
        cab, signed = self.work / 'out.cab', self.work / 'signed.cab'
        self.pack('-o', cab, self.work / 'stage')
        r = subprocess.run(['osslsigncode', 'sign', '-certs', cert, '-key', key, '-h', 'sha256', '-in', cab,
                            '-out', signed], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        r = subprocess.run(['osslsigncode', 'verify', '-CAfile', cert, '-in', signed], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn('Signature verification: ok', r.stdout)
        self.assertReadersAgree(signed, archive_view(files))

    def test_bad_options_and_lists(self):
        make_tree(self.work / 'd', {'a.txt': 'a'})
        out = self.work / 'out.cab'
        usage = [(['-j', '0'], '--jobs'), (['-j', '-1'], '--jobs'), (['--jobs=x'], '--jobs'),
                 (['--folder-size', '0'], '--folder-size'), (['--folder-size', '1'], '--folder-size'),
                 (['--folder-size', '3G'], '--folder-size'), (['-c', 'lzx:14'], 'lzx:14'), (['-c', 'lzx:22'], 'lzx:22'),
                 (['-c', 'lzx:x'], 'lzx:x'), (['-c', 'mszip:16'], 'mszip:16'), (['--reserve', '60001'], '--reserve'),
                 (['--files-from='], '--files-from')]
        for args, named in usage:
            with self.subTest(args=args):
                code, stdout, err = self.cli(*args, '-o', out, self.work / 'd')
                self.assertEqual((code, len(err.splitlines()), stdout), (USAGE, 1, ''), err)
                self.assertIn(named.encode(), err)
                self.assertFalse(out.exists())
        for value in ('', '-1', 'soon', '1e9', '4354819199'):
            with self.subTest(SOURCE_DATE_EPOCH=value):
                code, _, err = self.cli('-o', out, self.work / 'd', env=self.env(SOURCE_DATE_EPOCH=value))
                self.assertEqual((code, len(err.splitlines())), (USAGE, 1), err)
                self.assertIn(b'SOURCE_DATE_EPOCH', err)
                self.assertFalse(out.exists())
        lists = {'empty-source.txt': '\tname.txt\n', 'empty-name.txt': '%s\t\n' % (self.work / 'd' / 'a.txt'),
                 'unsafe.txt': '%s\t../up.txt\n' % (self.work / 'd' / 'a.txt'),
                 'device.txt': '# ok\n%s\tbin/CON\n' % (self.work / 'd' / 'a.txt')}
        for name, text in lists.items():
            (self.work / name).write_text(text)
        for name, line in (('empty-source.txt', 1), ('empty-name.txt', 1), ('unsafe.txt', 1), ('device.txt', 2)):
            with self.subTest(manifest=name):
                self.assertFails(['-o', out, '--files-from', self.work / name], '%s:%d' % (self.work / name, line), out)
        self.assertFails(['-o', out, '--files-from', self.work / 'absent.txt'], self.work / 'absent.txt', out,
                         reason='No such file or directory')


class SymbolicLinks(CliCase):
    """Links are followed only on request, never silently; loops and dangling links are reported."""

    def setUp(self):
        super().setUp()
        make_tree(self.work / 'target', {'t.txt': 'through a link'})
        make_tree(self.work / 'd', {'real.txt': 'real'})
        os.symlink(self.work / 'target', self.work / 'd' / 'dirlink')
        os.symlink(self.work / 'target' / 't.txt', self.work / 'd' / 'filelink.txt')

    def test_refused_without_the_option(self):
        message = self.assertFails(['-o', self.work / 'out.cab', self.work / 'd'],
                                   self.work / 'd' / 'dirlink', self.work / 'out.cab')
        self.assertIn('--follow-symlinks', message)
        # A link the exclusions drop is never looked at.
        self.pack('-o', self.work / 'out.cab', '--exclude', '*link*', self.work / 'd')
        self.assertEqual([f['name'] for f in self.records(self.work / 'out.cab')['files']], ['real.txt'])

    def test_followed_with_the_option(self):
        cab = self.work / 'out.cab'
        self.pack('--follow-symlinks', '-o', cab, self.work / 'd')
        self.assertReadersAgree(cab, {'dirlink\\t.txt': b'through a link', 'filelink.txt': b'through a link',
                                      'real.txt': b'real'})

    def test_loops_and_dangling_links(self):
        os.symlink(self.work / 'd', self.work / 'target' / 'back')
        self.assertFails(['-L', '-o', self.work / 'out.cab', self.work / 'd'], self.work / 'd', self.work / 'out.cab',
                         reason='loop')
        os.unlink(self.work / 'target' / 'back')
        os.symlink(self.work / 'nowhere', self.work / 'd' / 'dangling')
        self.assertFails(['-L', '-o', self.work / 'out.cab', self.work / 'd'], self.work / 'd' / 'dangling',
                         self.work / 'out.cab', reason='symbolic link to nothing')


class BadInput(CliCase):
    """Every input the cabinet cannot take: a message naming the path, exit 1, the output name
    untouched (no file, or the previous file as it was), no temporary file anywhere."""

    def test_unreadable_files_and_folders(self):
        make_tree(self.work / 'd', {'ok.txt': 'ok', 'secret.txt': 'secret', 'locked/inside.txt': 'x'})
        out = self.work / 'out.cab'
        (self.work / 'd' / 'secret.txt').chmod(0)
        self.assertFails(['-o', out, self.work / 'd' / 'ok.txt', self.work / 'd' / 'secret.txt'],
                         self.work / 'd' / 'secret.txt', out, prefix=DROP_DAC, reason='Permission denied')
        (self.work / 'd' / 'locked').chmod(0)
        self.assertFails(['-o', out, '--exclude', 'secret.txt', self.work / 'd'], self.work / 'd' / 'locked', out,
                         prefix=DROP_DAC, reason='Permission denied')
        # A previous cabinet under the output name stays exactly as it was.
        out.write_bytes(b'previous cabinet')
        code, _, _ = self.cli('-o', out, self.work / 'd', prefix=DROP_DAC)
        self.assertEqual(code, FAILED)
        self.assertEqual(out.read_bytes(), b'previous cabinet')

    def stopped_while_reading(self, source, *args):
        """Starts a build and stops it once it has `source` open; returns the stopped process."""
        proc = subprocess.Popen([str(CLI)] + [str(a) for a in args], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, env=self.env())
        fds = Path('/proc/%d/fd' % proc.pid)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            try:
                if any(os.readlink(fd) == str(source) for fd in fds.iterdir()):
                    proc.send_signal(signal.SIGSTOP)
                    return proc
            except OSError:
                pass  # a descriptor closed while it was looked at
            self.assertIsNone(proc.poll(), 'the build ended before it opened %s' % source)
        self.fail('the build never opened %s' % source)

    def finish(self, proc):
        proc.send_signal(signal.SIGCONT)
        err = proc.communicate(timeout=300)[1]
        return proc.returncode, err

    def test_files_changing_size_or_vanishing_during_the_build(self):
        # 8 MB of noise keeps the compressor busy for seconds; the build is stopped while it reads it.
        noise = random.Random(7).randbytes(8000000)
        out = self.work / 'out.cab'
        for change in ('grows', 'shrinks', 'vanishes', 'interrupted'):
            with self.subTest(change=change):
                make_tree(self.work / 'd', {'big.bin': noise, 'later.txt': 'later'})
                big, later = self.work / 'd' / 'big.bin', self.work / 'd' / 'later.txt'
                proc = self.stopped_while_reading(big, '-o', out, self.work / 'd')
                if change == 'grows':
                    with open(big, 'ab') as f:
                        f.write(b'more')
                elif change == 'shrinks':
                    os.truncate(big, 4000000)
                elif change == 'vanishes':
                    later.unlink()
                else:
                    proc.send_signal(signal.SIGINT)
                code, err = self.finish(proc)
                if change == 'interrupted':
                    self.assertEqual(code, -signal.SIGINT)
                else:
                    self.assertEqual(code, FAILED)
                    self.assertEqual(len(err.splitlines()), 1, err)
                    culprit, reason = (later, 'no longer exists') if change == 'vanishes' else (big, 'changed size')
                    self.assertIn(('%s: %s' % (culprit, reason)).encode(), err)
                self.assertFalse(out.exists())
                self.assertNoLeftovers(self.work)
                subprocess.run(['rm', '-rf', str(self.work / 'd')], check=True)

    def test_names_the_format_cannot_store(self):
        out = self.work / 'out.cab'
        make_tree(self.work / 'd', {'ok.txt': 'ok'})
        bad = os.path.join(os.fsencode(self.work / 'd'), b'caf\xe9.txt')  # Latin-1, not UTF-8
        with open(bad, 'wb') as f:
            f.write(b'latin-1 name')
        self.assertFails(['-o', out, self.work / 'd'], bad, out, reason='not valid UTF-8')
        # Only stored names count: excluded, the same file is no problem.
        self.pack('-o', out, '--exclude', 'caf?.txt', self.work / 'd')
        out.unlink()
        os.unlink(bad)
        long_name = 'n' * 100 + '/' + 'm' * 100 + '/' + 'l' * 54  # 256 bytes in the archive
        make_tree(self.work / 'd', {long_name: 'long'})
        self.assertFails(['-o', out, self.work / 'd'], self.work / 'd' / long_name, out, reason='256 bytes')
        subprocess.run(['rm', '-rf', str(self.work / 'd' / ('n' * 100))], check=True)
        make_tree(self.work / 'e', {'back\\slash.txt': 'b'})
        self.assertFails(['-o', out, self.work / 'e'], self.work / 'e' / 'back\\slash.txt', out, reason='backslash')
        make_tree(self.work / 'f1', {'same.txt': '1'})
        make_tree(self.work / 'f2', {'same.txt': '2'})
        message = self.assertFails(['-o', out, self.work / 'f1', self.work / 'f2'], self.work / 'f2' / 'same.txt',
                                   out, reason='same name')
        self.assertIn(str(self.work / 'f1' / 'same.txt'), message)

    def test_names_that_are_not_safe_in_a_cabinet(self):
        out = self.work / 'out.cab'
        for name in ('C:', 'a:b', 'CON.txt', 'x.', 'nul', 'trail ', 'tab\tname', 'C:/inside.txt'):
            with self.subTest(name=name):
                make_tree(self.work / 'd', {'ok.txt': 'ok', name: 'unsafe'})
                culprit = self.work / 'd' / name
                self.assertFails(['-o', out, self.work / 'd'], culprit, out, reason='is not a safe name')
                subprocess.run(['rm', '-rf', str(self.work / 'd')], check=True)

    def test_sources_replaced_during_the_build(self):
        noise = random.Random(8).randbytes(8000000)
        out = self.work / 'out.cab'
        for replacement in ('file', 'link'):
            with self.subTest(replacement=replacement):
                make_tree(self.work / 'd', {'big.bin': noise, 'later.txt': 'later'})
                make_tree(self.work, {'other.txt': 'other'})
                later = self.work / 'd' / 'later.txt'
                proc = self.stopped_while_reading(self.work / 'd' / 'big.bin', '-o', out, self.work / 'd')
                if replacement == 'file':
                    make_tree(self.work, {'new.txt': 'later'})  # the same bytes, another file
                    os.replace(self.work / 'new.txt', later)
                else:
                    later.unlink()
                    os.symlink(self.work / 'other.txt', later)
                code, err = self.finish(proc)
                self.assertEqual(code, FAILED)
                self.assertEqual(err, ('cabforge-cli: %s: is no longer the file that was listed (replaced while '
                                       'the cabinet was being written)\n' % later).encode())
                self.assertFalse(out.exists())
                self.assertNoLeftovers(self.work)
                subprocess.run(['rm', '-rf', str(self.work / 'd')], check=True)

    def test_cabinet_is_written_through_the_descriptor_it_was_made_with(self):
        make_tree(self.work / 'd', {'big.bin': random.Random(6).randbytes(8000000)})
        victim = self.work / 'victim.txt'
        victim.write_bytes(b'must stay')
        out = self.work / 'out' / 'out.cab'
        out.parent.mkdir()
        proc = self.stopped_while_reading(self.work / 'd' / 'big.bin', '-o', out, self.work / 'd')
        (temp,) = out.parent.iterdir()
        temp.unlink()
        os.symlink(victim, temp)
        code, err = self.finish(proc)
        self.assertEqual(code, FAILED)
        self.assertIn(b'was replaced while it was being written', err)
        self.assertEqual(victim.read_bytes(), b'must stay')
        self.assertFalse(out.exists())

    def test_more_than_65535_files(self):
        many = self.work / 'many'
        many.mkdir()
        for i in range(65536):
            os.close(os.open(many / ('%05d' % i), os.O_CREAT | os.O_WRONLY, 0o644))
        out = self.work / 'out.cab'
        self.assertFails(['-o', out, many], out, out, reason='65536 files')

    def test_files_over_the_size_bound(self):
        out = self.work / 'out.cab'
        (self.work / 'd').mkdir()
        huge = self.work / 'd' / 'huge.bin'
        with open(huge, 'wb') as f:
            f.truncate(MAX_FOLDER_BYTES + 1)  # sparse: no disk space used
        self.assertFails(['-o', out, huge], huge, out, reason=str(MAX_FOLDER_BYTES))
        # Files that only together exceed a folder's bound go into folders of their own (the flow's
        # folder plan, tested on its own): only a single file can be too large.

    def test_outputs_that_cannot_be_written(self):
        make_tree(self.work / 'd', {'x.txt': 'x'})
        missing = self.work / 'no' / 'such' / 'out.cab'
        self.assertFails(['-o', missing, self.work / 'd'], missing, missing, reason='No such file or directory')
        readonly = self.work / 'ro'
        readonly.mkdir()
        readonly.chmod(0o555)
        self.assertFails(['-o', readonly / 'out.cab', self.work / 'd'], readonly / 'out.cab', readonly / 'out.cab',
                         prefix=DROP_DAC, reason='Permission denied')
        code, _, err = self.cli('-o', self.work / 'd', self.work / 'd')
        self.assertEqual(code, FAILED)
        self.assertIn(b'is a folder', err)
        self.assertTrue((self.work / 'd').is_dir())

    def test_output_that_is_also_an_input(self):
        make_tree(self.work / 'd', {'x.txt': 'x'})
        out = self.work / 'd' / 'out.cab'
        self.pack('-o', out, self.work / 'd')  # not there yet: not an input
        before = out.read_bytes()
        for args in ([self.work / 'd'], [out]):
            with self.subTest(args=args):
                code, _, err = self.cli('-o', out, *args)
                self.assertEqual(code, FAILED)
                self.assertEqual(err, ('cabforge-cli: %s: is the output itself; write the cabinet elsewhere or '
                                       'exclude it\n' % out).encode())
                self.assertEqual(out.read_bytes(), before)
                self.assertNoLeftovers(self.work / 'd')

    def in_small_file_system(self, mount, args, env):
        """Runs the builder with a 128 KiB file system on `mount` (a private mount, gone when it ends);
        returns (exit code, standard error, what was left on that file system)."""
        listing = self.work / 'left.txt'
        script = ('mount -t tmpfs -o size=128k tmpfs "$0" || exit 99; "$@"; code=$?; '
                  'ls -A "$0" > "%s"; exit $code' % listing)
        unshare = ['unshare', '-m'] if os.geteuid() == 0 else ['unshare', '-r', '-m']
        r = subprocess.run(unshare + ['sh', '-c', script, str(mount), str(CLI)] + [str(a) for a in args],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, timeout=300)
        if r.returncode == 99:
            self.skipTest('cannot mount a small file system here')
        left = listing.read_text().split()
        listing.unlink()
        return r.returncode, r.stderr, left

    def test_full_disk(self):
        make_tree(self.work / 'd', {'noise.bin': random.Random(9).randbytes(1000000)})
        small = self.work / 'small'
        small.mkdir()
        # The cabinet's own disk fills up.
        code, err, left = self.in_small_file_system(small, ['-o', small / 'full.cab', self.work / 'd'], self.env())
        self.assertEqual((code, left), (FAILED, []))
        self.assertEqual(err, ('cabforge-cli: %s: cannot write: No space left on device\n' % (small / 'full.cab')).encode())
        # The temporary folder's disk fills up.
        out = self.work / 'out.cab'
        code, err, left = self.in_small_file_system(small, ['-o', out, self.work / 'd'], self.env(TMPDIR=str(small)))
        self.assertEqual((code, left), (FAILED, []))
        self.assertEqual(err, ('cabforge-cli: %s: cannot write a temporary file: No space left on device\n'
                               % small).encode())
        self.assertFalse(out.exists())
        self.assertNoLeftovers(self.work)

    def test_other_kinds_and_nothing_to_pack(self):
        make_tree(self.work / 'd', {'x.txt': 'x'})
        os.mkfifo(self.work / 'd' / 'pipe')
        out = self.work / 'out.cab'
        self.assertFails(['-o', out, self.work / 'd'], self.work / 'd' / 'pipe', out, reason='not a regular file')
        self.assertFails(['-o', out, '--exclude', '*', self.work / 'd'], out, out, reason='nothing to pack')
        self.assertFails(['-o', out, self.work / 'absent'], self.work / 'absent', out,
                         reason='No such file or directory')


if __name__ == '__main__':
    unittest.main()
