"""The archive builder's file-system pane through the real cabforge.exe under Wine: the shell
namespace from the desktop down (order of siblings, loading on first expansion, hidden items,
archive files as leaves), real OLE drags from the pane onto the archive tree with injected mouse
input, and Add file to Archive (Ctrl+I) and Del while this pane has the focus. cfprobe reads and
drives both trees from outside the builder."""

import re
import shutil
import time
import unittest
import zipfile

from test_cabforge_window import BuilderCase, Session, message_boxes, project, folder, file_

ROOT = [(0, 'Archive File')]
VK_LEFT, VK_RIGHT, VK_DELETE, VK_I = 0x25, 0x27, 0x2E, 0x49
# Presses at one spot closer together than the double-click time would be taken as a double-click.
DRAG_GAP = 0.7


class ShellPaneCase(BuilderCase):

    def desktop(self):
        return next(d for d in (self.p.path / 'drive_c' / 'users').glob('*/Desktop') if d.is_dir())

    def fixtures(self, files):
        """Files {name: text | None (folder)} on the desktop, below a folder named after the test."""
        base = self.desktop() / self.base
        for rel, content in files.items():
            target = base / rel
            if content is None:
                target.mkdir(parents=True, exist_ok=True)
            else:
                target.parent.mkdir(parents=True, exist_ok=True)
                if isinstance(content, bytes):
                    target.write_bytes(content)
                else:
                    target.write_text(content)
        return base

    def fs(self, command, *args):
        code, data = self.probe(command, *args)
        self.assertEqual(code, 0, 'cfprobe %s %s failed' % (command, args))
        return data

    def names(self, data):
        return [i['text'] for i in data['items']]

    def drag(self, names, where='root', esc=False):
        self.fs('fsdrag', names, where, *(['esc'] if esc else []))


class Namespace(ShellPaneCase):
    """What the pane lists, in which order, and when it lists it."""

    def test_root_order_hidden_items_and_archives(self):
        empty_zip = self.p.root / 'empty.zip'
        zipfile.ZipFile(str(empty_zip), 'w').close()
        base = self.fixtures({'beta': None, 'Alpha': None, 'b.txt': 'b', 'A.txt': 'a', '_under.txt': 'u',
                              'pack.cab': b'MSCF\0\0\0\0', 'arch.zip': empty_zip.read_bytes(), '.secret': 's',
                              '.hiddendir/x.txt': 'x', 'Alpha/inner.txt': 'i'})
        with Session(self, []) as ses:
            root = self.fs('fsroot')
            top = self.fs('fsitem', '')
            listing = self.fs('fsexpand', self.base)
            computer = self.fs('fsexpand', 'My Computer')
            linux_root = self.fs('fsexpand', '/')  # Z:\, the Linux root
            ses.finish(close=True)
        self.assertEqual(root['root']['text'], root['desktop'])
        self.assertTrue(root['root']['expanded'])

        # The desktop: folders (with an expand button) before files; among the folders that have a
        # path, the drive root "/" (Z:\) first, then by path: the desktop's own folders
        # (C:\users\...\Desktop\...) before Documents (C:\users\...\Documents).
        kinds = [i['children'] for i in top['items']]
        self.assertEqual(kinds, sorted(kinds, reverse=True), 'folders first: %r' % top['items'])
        with_paths = [n for n in self.names(top) if n in ('/', self.base, 'Documents')]
        self.assertEqual(with_paths, ['/', self.base, 'Documents'])

        # In the test folder: hidden entries left out, files ignoring case ('_' before letters),
        # archives as files without an expand button.
        self.assertEqual(self.names(listing), ['Alpha', 'beta', '_under.txt', 'A.txt', 'arch.zip', 'b.txt',
                                               'pack.cab'])
        buttons = {i['text']: i['children'] for i in listing['items']}
        self.assertEqual(buttons, {'Alpha': 1, 'beta': 1, '_under.txt': 0, 'A.txt': 0, 'arch.zip': 0, 'b.txt': 0,
                                   'pack.cab': 0})
        self.assertTrue(base.joinpath('.secret').exists())

        # The Linux root expands like any folder and lists its folders.
        self.assertTrue({'etc', 'usr'} <= set(self.names(linux_root)), self.names(linux_root))

        # The computer item: drive roots first, in path order.
        drives = [n for n in self.names(computer) if re.fullmatch(r'.*\([A-Z]:\)', n)]
        self.assertGreaterEqual(len(drives), 2, self.names(computer))
        self.assertEqual(self.names(computer)[:len(drives)], sorted(drives, key=lambda n: n[-3]))

    def test_folders_load_once_on_first_expansion(self):
        base = self.fixtures({'empty': None, 'grow/one.txt': '1', 'gone/x.txt': 'x'})
        name = self.base
        with Session(self, []) as ses:
            before = {i['text']: i for i in self.fs('fsexpand', name)['items']}
            # An empty folder shows its expand button until it is expanded, then none.
            self.assertEqual((before['empty']['children'], before['empty']['count']), (1, 0))
            empty = self.fs('fsexpand', name + '|empty')['item']
            self.assertEqual((empty['children'], empty['count']), (0, 0))

            # Expanded, collapsed and expanded again by the user's keys: not listed again.
            self.assertEqual(self.names(self.fs('fsexpand', name + '|grow')), ['one.txt'])
            (base / 'grow' / 'two.txt').write_text('2')
            collapsed = self.fs('fskey', name + '|grow', VK_LEFT)
            self.assertFalse(collapsed['item']['expanded'])
            again = self.fs('fskey', name + '|grow', VK_RIGHT)
            self.assertTrue(again['item']['expanded'])
            self.assertEqual(self.names(again), ['one.txt'])

            # A folder that vanished after it was listed: expanding shows nothing, says nothing.
            shutil.rmtree(str(base / 'gone'))
            gone = self.fs('fsexpand', name + '|gone')
            self.assertEqual(gone['items'], [])
            self.assertTrue(ses.alive())
            rep = ses.finish(close=True)
        self.assertEqual(message_boxes(rep), [])


class DragFromThePane(ShellPaneCase):
    """Real drags (mouse input injected by cfprobe) from the pane onto the archive tree."""

    def test_drag_files_and_folders_escape_and_virtual_items(self):
        self.fixtures({'loose.txt': 'l', 'later.txt': 'n', 'bag/a.txt': 'a', 'bag/sub/b.txt': 'b'})
        name = self.base
        with Session(self, []) as ses:
            self.drag(name + '|loose.txt')
            self.wait_for(lambda: self.tree() == ROOT + [(1, 'loose.txt')], timeout=10, what='the dragged file')
            time.sleep(DRAG_GAP)
            self.drag(name + '|bag')
            with_bag = ROOT + [(1, 'bag'), (2, 'a.txt'), (2, 'sub'), (3, 'b.txt'), (1, 'loose.txt')]
            self.wait_for(lambda: self.tree() == with_bag, timeout=10, what='the dragged folder')

            # Esc during the drag: nothing is added when the button is released over the tree.
            time.sleep(DRAG_GAP)
            self.drag(name + '|later.txt', esc=True)
            time.sleep(2)
            self.assertEqual(self.tree(), with_bag)
            # An item without a file-system path does not start a drag.
            time.sleep(DRAG_GAP)
            self.drag('My Computer')
            time.sleep(2)
            self.assertEqual(self.tree(), with_bag)

            # Dropped on the folder "bag" (item 1): the file goes into it.
            time.sleep(DRAG_GAP)
            self.drag(name + '|later.txt', 'item:1')
            self.wait_for(lambda: (2, 'later.txt') in self.tree(), timeout=10, what='the drop onto a folder')
            self.assertEqual(self.tree()[:4], ROOT + [(1, 'bag'), (2, 'a.txt'), (2, 'later.txt')])
            rep = ses.finish(close=True)
        self.assertEqual(len(message_boxes(rep, 'Save an archive file?')), 1)


class AddFileCommand(ShellPaneCase):
    """Ctrl+I adds the pane's selected item; Del acts on the archive tree from either pane."""

    def test_ctrl_i_virtual_item_and_del_from_this_pane(self):
        base = self.fixtures({'src/c.txt': 'c'})
        proj = self.dir('proj', {'p.pkp': project(folder('docs'), file_(self.p.winpath(base / 'src' / 'c.txt')))})
        loaded = ROOT + [(1, 'c.txt'), (1, 'docs')]
        with Session(self, [proj + r'\p.pkp']) as ses:
            self.assertEqual(self.tree(), loaded)
            self.probe('select', 2)
            self.fs('fsselect', self.base + '|src|c.txt')
            self.probe('key', VK_I, 'ctrl')
            with_c = ROOT + [(1, 'c.txt'), (1, 'docs'), (2, 'c.txt')]
            self.wait_for(lambda: self.tree() == with_c, timeout=10, what='Ctrl+I')

            # A virtual item: a beep and nothing else.
            self.fs('fsselect', 'My Computer')
            self.probe('key', VK_I, 'ctrl')
            time.sleep(1.5)
            self.assertEqual(self.tree(), with_c)

            # Del posted to the file-system tree removes the archive tree's selection.
            self.probe('select', 2)
            self.fs('fskey', self.base + '|src', VK_DELETE)
            self.wait_for(lambda: self.tree() == ROOT + [(1, 'c.txt')], timeout=10, what='Del')
            self.assertTrue(ses.alive())
            rep = ses.finish(close=True)
        self.assertEqual(len(message_boxes(rep, 'Save an archive file?')), 1)


if __name__ == '__main__':
    unittest.main()
