"""Integrate mode through the real tarnbeam.exe under the host test program: the automatic check
reads the version information from the local web server and posts "Tarnbeam_UpdateNotify" to
the notification window exactly when AutoCheckUpdate is on and the offered version is newer
than the installed one (tarnbeam.exe's own version resource, 4.6.0)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Prefix, WebServer, exe_path  # noqa: E402

HOST = 'www.ondrel.com.jp'
INFO_PATH = '/update/info.xml'
FEED_PATH = '/rss/feed.xml'
EMPTY_FEED = '<?xml version="1.0"?><rss version="2.0"><channel><title>t</title></channel></rss>'


def config(reg_key, integrate='1'):
    return ('<?xml version="1.0" encoding="utf-8"?><VeltroUpdate>'
            '<DownloadPath>Ondrel\\NotifyTest</DownloadPath>'
            '<RegKey>%s</RegKey>'
            '<CommonRegKey>Software\\Ondrel\\NotifyTestCommon</CommonRegKey>'
            '<RSSURL>http://%s%s</RSSURL>'
            '<NoUpdateMessage>Up to date</NoUpdateMessage>'
            '<CheckFailMessage>Check failed</CheckFailMessage>'
            '<NoUpdateDescription>current</NoUpdateDescription>'
            '<CheckFailDescription>failed $$CHECKERRORCODE$$</CheckFailDescription>'
            '<IntegrateMode>%s</IntegrateMode>'
            '<VersionInfoURL>http://%s%s</VersionInfoURL>'
            '<Component><ID>TB-Notify</ID><Name>Notify Test</Name><Module>tarnbeam.exe</Module>'
            '</Component></VeltroUpdate>' % (reg_key, HOST, FEED_PATH, integrate, HOST, INFO_PATH))


def info(version):
    major, minor, build = version
    return ('<?xml version="1.0"?><UpdateInfoBase><Component>'
            '<VersionMajor>%s</VersionMajor><VersionMinor>%s</VersionMinor>'
            '<VersionBuild>%s</VersionBuild><VersionString>%s.%s.%s</VersionString>'
            '<FileURL>http://%s/files/setup.exe</FileURL><FileName>setup.exe</FileName>'
            '<FileMD5>0123456789abcdef0123456789abcdef</FileMD5><Description>d</Description>'
            '<Date>Mon, 02 Jan 2006 15:04:05 GMT</Date><ID>TB-Notify</ID>'
            '</Component></UpdateInfoBase>' % (major, minor, build, major, minor, build, HOST))


# name, offered version (None: the document is missing), AutoCheckUpdate, ShowOnNewInformation,
# notifications expected, exit code expected
CASES = [
    ('newer build', ('4', '6', '1'), 1, 0, 1, 0),
    ('newer minor', ('4', '7', '0'), 1, 0, 1, 0),
    ('newer major', ('5', '0', '0'), 1, 0, 1, 0),
    ('newer minor "07"', ('4', '07', '0'), 1, 1, 1, 0),
    ('same version', ('4', '6', '0'), 1, 0, 0, 0),
    ('older version', ('4', '5', '9'), 1, 0, 0, 0),
    ('minor "x7" reads 0', ('4', 'x7', '0'), 1, 0, 0, 0),
    ('AutoCheckUpdate off', ('4', '6', '1'), 0, 1, 0, 0),
    ('both options off', ('4', '6', '1'), 0, 0, 0, 1),
    ('check failed', None, 1, 0, 0, 0),
]


PLAIN_KEY = 'Software\\Ondrel\\NotifyPlain'


class NotifyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = {name: 'Software\\Ondrel\\Notify%d' % i for i, (name, *_) in enumerate(CASES)}
        # ShowHello 1: the first-run notice is not shown (it would open the main dialog).
        reg = []
        for name, _, acu, soni, _, _ in CASES:
            key = 'HKCU\\' + cls.keys[name]
            reg += [(key, 'ShowHello', 'REG_DWORD', 1), (key, 'AutoCheckUpdate', 'REG_DWORD', acu),
                    (key, 'ShowOnNewInformation', 'REG_DWORD', soni)]
        reg += [('HKCU\\' + PLAIN_KEY, 'ShowHello', 'REG_DWORD', 1),
                ('HKCU\\' + PLAIN_KEY, 'ShowOption', 'REG_DWORD', 0)]
        cls.web = WebServer().__enter__()
        cls.prefix = Prefix(server=cls.web, reg=reg).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)
        cls.web.__exit__(None, None, None)

    def run_check(self, folder, xml):
        app = self.prefix.app_dir(folder, {'tarnbeam.exe': exe_path('tarnbeam'),
                                           'tarnbeam.xml': xml})
        rep = self.prefix.run_host(app + r'\tarnbeam.exe',
                                   ['/AutoCheck', '/hwnd:{HWND}', '/NotifyWindow:{HWND}'],
                                   timeout=60)
        self.assertFalse(rep['timedOut'])
        return rep

    def test_notification_table(self):
        web = self.web
        web.route(FEED_PATH, host=HOST, body=EMPTY_FEED, content_type='text/xml')
        for i, (name, version, acu, soni, notified, exit_code) in enumerate(CASES):
            with self.subTest(name):
                if version is None:
                    web.remove_route(INFO_PATH, host=HOST)
                else:
                    web.route(INFO_PATH, host=HOST, body=info(version), content_type='text/xml')
                web.clear_log()
                rep = self.run_check('Notify%d' % i, config(self.keys[name]))
                self.assertEqual(rep['exitCode'], exit_code)
                posts = [n for n in rep['notifications'] if n['name'] == 'Tarnbeam_UpdateNotify']
                self.assertEqual(len(posts), notified, rep['notifications'])
                for n in posts:
                    self.assertEqual((n['wParam'], n['lParam']), (0, 0))
                self.assertEqual(len(web.requests(INFO_PATH)), 0 if exit_code == 1 else 1)

    def test_not_integrated_ignores_notify_window(self):
        """Without integrate mode no notification is posted, even for a newer version; with
        ShowOption 0 the automatic check ends with 1 before anything is fetched."""
        self.web.route(INFO_PATH, host=HOST, body=info(('9', '0', '0')), content_type='text/xml')
        self.web.route(FEED_PATH, host=HOST, body=EMPTY_FEED, content_type='text/xml')
        self.web.clear_log()
        rep = self.run_check('Plain', config(PLAIN_KEY, integrate='0'))
        self.assertEqual(rep['exitCode'], 1)
        self.assertEqual(rep['notifications'], [])
        self.assertEqual(self.web.requests(INFO_PATH), [])


if __name__ == '__main__':
    unittest.main()
