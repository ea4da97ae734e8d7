"""The main dialog through the real tarnbeam.exe under the host test program: the rows and texts
each kind of check result shows, the Update button, the tab rules (refusal of an empty list,
the first showing of the news tab writing the news marker), and screenshots in English and
Japanese (kept in TB_BIN/screenshots).

Catches a dialog that shows the wrong row or description for a check result, leaves Update
enabled where nothing can be downloaded, switches to an empty tab, or writes the news marker
when the news were never shown."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Prefix, Rule, WebServer, exe_path  # noqa: E402
from test_feed_reader import HOST, item, rss  # noqa: E402
from test_html_view import SHOTS, Screenshot  # noqa: E402

CAPTION = 'Ondrel Update'
DIALOG = '#32770'
INFO_PATH = '/update/info.xml'
FEED_PATH = '/rss/feed.xml'
TCM_SETCURFOCUS = 0x1330
WM_LBUTTONDOWN, WM_LBUTTONUP = 0x201, 0x202
TAB1_POINT = (10 << 16) | 170  # inside the second tab's label, English texts
TABS, UPDATE_LIST, NEWS_LIST, UPDATE = 1000, 1001, 1008, 1006
NEWEST_MARKER = '2006/01/03 00:04:05'  # Mon, 02 Jan 2006 15:04:05 GMT in Tokyo local time
FEED = rss(item(title='older', date='Sun, 01 Jan 2006 10:00:00 GMT', description='<p>Older news</p>'),
           item(title='newest', date='Mon, 02 Jan 2006 15:04:05 GMT', description='<p>Newest news</p>'))


def config(name, integrate=0):
    return ('<?xml version="1.0" encoding="utf-8"?><VeltroUpdate>'
            '<DownloadPath>Ondrel\\MainTest</DownloadPath>'
            '<RegKey>Software\\Ondrel\\%s</RegKey><CommonRegKey>Software\\Ondrel\\%sCommon</CommonRegKey>'
            '<RSSURL>http://%s%s</RSSURL>'
            '<NoUpdateMessage>Up to date</NoUpdateMessage><CheckFailMessage>Check failed</CheckFailMessage>'
            '<NoUpdateDescription>&lt;p&gt;Installed: $$APPVERSION$$ ($$APPVERSION$$)&lt;/p&gt;</NoUpdateDescription>'
            '<CheckFailDescription>&lt;p&gt;Error $$CHECKERRORCODE$$; $$checkerrorcode$$ stays'
            '&lt;/p&gt;</CheckFailDescription>'
            '<IntegrateMode>%d</IntegrateMode>'
            '<VersionInfoURL>http://%s%s</VersionInfoURL>'
            '<Component><ID>TB-Main</ID><Name>Main Test</Name><Module>tarnbeam.exe</Module></Component>'
            '</VeltroUpdate>' % (name, name, HOST, FEED_PATH, integrate, HOST, INFO_PATH))


def info(build):
    return ('<?xml version="1.0"?><UpdateInfoBase><Component>'
            '<VersionMajor>4</VersionMajor><VersionMinor>6</VersionMinor><VersionBuild>%d</VersionBuild>'
            '<VersionString>4.6.%d</VersionString><FileURL>http://%s/files/setup.exe</FileURL>'
            '<FileName>setup.exe</FileName><FileMD5>0123456789abcdef0123456789abcdef</FileMD5>'
            '<Description>&lt;h1&gt;What is new&lt;/h1&gt;&lt;p&gt;Faster.&lt;/p&gt;</Description>'
            '<Date>Mon, 02 Jan 2006 15:04:05 GMT</Date><ID>TB-Main</ID>'
            '</Component></UpdateInfoBase>' % (build, build, HOST))


def control(snapshot, cid):
    for c in snapshot['controls']:
        if c['id'] == cid and c['class'].lower() != 'richedit50w':
            return c
    raise AssertionError('no control %d in %s' % (cid, snapshot['caption']))


def view_text(snapshot):
    views = [c for c in snapshot['controls'] if c['class'].upper() == 'RICHEDIT50W' and c['visible']]
    return views[0]['text'].replace('\r\n', '\n') if views else None


def main_snapshots(report):
    """The main dialog's snapshots in the order they were taken."""
    return [w for w in report['windows']
            if w['caption'] == CAPTION and any(c['id'] == TABS for c in w.get('controls', []))]


class MainDialog(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.web = WebServer().__enter__()
        reg = []
        for name, option in (('MainNewer', 1), ('MainFailed', 1), ('MainCurrent', 2)):
            reg += [('HKCU\\Software\\Ondrel\\' + name, 'ShowHello', 'REG_DWORD', 0 if name == 'MainCurrent' else 1),
                    ('HKCU\\Software\\Ondrel\\' + name, 'ShowOption', 'REG_DWORD', option)]
        cls.prefix = Prefix(server=cls.web, reg=reg).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)
        cls.web.__exit__(None, None, None)

    def run_dialog(self, name, args, rules, locale='en', shot=None):
        app = self.prefix.app_dir(name, {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': config(name)})
        taker = None
        if shot:
            taker = Screenshot(CAPTION, SHOTS / shot)
            taker.start()
        rep = self.prefix.run_host(app + r'\tarnbeam.exe', args, rules=rules, timeout=90, locale=locale)
        if taker:
            taker.join(30)
            self.assertTrue(taker.taken, 'no screenshot of the main dialog')
        self.assertFalse(rep['timedOut'], 'the dialog stayed open')
        self.assertEqual(rep['exitCode'], 0)
        self.assertTrue(rep['hostEnabledAtEnd'])
        return rep

    def test_newer_version_then_news_tab(self):
        """Started by the user with a newer version and news: tab 0 with the release row and
        Update enabled; the news tab hides Update and writes the marker of the newest item."""
        self.web.route(INFO_PATH, host=HOST, body=info(1), content_type='text/xml')
        self.web.route(FEED_PATH, host=HOST, body=FEED, content_type='text/xml')
        rules = [Rule(CAPTION, cls=DIALOG, delay=2500, times=1),
                 Rule(CAPTION, cls=DIALOG, delay=3000, times=1, send=[(TABS, TCM_SETCURFOCUS, 1, 0)]),
                 Rule(CAPTION, cls=DIALOG, delay=4500, times=1, press='Close')]
        rep = self.run_dialog('MainNewer', ['/hwnd:{HWND}'], rules, shot='main_dialog_en.png')
        first, _, news = main_snapshots(rep)[:3]
        self.assertEqual(control(first, TABS)['selectedTab'], 0)
        self.assertEqual(control(first, UPDATE_LIST)['items'],
                         [['Main Test Version 4.6.1 has been released (2006/01/03)']])
        self.assertTrue(control(first, UPDATE)['enabled'])
        self.assertTrue(control(first, UPDATE)['visible'])
        self.assertEqual(view_text(first), 'What is new\n\nFaster.')
        self.assertEqual(control(first, NEWS_LIST)['items'], [['[2006/01/03] newest'], ['[2006/01/01] older']])
        self.assertEqual(control(news, TABS)['selectedTab'], 1)
        self.assertFalse(control(news, UPDATE)['visible'])
        self.assertTrue(control(news, NEWS_LIST)['visible'])
        self.assertEqual(view_text(news), 'Newest news')
        self.assertEqual(self.prefix.reg_query('HKCU\\Software\\Ondrel\\MainNewerCommon', 'LastRSSItemDate'),
                         NEWEST_MARKER)

    def test_failed_check_refuses_empty_news_tab(self):
        """A failed check: one CheckFailMessage row, the code in the description (case-sensitive
        placeholder), Update disabled; the news tab with no news is refused with a warning."""
        self.web.route(INFO_PATH, host=HOST, status=404, body=b'gone')
        self.web.route(FEED_PATH, host=HOST, status=404, body=b'gone')
        # A click on the second tab (Wine's tab control moves the selection on TCM_SETCURFOCUS
        # even when the switch is refused; a click respects the refusal, as on Windows).
        click = [(TABS, WM_LBUTTONDOWN, 1, TAB1_POINT), (TABS, WM_LBUTTONUP, 0, TAB1_POINT)]
        rules = [Rule(CAPTION, cls=DIALOG, delay=2000, times=1, send=click),
                 Rule(CAPTION, cls=DIALOG, press='OK'),  # the warning box (the dialog has no OK text)
                 Rule(CAPTION, cls=DIALOG, delay=12000, press='Close')]  # the send waits ~5 s on the box
        rep = self.run_dialog('MainFailed', ['/hwnd:{HWND}'], rules)
        snaps = main_snapshots(rep)
        first, last = snaps[0], snaps[-1]
        self.assertEqual(control(first, UPDATE_LIST)['items'], [['Check failed']])
        self.assertFalse(control(first, UPDATE)['enabled'])
        self.assertRegex(view_text(first), r'^Error \d{3}; \$\$checkerrorcode\$\$ stays$')
        warnings = [w for w in rep['windows'] if w['caption'] == CAPTION and w not in snaps]
        self.assertTrue(any('Could not find announcement.' in t['text'] for w in warnings for t in w['controls']))
        self.assertEqual(control(last, TABS)['selectedTab'], 0)
        self.assertTrue(control(last, UPDATE_LIST)['visible'])

    def test_current_product_japanese(self):
        """The first run of an automatic check (the notice opens the dialog) that found the
        product current, with ShowOption 2 and news: the dialog stays on tab 0, shows the
        NoUpdateMessage row and the installed version, and never writes the news marker."""
        self.web.route(INFO_PATH, host=HOST, body=info(0), content_type='text/xml')
        self.web.route(FEED_PATH, host=HOST, body=FEED, content_type='text/xml')
        rules = [Rule(CAPTION, cls=DIALOG, press='OK', times=1),
                 Rule(CAPTION, cls=DIALOG, delay=2500, times=1),
                 Rule(CAPTION, cls=DIALOG, delay=3000, press='閉じる')]
        rep = self.run_dialog('MainCurrent', ['/AutoCheck', '/hwnd:{HWND}'], rules, locale='ja',
                              shot='main_dialog_ja.png')
        first = main_snapshots(rep)[0]
        self.assertEqual(control(first, UPDATE_LIST)['items'], [['Up to date']])
        self.assertFalse(control(first, UPDATE)['enabled'])
        self.assertEqual(view_text(first), 'Installed: 4.06.00 (4.06.00)')
        self.assertEqual(control(first, TABS)['tabs'], ['アップデート情報', 'Ondrel からのお知らせ'])
        self.assertEqual(control(first, TABS)['selectedTab'], 0)
        self.assertIsNone(self.prefix.reg_query('HKCU\\Software\\Ondrel\\MainCurrentCommon', 'LastRSSItemDate'))


if __name__ == '__main__':
    unittest.main()
