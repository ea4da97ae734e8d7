"""UrlTransfer against the local web server, through transfer_probe.exe under Wine.

transfer_probe runs one transfer with a sink that records every call (and writes the body to
a file), then prints a JSON line; the server's request log shows what went over the wire.
Catches, besides the transfer's own rules, a redirect followed to a host or scheme the rules
refuse (and that host asked at all), redirect loops, and bodies over the size limit accepted.
"""

import hashlib
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Prefix, WebServer  # noqa: E402

USER_AGENT = 'Mozilla/6.0(compatible; Ondrel Update 4.6)'
HOST = 'www.ondrel.com.jp'
SECURE_HOST = 'secure.ondrel.com.jp'
UNTRUSTED_HOST = 'untrusted.ondrel.com.jp'
WRONG_NAME_HOST = 'misnamed.ondrel.com.jp'
OTHER_TRUSTED_HOST = 'mirror.ondrel.com.jp'
FOREIGN_HOST = 'www.attacker.test'
BODY = bytes(range(256)) * 4 + b'tail'  # 1028 bytes: three full chunks and a short one
CHUNK = 300


class TransferTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.web = WebServer().__enter__()
        cls.certs = cls.web.https(hosts=(SECURE_HOST, UNTRUSTED_HOST, WRONG_NAME_HOST))
        cls.web.use_cert('untrusted', host=UNTRUSTED_HOST)
        cls.web.use_cert('wronghost', host=WRONG_NAME_HOST)
        cls.prefix = Prefix(server=cls.web, ca=cls.certs).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)
        cls.web.__exit__(None, None, None)

    def setUp(self):
        self.web.clear_routes()
        self.web.clear_log()

    def transfer(self, url, *args):
        """Runs the probe; returns (report dict, body bytes the sink received)."""
        out = self.prefix.scratch('.bin')
        r = self.prefix.run('transfer_probe', ['--url', url, '--out', self.prefix.winpath(out)] +
                            list(args), timeout=90)
        lines = [l for l in r.stdout.splitlines() if l.startswith('{')]
        self.assertTrue(lines, 'no report from transfer_probe: %r %r' % (r.stdout, r.stderr))
        report = json.loads(lines[-1])
        body = out.read_bytes() if out.exists() else b''
        return report, body

    def assertChunked(self, report, body, expected, total):
        """The sink saw exactly `expected`, in chunks of 1..300 bytes, with total `total`."""
        self.assertTrue(report['ok'])
        self.assertEqual(body, expected)
        self.assertEqual(report['bytes'], len(expected))
        self.assertEqual(report['calls'], -(-len(expected) // CHUNK))
        self.assertLessEqual(report['maxChunk'], CHUNK)
        self.assertGreaterEqual(report['minChunk'], 1)
        self.assertEqual(report['totals'], [total])

    # -- status and body -------------------------------------------------------------------

    def test_status_decides(self):
        """Below 300 succeeds (the sink sees the body and the Content-Length); 300 and up
        fail without calling the sink; an empty 200 body succeeds without calling it."""
        cases = [
            ('/ok', dict(body=BODY), True, BODY),
            ('/299', dict(body=b'x' * 10, status=299), True, b'x' * 10),
            ('/empty', dict(body=b''), True, b''),
            ('/300', dict(body=b'moved', status=300), False, b''),
            ('/404', dict(body=b'gone', status=404), False, b''),
            ('/500', dict(body=b'broken', status=500), False, b''),
        ]
        for path, route, ok, expected in cases:
            with self.subTest(path=path):
                self.web.route(path, **route)
                report, body = self.transfer('http://%s%s' % (HOST, path))
                self.assertEqual(report['ok'], ok)
                self.assertEqual(body, expected)
                self.assertEqual(report['calls'], -(-len(expected) // CHUNK))
                if expected:
                    self.assertEqual(report['totals'], [len(expected)])
                self.assertEqual(len(self.web.requests(path)), 1)

    def test_large_body_streams_in_small_chunks(self):
        data = hashlib.sha256(b'seed').digest() * 40000  # 1.28 MB
        self.web.route('/big.exe', body=data)
        report, body = self.transfer('http://%s/big.exe' % HOST)
        self.assertChunked(report, body, data, len(data))

    def test_sink_stop_on_first_call_succeeds(self):
        self.web.route('/file', body=BODY)
        report, body = self.transfer('http://%s/file' % HOST, '--stop-on', '1')
        self.assertTrue(report['ok'])
        self.assertEqual(report['calls'], 1)
        self.assertEqual(body, BODY[:CHUNK])

    def test_cut_short_and_stalled_bodies(self):
        """A server that closes early leaves the transfer successful with what arrived; one
        that stalls before answering or in the middle delivers the whole body late."""
        self.web.route('/cut', body=BODY, cut_after=500)
        report, body = self.transfer('http://%s/cut' % HOST)
        self.assertTrue(report['ok'])
        self.assertEqual(body, BODY[:500])
        self.assertEqual(report['totals'], [len(BODY)])

        self.web.route('/slow', body=BODY, stall_before=1, stall_during=1)
        report, body = self.transfer('http://%s/slow' % HOST)
        self.assertChunked(report, body, BODY, len(BODY))

    # -- the request itself ----------------------------------------------------------------

    def test_request_line_agent_and_port(self):
        """GET of the path without the query, on port 80 whatever port the URL names, with
        string 111 as the user agent."""
        self.web.route('/a', body=BODY)
        report, body = self.transfer('http://%s:8080/a?b=1' % HOST)
        self.assertChunked(report, body, BODY, len(BODY))
        self.assertEqual(report['agent'], USER_AGENT)
        reqs = self.web.requests('/a')
        self.assertEqual(len(reqs), 1)
        self.assertEqual(reqs[0]['method'], 'GET')
        self.assertEqual(reqs[0]['query'], '')
        self.assertEqual(reqs[0]['port'], 80)
        self.assertEqual(reqs[0]['host'], HOST)
        self.assertEqual(reqs[0]['user_agent'], USER_AGENT)

    def test_no_content_length_asks_again(self):
        """Without Content-Length the body of the first answer is dropped and the rebuilt URL
        (query included, still port 80) is fetched; the sink sees a total of 0."""
        self.web.route('/old', body=BODY, no_length=True)
        report, body = self.transfer('http://%s:8080/old?b=1&c=%%41' % HOST)
        self.assertTrue(report['ok'])
        self.assertEqual(body, BODY)
        self.assertEqual(report['totals'], [0])
        self.assertLessEqual(report['maxChunk'], CHUNK)
        reqs = self.web.requests('/old')
        self.assertEqual(len(reqs), 2)
        self.assertEqual([r['query'] for r in reqs], ['', 'b=1&c=%41'])
        self.assertEqual([r['port'] for r in reqs], [80, 80])
        self.assertEqual({r['user_agent'] for r in reqs}, {USER_AGENT})

    def test_login(self):
        """A given login replaces the URL's; WinINet answers the server's challenge with it.
        Without a given login the URL's own one is used."""
        self.web.route('/secret', body=BODY, auth=('updater', 's3cret'))
        cases = [
            ('http://%s/secret' % HOST, ['--user', 'updater', '--password', 's3cret'], True),
            ('http://wrong:login@%s/secret' % HOST, ['--user', 'updater', '--password', 's3cret'], True),
            ('http://updater:s3cret@%s/secret' % HOST, [], True),
            ('http://%s/secret' % HOST, ['--user', 'updater', '--password', 'nope'], False),
            ('http://%s/secret' % HOST, [], False),
        ]
        for url, login, ok in cases:
            with self.subTest(url=url, login=login):
                self.web.clear_log()
                report, body = self.transfer(url, *login)
                self.assertEqual(report['ok'], ok)
                self.assertEqual(body, BODY if ok else b'')
                if ok:
                    last = self.web.requests('/secret')[-1]
                    self.assertEqual((last['user'], last['password']), ('updater', 's3cret'))

    def test_other_schemes_fail_without_a_request(self):
        for url in ('ftp://%s/file' % HOST, 'file:///C:/windows/win.ini', 'gopher://%s/' % HOST,
                    'not a url', 'http://%s/%s' % (HOST, 'x' * 1200)):
            with self.subTest(url=url[:60]):
                report, body = self.transfer(url)
                self.assertFalse(report['ok'])
                self.assertEqual(report['calls'], 0)
        self.assertEqual(self.web.log(), [])

    # -- redirects and limits --------------------------------------------------------------

    def redirect(self, path, target, status=302, host=HOST):
        self.web.route(path, host=host, status=status, headers={'Location': target})

    def hosts_asked(self):
        return sorted({e['host'] for e in self.web.log()})

    def test_redirects_follow_the_rules_on_every_hop(self):
        """The trusted-host rule holds for every address of the chain: a redirect to another
        trusted host is followed, one to a foreign host fails without asking it; without the
        rule any web host is followed, but never another scheme."""
        self.web.route('/doc', host=OTHER_TRUSTED_HOST, body=BODY)
        self.web.route('/doc', host=FOREIGN_HOST, body=b'attacker')
        self.redirect('/relative', '/next', status=307)
        self.redirect('/next', 'http://%s/doc' % OTHER_TRUSTED_HOST, status=301)
        report, body = self.transfer('http://%s/relative' % HOST, '--trusted-only', '1')
        self.assertChunked(report, body, BODY, len(BODY))
        self.assertEqual(self.hosts_asked(), [OTHER_TRUSTED_HOST, HOST])
        for status in (301, 302, 303, 307, 308):
            with self.subTest(status=status):
                self.web.clear_log()
                self.redirect('/away', 'http://%s/doc' % FOREIGN_HOST, status=status)
                report, body = self.transfer('http://%s/away' % HOST, '--trusted-only', '1')
                self.assertFalse(report['ok'])
                self.assertEqual((report['calls'], self.hosts_asked()), (0, [HOST]))
        report, body = self.transfer('http://%s/away' % HOST)
        self.assertEqual((report['ok'], body), (True, b'attacker'))
        for target in ('file:///C:/windows/win.ini', 'ftp://%s/doc' % HOST, 'javascript:alert(1)'):
            with self.subTest(target=target):
                self.redirect('/scheme', target)
                report, _ = self.transfer('http://%s/scheme' % HOST)
                self.assertFalse(report['ok'])
                self.assertEqual(report['calls'], 0)

    def test_redirect_chains_end_after_five_hops(self):
        self.redirect('/loop', '/loop')
        self.web.clear_log()
        report, _ = self.transfer('http://%s/loop' % HOST)
        self.assertFalse(report['ok'])
        self.assertEqual(len(self.web.requests('/loop')), 6)
        for i in range(5):
            self.redirect('/hop%d' % i, '/hop%d' % (i + 1))
        self.web.route('/hop5', body=BODY)
        report, body = self.transfer('http://%s/hop0' % HOST, '--trusted-only', '1')
        self.assertChunked(report, body, BODY, len(BODY))

    def test_https_only_and_size_limit(self):
        """With https required an http address is not asked at all, and an https address may
        not redirect to http. A body over the limit fails, with or without Content-Length."""
        self.web.route('/plain', body=BODY)
        report, _ = self.transfer('http://%s/plain' % HOST, '--https-only', '1')
        self.assertEqual((report['ok'], self.web.log()), (False, []))
        self.redirect('/down', 'http://%s/plain' % HOST, host=SECURE_HOST)
        report, _ = self.transfer('https://%s/down' % SECURE_HOST, '--https-only', '1')
        self.assertFalse(report['ok'])
        self.assertEqual(self.web.requests('/plain'), [])

        self.web.route('/nolength', body=BODY, no_length=True)
        for path in ('/plain', '/nolength'):
            with self.subTest(path=path):
                report, _ = self.transfer('http://%s%s' % (HOST, path), '--limit', str(len(BODY) - 1))
                self.assertFalse(report['ok'])
                report, body = self.transfer('http://%s%s' % (HOST, path), '--limit', str(len(BODY)))
                self.assertEqual((report['ok'], body), (True, BODY))

    # -- https -----------------------------------------------------------------------------

    def test_https(self):
        """https goes through the proxy's CONNECT to port 443 even when the URL names 8443;
        an untrusted CA or a certificate for another name makes the transfer fail."""
        self.web.route('/secure.bin', body=BODY)
        report, body = self.transfer('https://%s:8443/secure.bin?q=1' % SECURE_HOST)
        self.assertChunked(report, body, BODY, len(BODY))
        connects = [e for e in self.web.log() if e['method'] == 'CONNECT']
        self.assertTrue(connects)
        self.assertEqual({(c['host'], c['port']) for c in connects}, {(SECURE_HOST, 443)})
        reqs = self.web.requests('/secure.bin')
        self.assertEqual(len(reqs), 1)
        self.assertEqual((reqs[0]['scheme'], reqs[0]['query']), ('https', ''))
        self.assertEqual(reqs[0]['user_agent'], USER_AGENT)

        for host in (UNTRUSTED_HOST, WRONG_NAME_HOST):
            with self.subTest(host=host):
                self.web.clear_log()
                report, body = self.transfer('https://%s/secure.bin' % host)
                self.assertFalse(report['ok'])
                self.assertEqual(report['calls'], 0)
                self.assertEqual(self.web.requests('/secure.bin'), [])

    def test_https_without_content_length(self):
        self.web.route('/old.bin', body=BODY, no_length=True)
        report, body = self.transfer('https://%s:8443/old.bin?v=2' % SECURE_HOST)
        self.assertTrue(report['ok'])
        self.assertEqual(body, BODY)
        self.assertEqual(report['totals'], [0])
        reqs = self.web.requests('/old.bin')
        self.assertEqual([(r['scheme'], r['port'], r['query']) for r in reqs],
                         [('https', 443, ''), ('https', 443, 'v=2')])


if __name__ == '__main__':
    unittest.main()
