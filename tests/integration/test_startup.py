"""Start-up of the update client through the real tarnbeam.exe under Wine, driven by the host
test program: configuration failures, the first-run notice, switch parsing, options-only mode,
the once-a-day rule of automatic checks, and the silent end without an Internet connection."""

import datetime
import unittest
import zoneinfo

from harness import Prefix, Rule, WebServer, exe_path, find_windows

CAPTION = 'Ondrel Update'
FIRST_RUN_EN = ('You can check if there are any program updates, or check the newest information '
                'from Ondrel using the "Ondrel Update".\n\nPlease click "Options" button to change '
                'the viewing method for update information.')
CONFIG_ERROR_EN = 'Could not read definition information. Update cancelled.'
PRODUCT_KEY = r'Software\Ondrel\TestProduct'

ELEMENTS = [
    ('DownloadPath', r'Ondrel\Test'),
    ('RegKey', PRODUCT_KEY),
    ('RSSURL', 'http://www.ondrel.com.jp/rss/feed.xml'),
    ('NoUpdateMessage', 'Up to date'),
    ('CheckFailMessage', 'Check failed'),
    ('NoUpdateDescription', 'current'),
    ('CheckFailDescription', 'failed'),
]


def config(omit=None, reg_key=PRODUCT_KEY, extra=''):
    body = ''.join('<%s>%s</%s>' % (n, reg_key if n == 'RegKey' else v, n)
                   for n, v in ELEMENTS if n != omit)
    return '<?xml version="1.0"?><VeltroUpdate>%s%s</VeltroUpdate>' % (body, extra)


def today_in_test_zone():
    return datetime.datetime.now(zoneinfo.ZoneInfo('Asia/Tokyo')).strftime('%Y/%m/%d')


def boxes(report, caption=CAPTION):
    """Message boxes with this caption; the gathering window shares the caption but has no button,
    the main dialog has its tab control."""
    return [w for w in find_windows(report, caption=caption, cls='#32770')
            if any(c['class'].lower() == 'button' for c in w['controls'])
            and not any(c['class'].lower() == 'systabcontrol32' for c in w['controls'])]


def box_text(snapshot):
    """The message text of a message box snapshot (its static control 0xFFFF)."""
    for c in snapshot['controls']:
        if c['class'].lower() == 'static' and c['text']:
            return c['text']
    return None


OK_BOX = Rule(CAPTION, cls='#32770', press='OK')
CANCEL_OPTIONS = Rule('Ondrel Update Setting', cls='#32770', press='Cancel')
# Runs that reach the main dialog close it (its default button, in either language).
CLOSE_MAIN = Rule(CAPTION, cls='#32770', press='id:1', delay=1500)


class ConfigurationFailures(unittest.TestCase):
    """A configuration that cannot be used shows string 102 with the code and ends with -1,
    writing nothing to the registry."""

    def test_codes_two_to_nine_in_japanese(self):
        cases = [(2, '<VeltroUpdate><RegKey>x</VeltroUpdate>')]
        cases += [(code, config(omit=name)) for code, (name, _) in
                  zip([3, 4, 5, 6, 7, 8, 9], [e for e in ELEMENTS])]
        with Prefix() as p:
            for code, xml in cases:
                with self.subTest(code=code):
                    app = p.app_dir('App%d' % code, {'tarnbeam.exe': exe_path('tarnbeam'),
                                                     'tarnbeam.xml': xml})
                    rep = p.run_host(app + r'\tarnbeam.exe', ['/AutoCheck', '/hwnd:{HWND}'],
                                     rules=[OK_BOX, CLOSE_MAIN], timeout=40, locale='ja')
                    self.assertEqual(rep['exitCode'], -1)
                    shown = boxes(rep)
                    self.assertEqual(len(shown), 1)
                    text = box_text(shown[0])
                    self.assertIn(str(code), text)
                    self.assertIn('定義情報', text)
                    self.assertFalse(shown[0]['ownerIsHost'])  # no owner
            app = p.app_dir('Missing', {'tarnbeam.exe': exe_path('tarnbeam')})
            rep = p.run_host(app + r'\tarnbeam.exe', [], rules=[OK_BOX, CLOSE_MAIN], timeout=40, locale='ja')
            self.assertEqual(rep['exitCode'], -1)
            self.assertIn('2', box_text(boxes(rep)[0]))
            self.assertIsNone(p.reg_values('HKCU\\' + PRODUCT_KEY))
            self.assertIsNone(p.reg_values(r'HKCU\Software\Ondrel\Ondrel Update'))

    def test_english_text_and_language_variant(self):
        with Prefix() as p:
            # English runs read tarnbeam.en.xml when it exists, Japanese runs tarnbeam.jp.xml.
            app = p.app_dir('App', {'tarnbeam.exe': exe_path('tarnbeam'),
                                    'tarnbeam.xml': config(),
                                    'tarnbeam.en.xml': config(omit='RSSURL'),
                                    'tarnbeam.jp.xml': config(omit='CheckFailDescription')})
            rep = p.run_host(app + r'\tarnbeam.exe', [], rules=[OK_BOX, CLOSE_MAIN], timeout=40)
            self.assertEqual(rep['exitCode'], -1)
            self.assertEqual(box_text(boxes(rep)[0]), CONFIG_ERROR_EN)
            rep = p.run_host(app + r'\tarnbeam.exe', [], rules=[OK_BOX, CLOSE_MAIN], timeout=40, locale='ja')
            self.assertEqual(rep['exitCode'], -1)
            self.assertIn('9', box_text(boxes(rep)[0]))
            self.assertIsNone(p.reg_values('HKCU\\' + PRODUCT_KEY))

    def test_integrate_mode_that_is_no_number_is_a_failure(self):
        with Prefix() as p:
            app = p.app_dir('App', {'tarnbeam.exe': exe_path('tarnbeam'),
                                    'tarnbeam.xml': config(extra='<IntegrateMode>yes</IntegrateMode>')})
            rep = p.run_host(app + r'\tarnbeam.exe', ['/AutoCheck'], rules=[OK_BOX, CLOSE_MAIN], timeout=40,
                             locale='ja')
            self.assertEqual(rep['exitCode'], -1)
            self.assertIn('10', box_text(boxes(rep)[0]))
            self.assertIsNone(p.reg_values('HKCU\\' + PRODUCT_KEY))


class FirstRunAndSwitches(unittest.TestCase):

    def run_client(self, p, app, args, **kw):
        return p.run_host(app + r'\tarnbeam.exe', args, rules=[OK_BOX, CANCEL_OPTIONS, CLOSE_MAIN], timeout=40, **kw)

    def test_first_run_notice_once_per_product(self):
        with WebServer() as web, Prefix(server=web) as p:
            a = p.app_dir('A', {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': config()})
            b = p.app_dir('B', {'tarnbeam.exe': exe_path('tarnbeam'),
                                'tarnbeam.xml': config(reg_key=r'Software\Ondrel\Other')})
            rep = self.run_client(p, a, ['/hwnd:{HWND}'])
            shown = boxes(rep)
            self.assertEqual(len(shown), 1)
            self.assertEqual(box_text(shown[0]), FIRST_RUN_EN)
            self.assertTrue(shown[0]['ownerIsHost'])
            self.assertEqual(rep['exitCode'], 0)
            self.assertTrue(rep['hostEnabledAtEnd'])
            self.assertEqual(p.reg_query('HKCU\\' + PRODUCT_KEY, 'ShowHello'), 1)

            rep = self.run_client(p, a, ['/hwnd:{HWND}'])
            self.assertEqual(boxes(rep), [])
            self.assertEqual(rep['exitCode'], 0)

            # Another product key shows its own notice and keeps its own values.
            p.reg_set('HKCU\\' + PRODUCT_KEY, 'LastExecDate', 'REG_SZ', '2001/02/03')
            rep = self.run_client(p, b, ['/hwnd:{HWND}'])
            self.assertEqual(len(boxes(rep)), 1)
            self.assertEqual(p.reg_query(r'HKCU\Software\Ondrel\Other', 'ShowHello'), 1)
            self.assertIsNone(p.reg_query(r'HKCU\Software\Ondrel\Other', 'LastExecDate'))
            self.assertEqual(p.reg_query('HKCU\\' + PRODUCT_KEY, 'LastExecDate'), '2001/02/03')

    def test_japanese_first_run_notice(self):
        with WebServer() as web, Prefix(server=web) as p:
            a = p.app_dir('A', {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': config()})
            rep = self.run_client(p, a, [], locale='ja')
            self.assertIn('オプション', box_text(boxes(rep)[0]))

    def test_host_window_switch(self):
        """Which hwnd switch counts: the notice is owned by the host window only when the first
        matching switch names it. Value names ignore case; a number naming no window is
        harmless."""
        cases = [
            (['/hwnd:{HWND}'], True),
            (['/HWND:{HWND}'], True),
            (['/HWND:0x{HWNDX}'], True),
            (['/hwnd:0X{HWNDX}'], True),
            (['-Hwnd:{HWND}'], True),
            (['/hwnd:{HWND}', '/hwnd:0'], True),
            (['/hwnd:0', '/hwnd:{HWND}'], False),
            (['/hwnd', '{HWND}'], False),
            (['/hwnd:12345'], False),
            (['/hwnd:99999999999999999999999'], False),
        ]
        with WebServer() as web, Prefix(server=web) as p:
            a = p.app_dir('A', {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': config()})
            for args, owned in cases:
                with self.subTest(args=args):
                    p.reg_delete_value('HKCU\\' + PRODUCT_KEY, 'ShowHello')
                    rep = self.run_client(p, a, args)
                    shown = boxes(rep)
                    self.assertEqual(len(shown), 1)
                    self.assertEqual(shown[0]['ownerIsHost'], owned)
                    self.assertEqual(rep['exitCode'], 0)
                    self.assertTrue(rep['hostEnabledAtEnd'])

    def test_options_only_mode_selection(self):
        """/Option and -Option end after the options dialog, before the automatic check's
        off-switch; /option and /Option:1 are no options switch, so the off-switch applies."""
        cases = [('/Option', 0), ('-Option', 0), ('/option', 1), ('/Option:1', 1)]
        with WebServer() as web, Prefix(server=web) as p:
            a = p.app_dir('A', {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': config()})
            p.reg_set('HKCU\\' + PRODUCT_KEY, 'ShowHello', 'REG_DWORD', 1)
            p.reg_set('HKCU\\' + PRODUCT_KEY, 'ShowOption', 'REG_DWORD', 0)
            for switch, code in cases:
                with self.subTest(switch=switch):
                    rep = self.run_client(p, a, [switch, '/AutoCheck', '/hwnd:{HWND}'])
                    self.assertEqual(rep['exitCode'], code)
                    self.assertEqual(boxes(rep), [])
            self.assertIsNone(p.reg_query('HKCU\\' + PRODUCT_KEY, 'LastExecDate'))
            self.assertEqual(web.requests(), [])


class AutomaticCheck(unittest.TestCase):

    def test_off_switches_end_with_one(self):
        plain = config()
        integrate = config(extra='<IntegrateMode>1</IntegrateMode>')
        cases = [
            ('ShowOption 0', plain, [('ShowOption', 0)], 1),
            ('integrate, both off', integrate, [('AutoCheckUpdate', 0), ('ShowOnNewInformation', 0)], 1),
            ('integrate, ShowOption 0 is not read', integrate, [('ShowOption', 0)], 0),
            ('ShowOption 0 without AutoCheck', plain, [('ShowOption', 0)], 0),
        ]
        with WebServer() as web, Prefix(server=web) as p:
            for i, (what, xml, values, code) in enumerate(cases):
                with self.subTest(what=what):
                    a = p.app_dir('A%d' % i, {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': xml})
                    p.reg_delete_key('HKCU\\' + PRODUCT_KEY)
                    p.reg_set('HKCU\\' + PRODUCT_KEY, 'ShowHello', 'REG_DWORD', 1)
                    for name, value in values:
                        p.reg_set('HKCU\\' + PRODUCT_KEY, name, 'REG_DWORD', value)
                    args = ['/hwnd:{HWND}'] + ([] if 'without' in what else ['/AutoCheck'])
                    rep = p.run_host(a + r'\tarnbeam.exe', args, rules=[OK_BOX, CLOSE_MAIN], timeout=40)
                    self.assertEqual(rep['exitCode'], code)
                    if code == 1:
                        self.assertIsNone(p.reg_query('HKCU\\' + PRODUCT_KEY, 'LastExecDate'))

    def test_once_a_day(self):
        with WebServer() as web, Prefix(server=web) as p:
            a = p.app_dir('A', {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': config()})
            p.reg_set('HKCU\\' + PRODUCT_KEY, 'ShowHello', 'REG_DWORD', 1)
            rep = p.run_host(a + r'\tarnbeam.exe', ['/AutoCheck', '/hwnd:{HWND}'], rules=[OK_BOX, CLOSE_MAIN], timeout=40)
            self.assertEqual(rep['exitCode'], 0)
            today = today_in_test_zone()
            self.assertEqual(p.reg_query('HKCU\\' + PRODUCT_KEY, 'LastExecDate'), today)

            before = len(web.requests())
            rep = p.run_host(a + r'\tarnbeam.exe', ['/AutoCheck', '/hwnd:{HWND}'], rules=[OK_BOX, CLOSE_MAIN], timeout=40)
            self.assertEqual(rep['exitCode'], 0)
            self.assertEqual(len(web.requests()), before)  # nothing reached the server
            self.assertEqual(p.reg_query('HKCU\\' + PRODUCT_KEY, 'LastExecDate'), today)

            # A stale date lets the check run again and is replaced by today's.
            p.reg_set('HKCU\\' + PRODUCT_KEY, 'LastExecDate', 'REG_SZ', '2001/01/01')
            rep = p.run_host(a + r'\tarnbeam.exe', ['/AutoCheck'], rules=[OK_BOX, CLOSE_MAIN], timeout=40)
            self.assertEqual(rep['exitCode'], 0)
            self.assertEqual(p.reg_query('HKCU\\' + PRODUCT_KEY, 'LastExecDate'), today)

    def test_first_run_skips_the_off_switch_and_the_date(self):
        with WebServer() as web, Prefix(server=web) as p:
            a = p.app_dir('A', {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': config()})
            p.reg_set('HKCU\\' + PRODUCT_KEY, 'ShowOption', 'REG_DWORD', 0)
            p.reg_set('HKCU\\' + PRODUCT_KEY, 'LastExecDate', 'REG_SZ', today_in_test_zone())
            rep = p.run_host(a + r'\tarnbeam.exe', ['/AutoCheck', '/hwnd:{HWND}'], rules=[OK_BOX, CLOSE_MAIN], timeout=40)
            self.assertEqual(len(boxes(rep)), 1)
            self.assertEqual(rep['exitCode'], 0)
            self.assertEqual(p.reg_query('HKCU\\' + PRODUCT_KEY, 'LastExecDate'), today_in_test_zone())


class NoConnection(unittest.TestCase):

    def test_silent_end_before_anything_is_read(self):
        with WebServer() as web, Prefix(server=web) as p:
            good = p.app_dir('A', {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': config()})
            broken = p.app_dir('B', {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': '<nope'})
            for app in (good, broken):
                with self.subTest(app=app):
                    rep = p.run_host(app + r'\tarnbeam.exe', ['/AutoCheck', '/hwnd:{HWND}'],
                                     rules=[OK_BOX, CLOSE_MAIN], timeout=40, no_network=True, snapshot_all=True)
                    self.assertEqual(rep['exitCode'], 0)
                    self.assertEqual(rep['windows'], [])
            self.assertEqual(web.requests(), [])
            self.assertIsNone(p.reg_values('HKCU\\' + PRODUCT_KEY))


if __name__ == '__main__':
    unittest.main()
