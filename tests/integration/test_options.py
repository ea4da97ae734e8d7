"""The options dialogs (116 and 117) and the gathering window (107) through the real tarnbeam.exe
under the host test program: which dialog opens, which choice it shows, what OK and Cancel leave
in the registry, where the windows are placed, and screenshots of all three in both languages
(saved under TB_BIN/artefacts/options for a person to look at)."""

import os
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import BIN, Prefix, Rule, WebServer, control, ensure_display, exe_path, find_windows  # noqa: E402

HOST = 'www.ondrel.com.jp'
INFO_PATH = '/update/info.xml'
FEED_PATH = '/rss/feed.xml'
PRODUCT_KEY = r'Software\Ondrel\OptionsTest'
SETTING = 'Ondrel Update Setting'
SETTING_JA = 'Ondrel Update の設定'
BM_CLICK = 0x00F5
BM_SETCHECK = 0x00F1
ARTEFACTS = BIN / 'artefacts' / 'options'


def config(integrate):
    return ('<?xml version="1.0" encoding="utf-8"?><VeltroUpdate>'
            '<DownloadPath>Ondrel\\OptionsTest</DownloadPath><RegKey>%s</RegKey>'
            '<RSSURL>http://%s%s</RSSURL>'
            '<NoUpdateMessage>Up to date</NoUpdateMessage><CheckFailMessage>Check failed</CheckFailMessage>'
            '<NoUpdateDescription>current</NoUpdateDescription><CheckFailDescription>failed</CheckFailDescription>'
            '%s<VersionInfoURL>http://%s%s</VersionInfoURL>'
            '<Component><ID>TB-Options</ID><Name>Options Test</Name><Module>tarnbeam.exe</Module></Component>'
            '</VeltroUpdate>' % (PRODUCT_KEY, HOST, FEED_PATH,
                                 '<IntegrateMode>1</IntegrateMode>' if integrate else '', HOST, INFO_PATH))


NEWER_INFO = ('<?xml version="1.0"?><UpdateInfoBase><Component>'
              '<VersionMajor>4</VersionMajor><VersionMinor>7</VersionMinor><VersionBuild>0</VersionBuild>'
              '<VersionString>4.7.0</VersionString><FileURL>http://%s/files/setup.exe</FileURL>'
              '<FileName>setup.exe</FileName><FileMD5>0123456789abcdef0123456789abcdef</FileMD5>'
              '<Description>d</Description><Date>Mon, 02 Jan 2006 15:04:05 GMT</Date><ID>TB-Options</ID>'
              '</Component></UpdateInfoBase>' % HOST)
EMPTY_FEED = '<?xml version="1.0"?><rss version="2.0"><channel><title>t</title></channel></rss>'


class Screenshot:
    """Captures the whole private display once a top-level X window with `title` exists."""

    def __init__(self, title, name):
        self.title, self.path = title, ARTEFACTS / (name + '.png')
        self.taken = False
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        deadline = time.time() + 40
        while time.time() < deadline:
            tree = subprocess.run(['xwininfo', '-root', '-tree'], capture_output=True, text=True,
                                  errors='replace').stdout
            if '"%s"' % self.title in tree:
                time.sleep(0.8)  # let it paint
                r = subprocess.run(['import', '-window', 'root', str(self.path)], capture_output=True)
                self.taken = r.returncode == 0 and self.path.exists()
                return
            time.sleep(0.2)

    def __enter__(self):
        ensure_display()
        ARTEFACTS.mkdir(parents=True, exist_ok=True)
        if self.path.exists():
            self.path.unlink()
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.thread.join(45)
        return False


def checked(snapshot, id):
    c = control(snapshot, id=id)
    return None if c is None else c['checked']


def assert_centred_over_host(test, report, snapshot):
    hl, ht, hr, hb = report['hostRect']
    l, t, r, b = snapshot['rect']
    test.assertLessEqual(abs((l + r) - (hl + hr)), 2)
    test.assertLessEqual(abs((t + b) - (ht + hb)), 2)


class OptionsDialogs(unittest.TestCase):
    """Options-only mode: the right dialog, the right initial state, OK stores, Cancel does not."""

    @classmethod
    def setUpClass(cls):
        cls.web = WebServer().__enter__()
        cls.prefix = Prefix(server=cls.web).__enter__()
        p = cls.prefix
        cls.plain = p.app_dir('Plain', {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': config(False)})
        cls.integrate = p.app_dir('Integrate', {'tarnbeam.exe': exe_path('tarnbeam'),
                                                'tarnbeam.xml': config(True)})

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)
        cls.web.__exit__(None, None, None)

    def run_options(self, app, values, rule, locale='en'):
        key = 'HKCU\\' + PRODUCT_KEY
        self.prefix.reg_delete_key(key)
        self.prefix.reg_set_many([(key, 'ShowHello', 'REG_DWORD', 1)] +
                                 [(key, n, 'REG_DWORD', v) for n, v in values])
        rep = self.prefix.run_host(app + r'\tarnbeam.exe', ['/Option', '/hwnd:{HWND}'], rules=[rule],
                                   timeout=40, locale=locale)
        self.assertEqual(rep['exitCode'], 0)
        self.assertFalse(rep['timedOut'])
        return rep

    def stored(self, name):
        return self.prefix.reg_query('HKCU\\' + PRODUCT_KEY, name)

    def test_unknown_show_option_shows_none_and_ok_stores_zero(self):
        with Screenshot(SETTING, 'options_116_en') as shot:
            rep = self.run_options(self.plain, [('ShowOption', 7)],
                                   Rule(SETTING, cls='#32770', press='OK', delay=2500))
        shown = find_windows(rep, caption=SETTING, cls='#32770')
        self.assertEqual(len(shown), 1)
        dialog = shown[0]
        self.assertEqual([checked(dialog, i) for i in (1010, 1011, 1012)], [1, 0, 0])
        self.assertEqual(control(dialog, id=1010)['text'], 'None.')
        self.assertTrue(control(dialog, id=1)['default'])
        self.assertIsNone(control(dialog, id=1013))
        self.assertTrue(dialog['ownerIsHost'])
        assert_centred_over_host(self, rep, dialog)
        self.assertEqual(self.stored('ShowOption'), 0)
        self.assertTrue(shot.taken)

    def test_cancel_after_changing_the_choice_keeps_the_stored_value(self):
        rule = Rule(SETTING_JA, cls='#32770', send=[(1010, BM_CLICK, 0, 0)], press='id:2', delay=2500)
        with Screenshot(SETTING_JA, 'options_116_ja') as shot:
            rep = self.run_options(self.plain, [('ShowOption', 2)], rule, locale='ja')
        dialog = find_windows(rep, caption=SETTING_JA, cls='#32770')[0]
        self.assertEqual([checked(dialog, i) for i in (1010, 1011, 1012)], [0, 0, 1])
        self.assertEqual(dialog['actionResult'].split(',')[-1], 'clicked')
        self.assertEqual(self.stored('ShowOption'), 2)
        self.assertTrue(shot.taken)

    def test_integrate_mode_ok_stores_both_switches(self):
        rule = Rule(SETTING_JA, cls='#32770', delay=2500,
                    send=[(1013, BM_SETCHECK, 0, 0), (1014, BM_SETCHECK, 1, 0)], press='OK')
        with Screenshot(SETTING_JA, 'options_117_ja') as shot:
            rep = self.run_options(self.integrate, [('AutoCheckUpdate', 1), ('ShowOnNewInformation', 0),
                                                    ('ShowOption', 1)], rule, locale='ja')
        dialog = find_windows(rep, caption=SETTING_JA, cls='#32770')[0]
        self.assertEqual([checked(dialog, i) for i in (1013, 1014)], [1, 0])
        self.assertIsNone(control(dialog, id=1010))  # never dialog 116
        self.assertEqual(self.stored('AutoCheckUpdate'), 0)
        self.assertEqual(self.stored('ShowOnNewInformation'), 1)
        self.assertEqual(self.stored('ShowOption'), 1)
        self.assertTrue(shot.taken)

    def test_integrate_mode_cancel_keeps_both_switches(self):
        rule = Rule(SETTING, cls='#32770', delay=2500, send=[(1014, BM_CLICK, 0, 0)], press='Cancel')
        with Screenshot(SETTING, 'options_117_en') as shot:
            rep = self.run_options(self.integrate, [('AutoCheckUpdate', 0), ('ShowOnNewInformation', 1)], rule)
        dialog = find_windows(rep, caption=SETTING, cls='#32770')[0]
        self.assertEqual([checked(dialog, i) for i in (1013, 1014)], [0, 1])
        self.assertEqual(control(dialog, id=1013)['text'], 'Check program &update')
        self.assertEqual(self.stored('AutoCheckUpdate'), 0)
        self.assertEqual(self.stored('ShowOnNewInformation'), 1)
        self.assertTrue(shot.taken)


class GatheringWindow(unittest.TestCase):
    """The gathering window is up, over the host, while the version document is still loading,
    and the run goes on to its decision (the update notification) once the document arrives."""

    def run_gathering(self, locale, text, name):
        with WebServer() as web, Prefix(server=web) as p:
            web.route(INFO_PATH, host=HOST, body=NEWER_INFO, content_type='text/xml', stall_before=4)
            web.route(FEED_PATH, host=HOST, body=EMPTY_FEED, content_type='text/xml')
            app = p.app_dir('App', {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': config(True)})
            key = 'HKCU\\' + PRODUCT_KEY
            p.reg_set_many([(key, 'ShowHello', 'REG_DWORD', 1), (key, 'ShowOnNewInformation', 'REG_DWORD', 0)])
            with Screenshot('Ondrel Update', name) as shot:
                rep = p.run_host(app + r'\tarnbeam.exe', ['/AutoCheck', '/hwnd:{HWND}', '/NotifyWindow:{HWND}'],
                                 rules=[Rule('Ondrel Update', cls='#32770', delay=0)],
                                 timeout=40, locale=locale)
        self.assertEqual(rep['exitCode'], 0)
        shown = find_windows(rep, caption='Ondrel Update', cls='#32770')
        self.assertEqual(len(shown), 1)
        window = shown[0]
        self.assertTrue(window['visible'])
        self.assertTrue(window['ownerIsHost'])
        self.assertIn(text, [c['text'] for c in window['controls']])
        self.assertEqual([c for c in window['controls'] if c['class'].lower() == 'button'], [])
        self.assertEqual(window['style'] & 0x00080000, 0)  # no system menu
        assert_centred_over_host(self, rep, window)
        self.assertEqual(len(rep['notifications']), 1)
        # Seen while the stalled document was still on its way, before the decision.
        self.assertGreaterEqual(rep['notifications'][0]['ms'] - window['ms'], 2000)
        self.assertTrue(shot.taken)

    def test_english(self):
        self.run_gathering('en', 'Gathering information...', 'gathering_107_en')

    def test_japanese(self):
        self.run_gathering('ja', '情報を収集しています...', 'gathering_107_ja')


if __name__ == '__main__':
    unittest.main()
