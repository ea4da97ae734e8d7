"""The build settings beside the trusted domain, through tarnbeam_staged.exe (the client with its
trust settings taken from the environment, as a build with them has them) under the host test
program: with https required an http version document is refused as an untrusted host and never
asked for, an https one is read; with a signed version document required, only a detached
signature of the maker over the document's exact bytes lets its entry through, and every other
signature fails the check with code 109.

Catches a setting that is ignored, a signature that is not checked against the bytes, the chain
or the publisher, and a check that fails open when the signature is missing."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Prefix, Rule, WebServer, exe_path  # noqa: E402
from codesign import signing_keys  # noqa: E402
from test_main_dialog import CAPTION, DIALOG, INFO_PATH, UPDATE_LIST, config, control, info, main_snapshots  # noqa: E402
from test_feed_reader import HOST  # noqa: E402

SECURE_HOST = 'secure.ondrel.com.jp'
RELEASED = [['Main Test Version 4.6.1 has been released (2006/01/03)']]


class TrustSettings(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.web = WebServer().__enter__()
        certs = cls.web.https(hosts=(SECURE_HOST,))
        cls.keys = signing_keys()
        cls.prefix = Prefix(server=cls.web, ca=cls.keys.root_der('trusted')).__enter__()
        cls.prefix.import_ca(certs)
        cls.runs = 0

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)
        cls.web.__exit__(None, None, None)

    def first_rows(self, env, info_url=None):
        """Runs the staged client once; returns the update list's rows and the view's text."""
        TrustSettings.runs += 1
        name = 'Trust%d' % TrustSettings.runs
        xml = config(name)
        if info_url:
            xml = xml.replace('http://%s%s' % (HOST, INFO_PATH), info_url)
        app = self.prefix.app_dir(name, {'tarnbeam.exe': exe_path('tarnbeam_staged'), 'tarnbeam.xml': xml})
        self.prefix.reg_set('HKCU\\Software\\Ondrel\\' + name, 'ShowHello', 'REG_DWORD', 1)
        rules = [Rule(CAPTION, cls=DIALOG, delay=2500, times=1), Rule(CAPTION, cls=DIALOG, delay=3000, press='Close')]
        rep = self.prefix.run_host(app + r'\tarnbeam.exe', ['/hwnd:{HWND}'], rules=rules, timeout=60, env=env)
        self.assertFalse(rep['timedOut'])
        first = main_snapshots(rep)[0]
        views = [c for c in first['controls'] if c['class'].upper() == 'RICHEDIT50W' and c['visible']]
        return control(first, UPDATE_LIST)['items'], views[0]['text'] if views else ''

    def test_https_required(self):
        document = info(1)
        self.web.route(INFO_PATH, body=document, content_type='text/xml')
        self.web.clear_log()
        rows, text = self.first_rows({'TB_STAGED_HTTPS': '1'})
        self.assertEqual(rows, [['Check failed']])
        self.assertTrue(text.startswith('Error 108;'), text)
        self.assertEqual(self.web.requests(), [])
        rows, _ = self.first_rows({'TB_STAGED_HTTPS': '1'}, 'https://%s%s' % (SECURE_HOST, INFO_PATH))
        self.assertEqual(rows, RELEASED)

    def test_signed_version_document(self):
        document = info(1).encode('utf-8')
        self.web.route(INFO_PATH, host=HOST, body=document, content_type='text/xml')
        signed = {'TB_STAGED_SIGNED_INFO': '1'}
        cases = [
            ('the maker over these bytes', {'body': self.keys.sign_detached(document, 'maker')}, True),
            ('missing', {'status': 404}, False),
            ('empty', {'body': b''}, False),
            ('over other bytes', {'body': self.keys.sign_detached(document + b' ', 'maker')}, False),
            ('an untrusted root', {'body': self.keys.sign_detached(document, 'rogue')}, False),
            ('another publisher', {'body': self.keys.sign_detached(document, 'other')}, False),
        ]
        for label, route, accepted in cases:
            with self.subTest(label):
                self.web.route(INFO_PATH + '.p7s', host=HOST, **route)
                rows, text = self.first_rows(signed)
                if accepted:
                    self.assertEqual(rows, RELEASED)
                else:
                    self.assertEqual(rows, [['Check failed']])
                    self.assertTrue(text.startswith('Error 109;'), text)


if __name__ == '__main__':
    unittest.main()
