"""The archive builder's main window and its documents through the real cabforge.exe under Wine:
project files rebuilt from the command line ("/compress"), saved and loaded again, files dropped
onto the archive tree by another program (tests/cabforge/app/cfprobe as the OLE drag source),
the Delete, New, Exit and Create as... commands with their questions, the integrated mode's report
to the host test program, the stored layout, Help and About. Cabinets are read back by cabextract
and 7z; the tree is read out of the builder's tree control by cfprobe."""

import json
import os
import subprocess
import sys
import threading
import time
import unittest

from harness import Prefix, Rule, SRC, exe_path, find_windows, control

sys.path.insert(0, str(SRC / 'tests' / 'cabforge' / 'app'))
import cabcheck  # noqa: E402

CAPTION = 'Pakkit Compressor'
DIALOG = '#32770'
KEY = r'HKCU\Software\Ondrel\Pakkit 6\Compressor'
WINDOW_KEY = KEY + r'\Window'
DECLARATION = b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'

NEW, LOAD, SAVE, CREATE_AS, EXIT = 57600, 57601, 57603, 1002, 40005
DELETE, ABOUT, CREATE_AND_EXIT, HELP = 40001, 40003, 40004, 57666
VK_DELETE, VK_F1, VK_ESCAPE = 0x2E, 0x70, 0x1B


def project(*body):
    return DECLARATION + b'<PakkitCompressorProject>' + b''.join(body) + b'</PakkitCompressorProject>'


def folder(name, *body):
    if not body:
        return b'<Folder Name="' + name.encode() + b'"/>'
    return b'<Folder Name="' + name.encode() + b'">' + b''.join(body) + b'</Folder>'


def file_(path):
    return b'<File>' + path.encode() + b'</File>'


class BuilderCase(unittest.TestCase):
    """One prefix per class; each test works in its own folders below C:\\."""

    @classmethod
    def setUpClass(cls):
        cls.p = Prefix().__enter__()
        # The desktop of a fresh prefix is a link to $HOME: give this prefix a folder of its own.
        for desktop in (cls.p.path / 'drive_c' / 'users').glob('*/Desktop'):
            if desktop.is_symlink():
                desktop.unlink()
                desktop.mkdir()

    @classmethod
    def tearDownClass(cls):
        cls.p.__exit__(None, None, None)

    def setUp(self):
        self.base = self.id().rsplit('.', 1)[-1]

    def dir(self, name, files=None):
        files = {k.replace('\\', '/'): v for k, v in (files or {}).items()}
        return self.p.app_dir(self.base + '/' + name, files).rstrip('\\')

    def probe(self, *args, timeout=120):
        r = self.p.run(exe_path('cfprobe'), [str(a) for a in args], timeout=timeout)
        lines = r.stdout.strip().splitlines()
        data = None
        if lines:
            try:
                data = json.loads(lines[-1])
            except ValueError:
                data = None
        return r.code, data

    def tree(self):
        code, data = self.probe('tree')
        self.assertEqual(code, 0, 'no archive tree')
        return [(i['depth'], i['text']) for i in data['items']]

    def names(self, win_path):
        return [f['name'] for f in cabcheck.parse_cab(self.p.hostpath(win_path).read_bytes())['files']]

    def wait_for(self, check, timeout=30, what='condition'):
        deadline = time.time() + timeout
        while time.time() < deadline:
            value = check()
            if value:
                return value
            time.sleep(0.2)
        self.fail('timed out waiting for ' + what)


class Session:
    """cabforge.exe run by the host test program on a thread of this test, with its dialog rules;
    the test drives the window meanwhile with cfprobe."""

    def __init__(self, case, args=(), rules=(), locale='en', timeout=180, answer_no=True, snapshot_all=False):
        # answer_no: any question left over (such as "Save an archive file?" when the window is
        # closed at the end) is answered No. snapshot_all: every window the builder shows is
        # recorded.
        self.case, self.args = case, list(args)
        self.rules = list(rules) + ([Rule(CAPTION, cls=DIALOG, press='No')] if answer_no else [])
        self.locale, self.timeout, self.snapshot_all = locale, timeout, snapshot_all
        self.report = None
        self.error = None
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        try:
            self.report = self.case.p.run_host('cabforge', self.args, rules=self.rules, timeout=self.timeout,
                                               locale=self.locale, snapshot_all=self.snapshot_all)
        except Exception as e:  # reported by finish()
            self.error = e

    def __enter__(self):
        self.thread.start()
        code, state = self.case.probe('wait', 'cabforge_class', 60000)
        if code != 0:
            self.finish(close=True)
            self.case.fail('the main window did not appear')
        self.pid = state['pid']
        return self

    def __exit__(self, *exc):
        if self.thread.is_alive():
            self.case.probe('close', 'cabforge_class')
            self.thread.join(self.timeout + 60)

    def alive(self):
        code, state = self.case.probe('state', 'cabforge_class')
        return code == 0 and state['found'] and state['pid'] == self.pid

    def finish(self, close=False, timeout=120):
        if close:
            self.case.probe('close', 'cabforge_class')
        self.thread.join(timeout)
        if self.error:
            raise self.error
        self.case.assertIsNotNone(self.report, 'the builder did not end')
        return self.report


def message_boxes(report, text=None):
    """The builder's message boxes (one snapshot per window: several rules may snapshot one) whose
    message is `text`, or begins with it and a paragraph under it."""
    out, seen = [], set()
    for w in find_windows(report, caption=CAPTION, cls=DIALOG):
        shown = [c['text'].replace('\r\n', '\n') for c in w['controls'] if c['class'].lower() == 'static' and c['text']]
        said = any(t == text or t.startswith(text + '\n\n') for t in shown) if text is not None else True
        if w['hwnd'] not in seen and control(w, id=1007) is None and said:
            seen.add(w['hwnd'])
            out.append(w)
    return out


def message_text(window):
    texts = [c['text'] for c in window['controls'] if c['class'].lower() == 'static' and c['text']]
    return '\n'.join(texts).replace('\r\n', '\n')


def progress_windows(report):
    return [w for w in find_windows(report, caption=CAPTION, cls=DIALOG) if control(w, id=1007)]


class ProjectBuild(BuilderCase):
    """"/compress" with a project: the cabinet, its names and order, and the exit codes."""

    def sources(self):
        return self.dir('src', {'docs\\readme.txt': 'readme\n', 'a\\b\\deep.txt': 'deep\n', 'one\\dup.txt': 'first\n',
                                'two\\dup.txt': 'second\n', 'Zeta.txt': 'zeta\n', 'alpha.txt': 'alpha\n'})

    def test_project_builds_in_tree_order(self):
        s = self.sources()
        pkp = self.dir('proj', {'p.pkp': project(
            file_(s + r'\Zeta.txt'),
            folder('docs', file_(s + r'\docs\readme.txt'), file_(s + r'\docs\missing.txt')),
            folder('Nested', folder('inner', file_(s + r'\a\b\deep.txt')), folder('empty')),
            folder('dup', file_(s + r'\one\dup.txt'), file_(s + r'\two\dup.txt')),
            file_(s + r'\alpha.txt'))}) + r'\p.pkp'
        code = self.p.run('cabforge', ['/compress', '/silent', pkp], timeout=120).code
        self.assertEqual(code, 0)
        cab = pkp[:-4] + '.cab'
        self.assertEqual(self.names(cab), ['alpha.txt', 'docs\\readme.txt', 'dup\\dup.txt', 'dup\\dup.txt',
                                           'Nested\\inner\\deep.txt', 'Zeta.txt'])
        host = self.p.hostpath(cab)
        # Both entries named dup\dup.txt are stored; the readers keep the last one.
        listing = subprocess.run(['cabextract', '-l', str(host)], capture_output=True, text=True).stdout
        self.assertEqual(listing.count('dup/dup.txt'), 2)
        self.assertEqual(cabcheck.extract_7z(host)['Nested\\inner\\deep.txt'], b'deep\n')
        self.assertEqual(cabcheck.extract_cabextract(host)['docs\\readme.txt'], b'readme\n')

    def test_archive_path_rules(self):
        s = self.sources()
        proj = self.dir('proj', {'p.pkp': project(file_(s + r'\alpha.txt'))})
        self.assertEqual(self.p.run('cabforge', ['/compress', '/silent', proj + r'\p.pkp', proj + r'\x.cab']).code, 0)
        self.assertEqual(self.names(proj + r'\x.cab'), ['alpha.txt'])
        self.assertFalse(self.p.hostpath(proj + r'\p.cab').exists())
        # Without "/silent" a project build shows no window either when it succeeds.
        rep = self.p.run_host('cabforge', ['/compress', proj + r'\p.pkp'], timeout=120)
        self.assertEqual(rep['exitCode'], 0)
        self.assertEqual(message_boxes(rep), [])
        self.assertEqual(self.names(proj + r'\p.cab'), ['alpha.txt'])

    def test_exit_codes_of_bad_projects(self):
        s = self.sources()
        proj = self.dir('proj', {
            'case.pkp': project(b'<folder Name="x">' + file_(s + r'\alpha.txt') + b'</folder>',
                                b'<FILE>' + (s + r'\alpha.txt').encode() + b'</FILE>'),
            'broken.pkp': project(folder('x', file_(s + r'\alpha.txt')))[:-12],
            'text.pkp': b'just some words\n',
            'other.pkp': DECLARATION + b'<Other>' + file_(s + r'\alpha.txt') + b'</Other>',
            'empty.pkp': b''})
        for name, expected in (('case', 104), ('broken', 103), ('text', 103), ('other', 103), ('empty', 103),
                               ('absent', 103)):
            with self.subTest(project=name):
                code = self.p.run('cabforge', ['/compress', '/silent', '%s\\%s.pkp' % (proj, name)]).code
                self.assertEqual(code, expected)
                self.assertFalse(self.p.hostpath('%s\\%s.cab' % (proj, name)).exists())
        self.assertEqual(self.p.run('cabforge', ['/compress', '/silent']).code, 101)
        # Loading reports nothing; an empty project says so unless silent.
        rep = self.p.run_host('cabforge', ['/compress', proj + r'\broken.pkp'], snapshot_all=True, timeout=120)
        self.assertEqual((rep['exitCode'], rep['windows']), (103, []))
        rep = self.p.run_host('cabforge', ['/compress', proj + r'\case.pkp'],
                              rules=[Rule(CAPTION, cls=DIALOG, press='OK')], timeout=120)
        self.assertEqual(rep['exitCode'], 104)
        self.assertEqual(len(message_boxes(rep, 'Contains no files.')), 1)

    def test_names_that_leave_the_folder_are_refused(self):
        s = self.sources()
        alpha = file_(s + r'\alpha.txt')
        files = {'bad%d.pkp' % i: project(folder(name, alpha)) for i, name in enumerate(
            ['..\\..\\Windows', 'C:', '\\\\srv\\share', '.', 'a/b', 'a:b', 'con', 'x ', 'tab&#9;here'])}
        files['mixed.pkp'] = project(folder('..\\..\\Windows', alpha), folder('C:', file_(s + r'\Zeta.txt')),
                                     folder('\\\\srv\\share', file_(s + r'\docs\readme.txt')),
                                     b'<Folder>' + file_(s + r'\one\dup.txt') + b'</Folder>')
        files['file.pkp'] = project(file_(s + '\\..'))
        # A document type declaration (here with an entity naming a local file) is refused as a
        # malformed project, whatever the rest holds.
        files['doctype.pkp'] = project(folder('docs', alpha)).replace(
            b'?>', b'?><!DOCTYPE PakkitCompressorProject [<!ENTITY x SYSTEM "file:///C:/windows/win.ini">]>', 1)
        # A folder without a name adds no level: its files belong to its parent.
        files['nameless.pkp'] = project(b'<Folder>' + file_(s + r'\docs\readme.txt') + b'</Folder>',
                                        folder('docs', b'<Folder>' + alpha + b'</Folder>'))
        proj = self.dir('proj', files)
        for name in sorted(files):
            if name == 'nameless.pkp':
                continue
            with self.subTest(project=name):
                code = self.p.run('cabforge', ['/compress', '/silent', proj + '\\' + name]).code
                self.assertEqual(code, 103)
                self.assertFalse(self.p.hostpath(proj + '\\' + name[:-4] + '.cab').exists())
        self.assertEqual(self.p.run('cabforge', ['/compress', '/silent', proj + r'\nameless.pkp']).code, 0)
        self.assertEqual(self.names(proj + r'\nameless.cab'), ['docs\\alpha.txt', 'readme.txt'])
        # Loaded in the window, a refused project leaves the tree as it was.
        with Session(self, [proj + r'\nameless.pkp'],
                     rules=[Rule('Open', cls=DIALOG, set_text={1148: proj + r'\mixed.pkp'}, press='Open')]):
            before = self.tree()
            self.probe('command', LOAD)
            time.sleep(4)
            self.assertEqual(self.tree(), before)
        self.assertEqual(before, [(0, 'Archive File'), (1, 'docs'), (2, 'alpha.txt'), (1, 'readme.txt')])

    def test_target_that_does_not_fit_is_refused(self):
        s = self.sources()
        proj = self.dir('proj', {'p.pkp': project(file_(s + r'\alpha.txt'))})
        # The first 259 characters would name a file that can be written: the whole is refused.
        fitting = proj + '\\' + 'n' * (254 - len(proj)) + '.cab'
        self.assertEqual(len(fitting), 259)
        target = fitting + 'x' * 37 + '.cab'
        self.assertEqual(self.p.run('cabforge', ['/compress', '/silent', proj + r'\p.pkp', target]).code, 204)
        rep = self.p.run_host('cabforge', ['/compress', proj + r'\p.pkp', target],
                              rules=[Rule(CAPTION, cls=DIALOG, press='OK')], timeout=120)
        self.assertEqual(rep['exitCode'], 204)
        shown = message_text(message_boxes(rep)[0])
        self.assertIn('Failed to create archive file.', shown)
        self.assertIn(target + ': the path of the archive file is too long.', shown)
        self.assertEqual(list(self.p.hostpath(proj).glob('*.cab')), [])

    def test_locked_source_fails_with_204(self):
        s = self.sources()
        proj = self.dir('proj', {'p.pkp': project(file_(s + r'\alpha.txt'), file_(s + r'\Zeta.txt'))})
        lock = subprocess.Popen(['wine', self.p.winpath(exe_path('cfprobe')), 'lock', s + r'\Zeta.txt', '60000'],
                                env=self.p.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            self.assertEqual(lock.stdout.readline().strip(), b'locked')
            self.assertEqual(self.p.run('cabforge', ['/compress', '/silent', proj + r'\p.pkp']).code, 204)
            rep = self.p.run_host('cabforge', ['/compress', proj + r'\p.pkp'],
                                  rules=[Rule(CAPTION, cls=DIALOG, press='OK')], timeout=120)
            self.assertEqual(rep['exitCode'], 204)
            self.assertEqual(len(message_boxes(rep)), 1)
            # The message as it was, and below it the file at fault and why.
            first, _, second = message_text(message_boxes(rep)[0]).partition('\n\n')
            self.assertIn('Failed to create archive file.', first)
            self.assertEqual(second.strip(), s + r'\Zeta.txt: the file cannot be read: it is in use by another program.')
        finally:
            lock.kill()
            lock.wait()
            lock.stdout.close()

    def test_source_removed_during_the_build_is_named(self):
        s = self.dir('src', {'big.bin': os.urandom(12000000), 'later.txt': 'later'})
        proj = self.dir('proj', {'p.pkp': project(file_(s + r'\big.bin'), file_(s + r'\later.txt'))})
        result = {}
        run = threading.Thread(target=lambda: result.update(self.p.run_host(
            'cabforge', ['/compress', proj + r'\p.pkp'], rules=[Rule(CAPTION, cls=DIALOG, press='OK')],
            timeout=180)))
        run.start()
        # Once big.bin is being packed, later.txt goes.
        self.wait_for(lambda: 'big.bin' in (self.probe('text', CAPTION, 1008)[1] or {}).get('held', ''), 60,
                      'big.bin in the progress window')
        self.p.hostpath(s + r'\later.txt').unlink()
        run.join(240)
        self.assertEqual(result['exitCode'], 204)
        shown = message_text(message_boxes(result)[0])
        self.assertIn('Failed to create archive file.', shown)
        self.assertIn(s + r'\later.txt: the file no longer exists (it was removed while the archive was being '
                      'written).', shown)
        self.assertFalse(self.p.hostpath(proj + r'\p.cab').exists())

    def test_extreme_projects(self):
        s = self.sources()
        deep = DECLARATION + b'<PakkitCompressorProject>' + b'<Folder Name="d">' * 10000 + file_(s + r'\alpha.txt') + \
            b'</Folder>' * 10000 + b'</PakkitCompressorProject>'
        long_name = 'n' * 300
        padding = (b'<!--' + b'x' * (1024 * 1024) + b'-->') * 50
        proj = self.dir('proj', {
            'deep.pkp': deep,
            'long.pkp': project(folder(long_name, file_(s + r'\alpha.txt'))),
            'big.pkp': project(padding, file_(s + r'\alpha.txt'), b'<Other>' + file_(s + r'\Zeta.txt') + b'</Other>'),
            'gone.pkp': project(file_(r'C:\no\such\file.txt')),
            'ok.pkp': project(file_(s + r'\alpha.txt'))})
        # Nesting the DOM accepts is read without recursion; what it refuses is not well-formed.
        self.assertIn(self.p.run('cabforge', ['/compress', '/silent', proj + r'\deep.pkp'], timeout=300).code, (0, 103))
        # The folder keeps 259 characters of its name, and no cabinet takes a name that long.
        self.assertEqual(self.p.run('cabforge', ['/compress', '/silent', proj + r'\long.pkp']).code, 204)
        self.assertEqual(self.p.run('cabforge', ['/compress', '/silent', proj + r'\big.pkp'], timeout=300).code, 0)
        self.assertEqual(self.names(proj + r'\big.cab'), ['alpha.txt'])
        # Every source gone: nothing can be packed.
        self.assertEqual(self.p.run('cabforge', ['/compress', '/silent', proj + r'\gone.pkp']).code, 204)
        # A target that cannot be written.
        code = self.p.run('cabforge', ['/compress', '/silent', proj + r'\ok.pkp', r'C:\no\such\folder\x.cab']).code
        self.assertEqual(code, 204)


def save_dialog(path, caption='Save As', press='Save', delay=1000):
    # The file dialog fills its controls after it is shown: give it a second.
    return Rule(caption, cls=DIALOG, set_text={1148: path}, press=press, delay=delay, times=1)


class ProjectFiles(BuilderCase):
    """Save Settings and Load Settings: the file's bytes and the tree they give back."""

    def test_save_then_load_gives_the_same_tree(self):
        s = self.dir('src', {'docs\readme.txt': 'r', 'setup.ini': 's', 'b\c\d.txt': 'd'})
        proj = self.dir('proj', {'in.pkp': project(
            file_(s + r'\setup.ini'), folder('docs', file_(s + r'\docs\readme.txt'), folder('empty')),
            folder('b', folder('c', file_(s + r'\b\c\d.txt'))), folder('hollow'))})
        saved = proj + r'\out.pkp'
        loaded_again = None
        with Session(self, [proj + r'\in.pkp'],
                     rules=[save_dialog(saved), Rule('Open', cls=DIALOG, set_text={1148: saved}, press='Open',
                                                     times=1)]) as ses:
            first = self.tree()
            self.probe('command', SAVE)
            self.wait_for(lambda: self.p.hostpath(saved).exists(), what='the saved project')
            self.probe('command', NEW)
            self.wait_for(lambda: len(self.tree()) == 1, what='New')
            self.probe('command', LOAD)
            loaded_again = self.wait_for(lambda: len(self.tree()) > 1 and self.tree(), what='Load Settings')
            rep = ses.finish(close=True)
        self.assertEqual(first, [(0, 'Archive File'), (1, 'b'), (2, 'c'), (3, 'd.txt'), (1, 'docs'), (2, 'empty'),
                                 (2, 'readme.txt'), (1, 'hollow'), (1, 'setup.ini')])
        self.assertEqual(loaded_again, first)
        # No question on closing: loading leaves the tree unmodified.
        self.assertEqual(message_boxes(rep), [])
        body = (b'<PakkitCompressorProject>' + folder('b', folder('c', file_(s + r'\b\c\d.txt'))) +
                folder('docs', folder('empty'), file_(s + r'\docs\readme.txt')) + folder('hollow') +
                file_(s + r'\setup.ini') + b'</PakkitCompressorProject>')
        # The declaration, then the elements without white space between them; the line breaks
        # around the root element are the XML DOM's own.
        self.assertIn(self.p.hostpath(saved).read_bytes(),
                      (DECLARATION + b'\n' + body + b'\n', DECLARATION + b'\r\n' + body + b'\r\n'))

    def test_load_reads_what_the_format_says(self):
        s = self.dir('src', {'x.txt': 'x'})
        proj = self.dir('proj', {'p.pkp': project(
            b'<Folder>' + file_(s + r'\x.txt') + b'</Folder>',
            folder('N' * 300), b'<folder Name="lower"/>', b'<!-- note -->',
            folder('same', file_(r'C:\one\notes.txt'), file_(r'C:\two\notes.txt')))})
        with Session(self, [proj + r'\p.pkp']):
            tree = self.tree()
        # The folder without a name adds no level: x.txt lies below the root.
        self.assertEqual(tree, [(0, 'Archive File'), (1, 'N' * 259), (1, 'same'), (2, 'notes.txt'),
                                (2, 'notes.txt'), (1, 'x.txt')])

    def test_saving_an_empty_tree_says_so(self):
        with Session(self, [], rules=[Rule(CAPTION, cls=DIALOG, press='OK')]) as ses:
            self.probe('command', SAVE)
            time.sleep(3)  # the host test program answers the message meanwhile
            rep = ses.finish(close=True)
        self.assertEqual(len(message_boxes(rep, 'Contains no files.')), 1)
        self.assertEqual(find_windows(rep, caption='Save As'), [])



class DropOntoTheTree(BuilderCase):
    """Files and folders dragged from another program (cfprobe's CF_HDROP drag source)."""

    def drop(self, where, *paths):
        code, result = self.probe('drop', where, *paths)
        self.assertEqual(code, 0, 'the drop did not complete: %r' % (result,))
        self.assertEqual(result['effect'], 1)  # copy

    def test_folders_files_merging_and_targets(self):
        d = self.dir('x', {'F\\a.txt': 'a', 'F\\sub\\b.txt': 'b', 'B.txt': 'B', 'a.txt': 'a', 'up\\A.TXT': 'A',
                           'hollow\\one\\two': None, 'hollow\\three': None, 'n.txt': 'n', 'other\\o.txt': 'o'})
        with Session(self, []) as ses:
            self.drop('root', d + r'\F')
            root_f = [(0, 'Archive File'), (1, 'F'), (2, 'a.txt'), (2, 'sub'), (3, 'b.txt')]
            self.assertEqual(self.tree(), root_f)
            self.drop('root', d + r'\F')
            self.assertEqual(self.tree(), root_f, 'a second drop adds nothing')
            self.drop('empty', d + r'\hollow')
            self.assertEqual(self.tree(), root_f, 'empty folders add nothing')
            self.drop('empty', d + r'\B.txt', d + r'\a.txt')
            both = [(0, 'Archive File'), (1, 'a.txt'), (1, 'B.txt')] + root_f[1:]
            self.assertEqual(self.tree(), both, 'sorted ignoring case, folders and files mixed')
            self.drop('root', d + r'\up\A.TXT')
            self.assertEqual(self.tree(), both, 'A.TXT merged with a.txt')
            # Onto the file F\a.txt (item 4): next to it, in F.
            self.drop('item:4', d + r'\n.txt')
            self.assertEqual(self.tree()[3:8], [(1, 'F'), (2, 'a.txt'), (2, 'n.txt'), (2, 'sub'), (3, 'b.txt')])
            # Onto the folder sub (item 6); a path from another folder comes by its own name.
            self.drop('item:6', d + r'\a.txt', d + r'\other')
            self.assertEqual(self.tree()[6:], [(2, 'sub'), (3, 'a.txt'), (3, 'b.txt'), (3, 'other'), (4, 'o.txt')])

    def test_paths_are_made_normal_and_names_compared_ordinally(self):
        d = self.dir('x', {'src\\a.txt': 'a', 'other\\w.ini': 'w', 'pair\\strasse.txt': 'double s',
                           'pair\\straße.txt': 'sharp s', 'pair\\Ä.txt': 'upper', 'pair\\ä.txt': 'lower'})
        out = self.dir('out') + r'\pair.cab'
        with Session(self, [], rules=[save_dialog(out)]) as ses:
            self.drop('root', d + r'\src\a.txt', d + r'\src\..\other\.\w.ini')
            self.assertEqual(self.tree(), [(0, 'Archive File'), (1, 'a.txt'), (1, 'w.ini')])
            self.drop('root', d + r'\pair')
            self.probe('command', CREATE_AS)
            self.wait_for(lambda: self.p.hostpath(out).exists() and self.names(out), what='the archive')
            tree = self.tree()
            ses.finish(close=True)
        # Names that differ in a letter stay two entries; names equal but for case are one.
        self.assertEqual(sorted(t for depth, t in tree if depth == 1), ['a.txt', 'pair', 'w.ini'])
        pair = sorted(t for depth, t in tree if depth == 2)
        self.assertIn(pair, (['strasse.txt', 'straße.txt', 'Ä.txt'], ['strasse.txt', 'straße.txt', 'ä.txt']))
        for extract in (cabcheck.extract_cabextract, cabcheck.extract_7z):
            got = extract(self.p.hostpath(out))
            umlaut = {k: v for k, v in got.items() if k in ('pair\\Ä.txt', 'pair\\ä.txt')}
            self.assertIn(umlaut, ({'pair\\Ä.txt': b'upper'}, {'pair\\ä.txt': b'lower'}))
            self.assertEqual({k: v for k, v in got.items() if k not in umlaut},
                             {'a.txt': b'a', 'w.ini': b'w', 'pair\\strasse.txt': b'double s',
                              'pair\\straße.txt': b'sharp s'})

    def test_names_the_archive_cannot_hold_are_not_added(self):
        d = self.dir('x', {'mixed\\ok.txt': 'ok'})
        # Names a Linux folder may hold and an archive may not: the rest of the drop is added.
        for name in ('x.', 'trail ', 'con'):
            (self.p.hostpath(d) / 'mixed' / name).write_text('unsafe')
        with Session(self, [], rules=[Rule(CAPTION, cls=DIALOG, press='OK')]) as ses:
            self.drop('root', d + r'\mixed')
            self.assertEqual(self.tree(), [(0, 'Archive File'), (1, 'mixed'), (2, 'ok.txt')])
            rep = ses.finish(close=True)
        told = message_boxes(rep, 'These files were not added: their names cannot be stored in an archive.')
        self.assertEqual(len(told), 1)
        named = message_text(told[0]).split('\n\n', 1)[1].split('\n')
        self.assertEqual(sorted(named), sorted(d + '\\mixed\\' + n for n in ('x.', 'trail ', 'con')))

    def test_silent_adds_without_a_progress_window(self):
        d = self.dir('x', {'many\\f%04d.txt' % i: 'x' for i in range(3000)})
        with Session(self, ['/silent'], snapshot_all=True) as ses:
            self.drop('root', d + r'\many')
            self.assertEqual(len(self.tree()), 3002)
            rep = ses.finish(close=True)
        self.assertEqual(progress_windows(rep), [])

    def test_cancel_during_a_large_drop_keeps_what_was_added(self):
        d = self.dir('x', {'many\\f%05d.txt' % i: 'x' for i in range(20000)})
        with Session(self, [], rules=[Rule(CAPTION, cls=DIALOG, press='Cancel', delay=1000, times=1)]):
            self.drop('root', d + r'\many')
            tree = self.tree()
            self.assertGreater(len(tree), 2)
            self.assertLess(len(tree), 20002)
            self.assertEqual(tree[1], (1, 'many'))
            time.sleep(1)
            self.assertEqual(self.tree(), tree, 'nothing added after Cancel')

    def test_twenty_thousand_files(self):
        d = self.dir('x', {'big\\f%05d.bin' % i: '' for i in range(20000)})
        with Session(self, [], timeout=900):
            started = time.time()
            self.drop('root', d + r'\big')
            elapsed = time.time() - started
            self.assertEqual(len(self.tree()), 20002)
        self.assertLess(elapsed, 120, 'a large drop must not stall the window for minutes')



class Commands(BuilderCase):
    """Delete, New, Exit and Create as... with the questions they ask."""

    def loaded(self, files=None):
        s = self.dir('src', files or {'a.txt': 'a', 'd\\b.txt': 'b', 'd\\c.txt': 'c'})
        return s, self.dir('proj', {'p.pkp': project(file_(s + r'\a.txt'),
                                                     folder('d', file_(s + r'\d\b.txt'), file_(s + r'\d\c.txt')))})

    def test_delete_new_and_exit(self):
        s, proj = self.loaded()
        with Session(self, [proj + r'\p.pkp'], answer_no=False) as ses:
            full = [(0, 'Archive File'), (1, 'a.txt'), (1, 'd'), (2, 'b.txt'), (2, 'c.txt')]
            self.assertEqual(self.tree(), full)
            self.probe('select', 0)
            self.probe('key', VK_DELETE)
            self.probe('command', DELETE)
            self.assertEqual(self.tree(), full, 'the root is never deleted')
            # New asks nothing: loading and deleting nothing left the tree unmodified.
            self.probe('command', NEW)
            self.wait_for(lambda: self.tree() == [(0, 'Archive File')], what='New')
            self.probe('command', EXIT)
            rep = ses.finish()
        self.assertEqual(rep['exitCode'], 0)
        self.assertEqual(message_boxes(rep), [])

    def test_del_removes_the_subtree_and_exit_asks(self):
        s, proj = self.loaded()
        # No waits 1.5 s, so that on a busy machine it cannot reach the first question, which
        # Yes answers at once.
        rules = [Rule(CAPTION, cls=DIALOG, press='Yes', times=1), Rule('Save As', cls=DIALOG, press='Cancel'),
                 Rule(CAPTION, cls=DIALOG, press='No', delay=1500)]
        with Session(self, [proj + r'\p.pkp'], rules=rules, answer_no=False) as ses:
            self.probe('select', 2)
            self.probe('key', VK_DELETE)  # the accelerator, taken by the builder's message loop
            self.wait_for(lambda: self.tree() == [(0, 'Archive File'), (1, 'a.txt')], what='Del')
            self.probe('command', EXIT)
            # Yes, then Cancel in the save dialog: the window stays.
            time.sleep(4)
            self.assertTrue(ses.alive(), 'the window closed although the save dialog was cancelled')
            self.probe('command', EXIT)  # asked again: No
            rep = ses.finish()
        questions = message_boxes(rep, 'Save an archive file?')
        self.assertEqual(len(questions), 2)
        self.assertEqual(len(find_windows(rep, caption='Save As')), 1)
        self.assertEqual(rep['exitCode'], 0)

    def test_context_menu_delete(self):
        s, proj = self.loaded()
        with Session(self, [proj + r'\p.pkp']) as ses:
            self.assertEqual(self.tree(), [(0, 'Archive File'), (1, 'a.txt'), (1, 'd'), (2, 'b.txt'), (2, 'c.txt')])
            # A right click on the root opens no menu; on the folder d, its menu's Delete (key D)
            # removes d with its files and marks the tree modified.
            code, menu = self.probe('context', 'root', VK_ESCAPE)
            self.assertEqual((code, menu['menu']), (0, False))
            code, menu = self.probe('context', 'item:2', ord('D'))
            self.assertEqual((code, menu), (0, {'menu': True, 'closed': True}))
            self.wait_for(lambda: self.tree() == [(0, 'Archive File'), (1, 'a.txt')], what='Delete from the menu')
            rep = ses.finish(close=True)
        self.assertEqual(len(message_boxes(rep, 'Save an archive file?')), 1)

    def test_new_asks_when_modified(self):
        d = self.dir('x', {'a.txt': 'a'})
        with Session(self, [], rules=[Rule(CAPTION, cls=DIALOG, press='No', times=1)], answer_no=False) as ses:
            code, _ = self.probe('drop', 'root', d + r'\a.txt')
            self.assertEqual(code, 0)
            self.probe('command', NEW)
            self.wait_for(lambda: self.tree() == [(0, 'Archive File')], what='New')
            self.probe('command', EXIT)  # New cleared the modified flag: no question
            rep = ses.finish()
        self.assertEqual(len(message_boxes(rep, 'Save an archive file?')), 1)

    def test_create_as_and_cancel(self):
        s, proj = self.loaded({'a.txt': 'a', 'd\\b.txt': 'b', 'd\\c.txt': 'c', 'big.bin': os.urandom(30000000)})
        out = self.dir('out') + r'\made.cab'
        cancelled = self.dir('out') + r'\cancelled.cab'
        # Cancel only a progress window that stays up for 2 s: the first, small archive is made
        # sooner even on a busy machine, the 30 MB one takes several seconds.
        rules = [save_dialog(out), Rule(CAPTION, cls=DIALOG, press='Cancel', delay=2000, times=1),
                 Rule(CAPTION, cls=DIALOG, press='OK'), save_dialog(cancelled, delay=4000)]
        with Session(self, ['/hwnd:{HWND}'], rules=rules) as ses:
            code, _ = self.probe('drop', 'root', s + r'\a.txt', s + r'\d')
            self.assertEqual(code, 0)
            self.probe('command', CREATE_AS)
            self.wait_for(lambda: self.p.hostpath(out).exists() and self.names(out), what='the archive')
            self.assertEqual(self.names(out), ['a.txt', 'd\\b.txt', 'd\\c.txt'])
            # Creation cleared the modified flag; adding big.bin sets it again.
            code, _ = self.probe('drop', 'root', s + r'\big.bin')
            self.assertEqual(code, 0)
            self.probe('command', CREATE_AS)
            time.sleep(8)
            self.probe('command', EXIT)  # still modified after the cancelled creation: asked, No
            rep = ses.finish()
        aborted = message_boxes(rep, 'The process was aborted.')
        self.assertEqual(len(aborted), 1)
        self.assertTrue(message_text(aborted[0]).endswith(
            '\n\n' + s + r'\big.bin: stopped while this file was being packed.'), message_text(aborted[0]))
        self.assertEqual(len(message_boxes(rep, 'Save an archive file?')), 1)
        progress = [w for w in find_windows(rep, caption=CAPTION, cls=DIALOG) if control(w, id=1007)]
        self.assertEqual(control(progress[0], id=1007)['text'], 'Creating archive file ...')
        # The last archive created is the one reported, not the cancelled one.
        self.assertEqual([(a['path'], a['pid']) for a in rep['archiveCreated']], [(out, ses.pid)])
        cabcheck.readers_agree(self, self.p, self.p.hostpath(out),
                               {'a.txt': b'a', 'd\\b.txt': b'b', 'd\\c.txt': b'c'}, wine=None)


class IntegratedMode(BuilderCase):
    """"/hwnd:" from the host: command 40004 and the report when the window closes."""

    def desktop_archive(self):
        desktops = list((self.p.path / 'drive_c' / 'users').glob('*/Desktop'))
        return [d / 'Pakkit Project.cab' for d in desktops if d.name == 'Desktop']

    def test_create_archive_file_and_exit(self):
        s = self.dir('src', {'a.txt': 'a'})
        proj = self.dir('proj', {'p.pkp': project(file_(s + r'\a.txt'))})
        for old in self.desktop_archive():
            if old.exists():
                old.unlink()
        with Session(self, ['/hwnd:{HWND}', proj + r'\p.pkp']) as ses:
            self.probe('command', CREATE_AND_EXIT)
            rep = ses.finish()
        self.assertEqual(rep['exitCode'], 0)
        self.assertEqual(len(rep['archiveCreated']), 1)
        report = rep['archiveCreated'][0]
        self.assertTrue(report['readOk'])
        self.assertEqual(report['pid'], ses.pid)
        self.assertEqual(report['wParam'], ses.pid)
        self.assertTrue(report['path'].endswith(r'\Desktop\Pakkit Project.cab'), report['path'])
        self.assertEqual(self.names(report['path']), ['a.txt'])

        # Again: the file exists, so the builder asks; No keeps the window and the old file.
        # The second rule waits longer, so that it does not fire on the first question too.
        rules = [Rule(CAPTION, cls=DIALOG, press='No', times=1),
                 Rule(CAPTION, cls=DIALOG, press='Yes', delay=1000, times=1)]
        before = self.p.hostpath(report['path']).stat().st_mtime_ns
        with Session(self, ['/hwnd:{HWND}', proj + r'\p.pkp'], rules=rules, answer_no=False) as ses:
            self.probe('command', CREATE_AND_EXIT)
            time.sleep(3)
            self.assertTrue(ses.alive())
            self.assertEqual(self.p.hostpath(report['path']).stat().st_mtime_ns, before)
            self.probe('command', CREATE_AND_EXIT)
            rep = ses.finish()
        asked = message_boxes(rep)
        self.assertEqual(len(asked), 2)
        self.assertIn(report['path'], ' '.join(c['text'] for c in asked[0]['controls']))
        self.assertIn('already exists. Do you want to overwrite it?', ' '.join(c['text'] for c in asked[0]['controls']))
        self.assertEqual(len(rep['archiveCreated']), 1)

    def test_a_run_that_created_nothing_sends_nothing(self):
        with Session(self, ['/hwnd:{HWND}']) as ses:
            rep = ses.finish(close=True)
        self.assertEqual(rep['archiveCreated'], [])
        self.assertEqual(rep['exitCode'], 0)

    def test_the_command_needs_a_host(self):
        s = self.dir('src', {'a.txt': 'a'})
        proj = self.dir('proj', {'p.pkp': project(file_(s + r'\a.txt'))})
        for old in self.desktop_archive():
            if old.exists():
                old.unlink()
        with Session(self, [proj + r'\p.pkp']) as ses:
            self.probe('command', CREATE_AND_EXIT)
            time.sleep(2)
            self.assertTrue(ses.alive())
            ses.finish(close=True)
        self.assertFalse(any(p.exists() for p in self.desktop_archive()))


class Layout(BuilderCase):
    """The stored pane width and window placement, and the splitter's bounds."""

    def setUp(self):
        super().setUp()
        self.p.reg_delete_key(KEY)

    def test_first_start_then_minimised_close(self):
        with Session(self, []) as ses:
            _, layout = self.probe('layout')
            self.assertEqual(layout['pane'], layout['client'] * 70 // 100)
            self.assertEqual(layout['client'], layout['mainClient'])
            self.assertEqual(layout['secondLeft'], layout['pane'] + 4)
            self.probe('minimize', 'cabforge_class')
            ses.finish(close=True)
        self.assertEqual(self.p.reg_query(WINDOW_KEY, 'ShowCmd'), 2)
        self.assertEqual(self.p.reg_query(KEY, 'PaneWidth'), layout['pane'])
        self.assertGreater(self.p.reg_query(WINDOW_KEY, 'NormalPositionR'), self.p.reg_query(WINDOW_KEY, 'NormalPositionL'))
        with Session(self, []) as ses:
            _, state = self.probe('state', 'cabforge_class')
            self.assertFalse(state['iconic'])
            self.assertTrue(state['visible'])
            _, again = self.probe('layout')
            self.assertEqual(again['pane'], layout['pane'])
            ses.finish(close=True)

    def test_pane_width_and_bar_bounds(self):
        self.p.reg_set(KEY, 'PaneWidth', 'REG_DWORD', 50000)
        with Session(self, []) as ses:
            _, layout = self.probe('layout')
            self.assertEqual(layout['pane'], layout['client'] - 4)
            self.assertEqual(layout['secondWidth'], 0)
            _, left = self.probe('bar', -3000)
            self.assertEqual(left['pane'], 100)
            _, right = self.probe('bar', 30000)
            self.assertEqual(right['pane'], right['client'] - 4)
            _, middle = self.probe('bar', 300)
            self.assertEqual(middle['pane'], 300)
            ses.finish(close=True)
        self.assertEqual(self.p.reg_query(KEY, 'PaneWidth'), 300)

    def test_absurd_stored_values_keep_the_window_usable(self):
        values = [('ShowCmd', 0), ('NormalPositionL', 0xFFFF0000), ('NormalPositionT', 0x7FFFFFF0),
                  ('NormalPositionR', 0x7FFFFFFF), ('NormalPositionB', 0x7FFFFFFF), ('Flags', 0xFFFFFFFF)]
        self.p.reg_set_many([(WINDOW_KEY, n, 'REG_DWORD', v) for n, v in values] +
                            [(KEY, 'PaneWidth', 'REG_DWORD', 0xFFFFFF00)])
        with Session(self, []) as ses:
            _, state = self.probe('state', 'cabforge_class')
            self.assertTrue(state['visible'])
            self.assertFalse(state['iconic'])
            _, layout = self.probe('layout')
            self.assertGreater(layout['client'], 200)
            self.assertEqual(layout['pane'], 100)
            ses.finish(close=True)


class HelpAndAbout(BuilderCase):

    def test_help_opens_the_address(self):
        recorder = self.p.app_dir('recorder', {'urlrecorder.exe': exe_path('urlrecorder')})
        log = self.p.scratch('.log')
        command = '"%s\\urlrecorder.exe" "%%1"' % recorder
        self.p.reg_set(r'HKLM\Software\Classes\https\shell\open\command', '', 'REG_SZ', command)
        os.environ['TB_URLRECORDER_LOG'] = self.p.winpath(log)
        try:
            for locale, path in (('en', '/help/en/pakkit6/window_compressor/'),
                                 ('ja', '/help/ja/pakkit6/window_compressor/')):
                with self.subTest(locale=locale):
                    with Session(self, [], locale=locale) as ses:
                        self.probe('key', VK_F1)
                        self.wait_for(lambda: log.exists() and path in log.read_text(), what='the help address')
                        ses.finish(close=True)
        finally:
            os.environ.pop('TB_URLRECORDER_LOG', None)
        lines = log.read_text().splitlines()
        self.assertEqual(len(lines), 2)
        self.assertIn('https://', lines[0])
        # A handler that cannot be started: the builder says so.
        self.p.reg_set(r'HKLM\Software\Classes\https\shell\open\command', '', 'REG_SZ', r'"C:\no\such.exe" "%1"')
        with Session(self, [], rules=[Rule(CAPTION, cls=DIALOG, press='OK')]) as ses:
            self.probe('command', HELP)
            time.sleep(3)
            rep = ses.finish(close=True)
        self.assertEqual(len(message_boxes(rep, 'The web browser failed to start.')), 1)

    def test_about_shows_the_file_version(self):
        with Session(self, [], rules=[Rule('About Pakkit Compressor', cls=DIALOG, press='OK')]) as ses:
            self.probe('command', ABOUT)
            time.sleep(3)
            rep = ses.finish(close=True)
        about = find_windows(rep, caption='About Pakkit Compressor')
        self.assertEqual(len(about), 1)
        self.assertEqual(control(about[0], id=1008)['text'], 'Version 6.0.0.0')
        self.assertIsNotNone(control(about[0], text='Pakkit Compressor'))


if __name__ == '__main__':
    unittest.main()
