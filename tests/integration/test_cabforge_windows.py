"""The archive builder's windows in the command-line modes and the single-instance rule, through
the real cabforge.exe under Wine with the host test program: the progress window owned by the
host, Cancel during a large build, silent runs without any window, and a second interactive
start that brings the first instance to the front."""

import json
import os
import subprocess
import sys
import unittest

from harness import Prefix, Rule, SRC, exe_path, find_windows, control

sys.path.insert(0, str(SRC / 'tests' / 'cabforge' / 'app'))
import cabcheck  # noqa: E402

CAPTION = 'Pakkit Compressor'
BUILD_FAILED = 302


class BuilderWindows(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.p = Prefix().__enter__()
        cls.src = cls.p.app_dir('src', {'big.bin': os.urandom(20000000), 'mid.bin': os.urandom(1500000)})

    @classmethod
    def tearDownClass(cls):
        cls.p.__exit__(None, None, None)

    def out(self, name):
        return self.p.app_dir('out') + '\\' + name

    def temp_leftovers(self):
        users = self.p.path / 'drive_c' / 'users'
        return [str(f) for f in users.glob('*/*/Temp/xx*')] + [str(f) for f in users.glob('*/Temp/xx*')]

    def progress_windows(self, rep):
        return [w for w in find_windows(rep, caption=CAPTION, cls='#32770')]

    def test_cancel_during_a_large_build(self):
        out = self.out('cancelled.cab')
        rep = self.p.run_host('cabforge', ['/hwnd:{HWND}', '/file:%s\\big.bin' % self.src, out],
                              rules=[Rule(CAPTION, cls='#32770', press='Cancel', delay=300, times=1)],
                              timeout=180)
        self.assertFalse(rep['timedOut'])
        self.assertEqual(rep['exitCode'], BUILD_FAILED)
        self.assertTrue(rep['hostDisabledSeen'])
        self.assertTrue(rep['hostEnabledAtEnd'])
        shown = self.progress_windows(rep)
        self.assertEqual(len(shown), 1)
        dialog = shown[0]
        self.assertTrue(dialog['ownerIsHost'])
        self.assertEqual(control(dialog, id=1007)['text'], 'Creating archive file ...')
        self.assertEqual(control(dialog, id=1008)['text'], 'big.bin')
        self.assertEqual(control(dialog, id=2)['text'], 'Cancel')
        # With no main window the progress window is centred over the screen.
        _, screen = self.probe('screen')
        left, top, right, bottom = dialog['rect']
        self.assertLessEqual(abs((left + right) - screen['width']), 1)
        self.assertLessEqual(abs((top + bottom) - screen['height']), 1)
        self.assertFalse(self.p.hostpath(out).exists())
        self.assertEqual(self.temp_leftovers(), [])

    def test_silent_run_shows_no_window_and_enables_the_host(self):
        out = self.out('silent.cab')
        rep = self.p.run_host('cabforge', ['/silent', '/hwnd:{HWND}', '/file:%s\\mid.bin' % self.src, out],
                              snapshot_all=True, timeout=180)
        self.assertEqual(rep['exitCode'], 0)
        self.assertEqual(rep['windows'], [])
        self.assertTrue(rep['hostDisabledSeen'])
        self.assertTrue(rep['hostEnabledAtEnd'])
        self.assertEqual([f['name'] for f in cabcheck.parse_cab(self.p.hostpath(out).read_bytes())['files']],
                         ['mid.bin'])

    def test_failed_build_enables_the_host(self):
        rep = self.p.run_host('cabforge', ['/silent', '/hwnd:{HWND}', '/file:%s\\mid.bin' % self.src,
                                           r'C:\no\such\folder\x.cab'], timeout=120)
        self.assertEqual(rep['exitCode'], BUILD_FAILED)
        self.assertTrue(rep['hostEnabledAtEnd'])

    def test_japanese_progress_window(self):
        out = self.out('ja.cab')
        rep = self.p.run_host('cabforge', ['/hwnd:{HWND}', '/file:%s\\big.bin' % self.src, out],
                              rules=[Rule(CAPTION, cls='#32770', press='キャンセル', delay=300, times=1)],
                              timeout=180, locale='ja')
        self.assertEqual(rep['exitCode'], BUILD_FAILED)
        shown = self.progress_windows(rep)
        self.assertEqual(len(shown), 1)
        self.assertEqual(control(shown[0], id=1007)['text'], 'アーカイブファイルを作成しています...')
        self.assertEqual(control(shown[0], id=1008)['text'], 'big.bin')
        self.assertEqual(control(shown[0], id=2)['text'], 'キャンセル')
        self.assertTrue(rep['hostEnabledAtEnd'])
        self.assertFalse(self.p.hostpath(out).exists())

    def probe(self, *args):
        r = self.p.run(exe_path('cfprobe'), list(args), timeout=60)
        return r.code, (json.loads(r.stdout.strip().splitlines()[-1]) if r.stdout.strip() else None)

    def test_second_interactive_start_activates_the_first(self):
        first = subprocess.Popen(['wine', self.p.winpath(exe_path('cabforge'))], env=self.p.env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            code, state = self.probe('wait', 'cabforge_class', '30000')
            self.assertEqual(code, 0)
            first_pid = state['pid']
            self.probe('minimize', 'cabforge_class')
            _, state = self.probe('state', 'cabforge_class')
            self.assertTrue(state['iconic'])

            # The second start runs from the host test program, whose own window is in front.
            rep = self.p.run_host('cabforge', [], snapshot_all=True, timeout=60)
            self.assertFalse(rep['timedOut'])
            self.assertEqual(rep['exitCode'], 0)
            self.assertEqual(rep['windows'], [])  # the second process showed nothing of its own
            self.assertEqual(rep['foreground']['pid'], first_pid)
            self.assertEqual(rep['foreground']['class'], 'cabforge_class')
            self.assertFalse(rep['foreground']['isHost'])
            _, state = self.probe('state', 'cabforge_class')
            self.assertEqual(state['pid'], first_pid)
            self.assertFalse(state['iconic'])
            self.assertTrue(state['foreground'])

            self.probe('close', 'cabforge_class')
            self.assertEqual(first.wait(60), 0)
        finally:
            if first.poll() is None:
                first.kill()
                first.wait()


if __name__ == '__main__':
    unittest.main()
