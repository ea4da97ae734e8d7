"""The unattended decision through the real tarnbeam.exe under the host test program: after the
version check and the feed, an /AutoCheck run notifies the host, opens the main dialog or ends,
by integrate mode, AutoCheckUpdate / ShowOnNewInformation or ShowOption, the news marker and the
first-run notice.

What each case observes: the exit code, the "Tarnbeam_UpdateNotify" posts, the news marker
LastRSSItemDate under the common key (written only when the new-information rule was asked and
answered yes), the feed request, and whether a main dialog window appeared. While the client has
no main dialog yet, a run that decides to open it ends at the dialog's creation with code 0;
then the "opens" column is checked through the marker and notifications only, and the
open/end answer itself by tests/tarnbeam/feed/news_marker_test (the decision with the real
rule and registry under Wine), which also holds the rows left out here to keep this run short.
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Prefix, Rule, WebServer, exe_path  # noqa: E402
from test_feed_reader import HOST, item, rss  # noqa: E402

INFO_PATH = '/update/info.xml'
FEED_PATH = '/rss/feed.xml'
CAPTION = 'Ondrel Update'
NEWEST = 'Mon, 02 Jan 2006 15:04:05 GMT'
NEWEST_MARKER = '2006/01/03 00:04:05'   # the same instant in Tokyo local time
FEED = rss(item(title='older', date='Sun, 01 Jan 2006 10:00:00 GMT'), item(title='newest', date=NEWEST))
# tarnbeam.exe itself is the installed module: version 4.6.0.
INSTALLED = ('4', '6', '0')
NEWER = ('4', '6', '1')


def config(reg_key, common_key, integrate):
    return ('<?xml version="1.0" encoding="utf-8"?><VeltroUpdate>'
            '<DownloadPath>Ondrel\\DecisionTest</DownloadPath>'
            '<RegKey>%s</RegKey><CommonRegKey>%s</CommonRegKey>'
            '<RSSURL>http://%s%s</RSSURL>'
            '<NoUpdateMessage>Up to date</NoUpdateMessage><CheckFailMessage>Check failed</CheckFailMessage>'
            '<NoUpdateDescription>current</NoUpdateDescription><CheckFailDescription>failed</CheckFailDescription>'
            '<IntegrateMode>%d</IntegrateMode>'
            '<VersionInfoURL>http://%s%s</VersionInfoURL>'
            '<Component><ID>TB-Decision</ID><Name>Decision Test</Name><Module>tarnbeam.exe</Module></Component>'
            '</VeltroUpdate>' % (reg_key, common_key, HOST, FEED_PATH, integrate, HOST, INFO_PATH))


def info(version):
    major, minor, build = version
    return ('<?xml version="1.0"?><UpdateInfoBase><Component>'
            '<VersionMajor>%s</VersionMajor><VersionMinor>%s</VersionMinor><VersionBuild>%s</VersionBuild>'
            '<VersionString>%s.%s.%s</VersionString><FileURL>http://%s/files/setup.exe</FileURL>'
            '<FileName>setup.exe</FileName><FileMD5>0123456789abcdef0123456789abcdef</FileMD5>'
            '<Description>d</Description><Date>Mon, 02 Jan 2006 15:04:05 GMT</Date><ID>TB-Decision</ID>'
            '</Component></UpdateInfoBase>' % (major, minor, build, major, minor, build, HOST))


class Case:
    """settings: {'integrate': 0/1, 'ShowOption' | 'AutoCheckUpdate' | 'ShowOnNewInformation': n};
    update: a newer version is offered; news: the marker differs from the newest item (else it
    is stored equal); hello: the first-run notice is shown in this run.
    Expected: opens, notified, marker_written. Every run ends with code 0."""

    def __init__(self, name, settings, update, news, opens, notified, marker_written, hello=False):
        self.name, self.settings, self.update, self.news = name, settings, update, news
        self.opens, self.notified, self.marker_written = opens, notified, marker_written
        self.hello = hello


def plain(option):
    return {'integrate': 0, 'ShowOption': option}


def integrated(acu, soni):
    return {'integrate': 1, 'AutoCheckUpdate': acu, 'ShowOnNewInformation': soni}


CASES = [
    # Without integrate mode.
    Case('ShowOption 2, news, no update', plain(2), False, True, False, False, False),
    Case('ShowOption 3 acts as 2', plain(3), False, True, False, False, False),
    Case('ShowOption 1, news and update: the rule is asked first', plain(1), True, True, True, False, True),
    Case('ShowOption 1, news only', plain(1), False, True, True, False, True),
    Case('ShowOption 1, nothing new', plain(1), False, False, False, False, False),
    # Integrate mode.
    Case('integrated, update, no news', integrated(1, 1), True, False, False, True, False),
    Case('integrated, update and news', integrated(1, 1), True, True, True, True, True),
    Case('integrated, ShowOnNewInformation off', integrated(1, 0), True, True, False, True, False),
    # The first-run notice opens the dialog whatever else was decided (and skips the off test).
    Case('first run, ShowOption 2, nothing to show', plain(2), False, True, True, False, False, hello=True),
]


def main_dialogs(report):
    """Main dialog windows in the report: the caption with a tab control or list inside."""
    found = []
    for w in report.get('windows', []):
        classes = {c['class'].lower() for c in w.get('controls', [])}
        if w['caption'] == CAPTION and classes & {'systabcontrol32', 'syslistview32'}:
            found.append(w)
    return found


class DecisionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reg = []
        for i, case in enumerate(CASES):
            key = 'HKCU\\Software\\Ondrel\\Decision%d' % i
            reg.append((key, 'ShowHello', 'REG_DWORD', 0 if case.hello else 1))
            for name, value in case.settings.items():
                if name != 'integrate':
                    reg.append((key, name, 'REG_DWORD', value))
            if not case.news:
                reg.append(('HKCU\\Software\\Ondrel\\DecisionCommon%d' % i, 'LastRSSItemDate', 'REG_SZ',
                             NEWEST_MARKER))
        reg.append(('HKCU\\Software\\Ondrel\\DecisionManual', 'ShowHello', 'REG_DWORD', 1))
        cls.web = WebServer().__enter__()
        cls.prefix = Prefix(server=cls.web, reg=reg).__enter__()
        cls.web.route(FEED_PATH, host=HOST, body=FEED, content_type='text/xml')
        # Whether this build has a main dialog: a manual run always opens it.
        cls.web.route(INFO_PATH, host=HOST, body=info(INSTALLED), content_type='text/xml')
        rep = cls.run_client('DecisionManual', 'Software\\Ondrel\\DecisionManual',
                             'Software\\Ondrel\\DecisionManualCommon', 0, [])
        cls.dialog_available = bool(main_dialogs(rep))

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)
        cls.web.__exit__(None, None, None)

    @classmethod
    def run_client(cls, folder, reg_key, common_key, integrate, args, expect_window=True):
        app = cls.prefix.app_dir(folder, {'tarnbeam.exe': exe_path('tarnbeam'),
                                          'tarnbeam.xml': config(reg_key, common_key, integrate)})
        # A client window with the caption (first-run notice, main dialog) is recorded and closed.
        # Runs that should show none go without the rule (it costs a second of watching), and
        # a window they show anyway keeps the run from ending: the time-out reports it.
        rules = [Rule(CAPTION, cls='#32770', close=True, delay=300)] if expect_window else []
        return cls.prefix.run_host(app + r'\tarnbeam.exe', args, rules=rules, timeout=60 if expect_window else 20)

    def test_decision_table(self):
        for i, case in enumerate(CASES):
            with self.subTest(case.name):
                self.web.route(INFO_PATH, host=HOST, body=info(NEWER if case.update else INSTALLED),
                               content_type='text/xml')
                self.web.clear_log()
                common = 'Software\\Ondrel\\DecisionCommon%d' % i
                rep = self.run_client('Decision%d' % i, 'Software\\Ondrel\\Decision%d' % i, common,
                                      case.settings['integrate'], ['/AutoCheck', '/hwnd:{HWND}', '/NotifyWindow:{HWND}'],
                                      expect_window=case.opens or case.hello)
                self.assertFalse(rep['timedOut'], 'a window stayed open')
                self.assertEqual(rep['exitCode'], 0)
                posts = [n for n in rep['notifications'] if n['name'] == 'Tarnbeam_UpdateNotify']
                self.assertEqual(len(posts), 1 if case.notified else 0)

                marker = self.prefix.reg_query('HKCU\\' + common, 'LastRSSItemDate')
                if case.marker_written:
                    self.assertEqual(marker, NEWEST_MARKER)
                elif case.news:
                    self.assertIsNone(marker)  # the rule was not asked (or said no): nothing written
                else:
                    self.assertEqual(marker, NEWEST_MARKER)

                fetched = len(self.web.requests(FEED_PATH, host=HOST))
                self.assertEqual(fetched, 1)
                notices = [w for w in rep['windows'] if w['caption'] == CAPTION and not main_dialogs({'windows': [w]})]
                self.assertEqual(len(notices), 1 if case.hello else 0)
                dialogs = main_dialogs(rep)
                if self.dialog_available or not case.opens:
                    self.assertEqual(len(dialogs), 1 if case.opens else 0)


if __name__ == '__main__':
    unittest.main()
