"""The RSS reader against the local web server, through feed_probe.exe under Wine.

feed_probe reads each feed named on its command line with the update client's reader (MSXML
load, product filter, category pictures through UrlTransfer, PNG decoding) and prints the kept
items and the feed image table as JSON. Configurations go through the client's own loader, so the
product filter sees ProductName/ProductPlatform as a real run would. All feeds of one test run in
one probe process; the server log shows which pictures were fetched.
"""

import datetime
import email.utils
import json
import os
import struct
import sys
import unittest
import zlib
from xml.sax.saxutils import escape

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Prefix, WebServer, exe_path  # noqa: E402

HOST = 'www.ondrel.com.jp'
PICS = 'http://%s/rss/img/' % HOST
USER_AGENT = 'Mozilla/6.0(compatible; Ondrel Update 4.6)'


# ---- feed and picture builders (also used by test_feed_client.py and test_decision.py) -----

def png_bytes(width=32, height=16, colour=6, fill=None):
    """A small valid PNG (8-bit RGBA by default, or RGB with colour=2): a pattern, or every
    pixel `fill` (a tuple of the channel values)."""
    channels = 4 if colour == 6 else 3
    if fill is not None:
        raw = (b'\x00' + bytes(fill) * width) * height
    else:
        raw = b''.join(b'\x00' + bytes((x * 7 + y * 13 + c * 50) & 0xFF for x in range(width)
                                       for c in range(channels)) for y in range(height))

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data +
                struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, colour, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b''))


def item(title='T', link='http://www.ondrel.com.jp/news/1', category='info', domain=PICS,
         date='Mon, 02 Jan 2006 15:04:05 GMT', description='<p>News</p>', product=None,
         platform=None, drop=()):
    """One <item>; `drop` names required elements to leave out; None values are left out."""
    parts = []
    if 'title' not in drop:
        parts.append('<title>%s</title>' % escape(title))
    if 'link' not in drop:
        parts.append('<link>%s</link>' % escape(link))
    if 'category' not in drop:
        attr = '' if domain is None else ' domain="%s"' % escape(domain, {'"': '&quot;'})
        parts.append('<category%s>%s</category>' % (attr, escape(category)))
    if 'pubDate' not in drop:
        parts.append('<pubDate>%s</pubDate>' % escape(date))
    if 'description' not in drop:
        parts.append('<description><![CDATA[%s]]></description>' % description)
    if product is not None:
        parts.append('<tb:ProductName>%s</tb:ProductName>' % escape(product))
    if platform is not None:
        parts.append('<tb:ProductPlatform>%s</tb:ProductPlatform>' % escape(platform))
    return '<item>%s</item>' % ''.join(parts)


def rss(*items, version='2.0', root='rss'):
    version_attr = '' if version is None else ' version="%s"' % version
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            '<%s%s xmlns:tb="http://www.ondrel.com.jp/rss/tb"><channel><title>Ondrel</title>'
            '<link>http://www.ondrel.com.jp/</link><description>News</description>%s'
            '</channel></%s>' % (root, version_attr, ''.join(items), root))


def client_config(rss_url='http://%s/rss/feed.xml' % HOST, product=None, platform=None,
                  reg_key=r'Software\Ondrel\FeedTest', common_key=None, extra=''):
    parts = ['<DownloadPath>Ondrel\\FeedTest</DownloadPath>', '<RegKey>%s</RegKey>' % reg_key,
             '<RSSURL>%s</RSSURL>' % escape(rss_url), '<NoUpdateMessage>Up to date</NoUpdateMessage>',
             '<CheckFailMessage>Check failed</CheckFailMessage>',
             '<NoUpdateDescription>current</NoUpdateDescription>',
             '<CheckFailDescription>failed</CheckFailDescription>']
    if common_key is not None:
        parts.append('<CommonRegKey>%s</CommonRegKey>' % common_key)
    if product is not None:
        parts.append('<ProductName>%s</ProductName>' % escape(product))
    if platform is not None:
        parts.append('<ProductPlatform>%s</ProductPlatform>' % escape(platform))
    return '<?xml version="1.0" encoding="utf-8"?>\n<VeltroUpdate>%s%s</VeltroUpdate>' % (''.join(parts), extra)


# ---- the tests -------------------------------------------------------------------------------

class FeedReaderTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.web = WebServer().__enter__()
        cls.prefix = Prefix(server=cls.web).__enter__()
        cls.app = cls.prefix.app_dir('FeedProbe', {'feed_probe.exe': exe_path('feed_probe'),
                                                   'plain.xml': client_config()})
        cls.feeds = 0

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)
        cls.web.__exit__(None, None, None)

    def setUp(self):
        self.web.clear_routes()
        self.web.clear_log()

    def serve_feed(self, body, **route):
        type(self).feeds += 1
        path = '/rss/feed%d.xml' % self.feeds
        self.web.route(path, host=HOST, body=body, content_type='text/xml', **route)
        return 'http://%s%s' % (HOST, path)

    def read(self, *runs):
        """runs: (config xml or None, url, marker flag) triples, or bare URLs (plain config).
        Returns one report per run."""
        args = []
        for n, run in enumerate(runs):
            if isinstance(run, str):
                run = (None, run)
            config, url = run[0], run[1]
            name = 'plain.xml'
            if config is not None:
                name = 'c%d_%d.xml' % (self.feeds, n)
                (self.prefix.hostpath(self.app) / name).write_text(config, encoding='utf-8')
            args += ['--config', self.app + '\\' + name]
            if len(run) > 2 and run[2]:
                args.append('--marker')
            args += ['--url', url]
        r = self.prefix.run(self.app + '\\feed_probe.exe', args, timeout=240)
        reports = [json.loads(l) for l in r.stdout.splitlines() if l.startswith('{')]
        self.assertEqual(len(reports), len(runs), 'probe output: %r %r' % (r.stdout[-2000:], r.stderr[-2000:]))
        for rep in reports:
            self.assertEqual(rep['config'], 0)
            self.assertEqual(rep['tempFiles'], 0, 'an "rsi" temporary file was left behind')
        return reports

    def picture_requests(self, name):
        return self.web.requests('/rss/img/%s.png' % name, host=HOST)

    # -- document and version ---------------------------------------------------------------

    def test_version_and_root(self):
        one = item()
        cases = [
            ('2.0', 'rss', True), ('2', 'rss', True), ('2.05', 'rss', True), (' 2.0', 'rss', True),
            ('2.0beta', 'rss', True), ('20e-1', 'rss', True),
            ('0.91', 'rss', False), ('0.92', 'rss', False), ('2.1', 'rss', False), ('1.99', 'rss', False),
            (None, 'rss', False), ('', 'rss', False), ('0x2', 'rss', False), ('inf', 'rss', False),
            ('nan', 'rss', False), ('1e400', 'rss', False), ('2.0', 'feed', False), ('2.0', 'RSS', False),
        ]
        # Not XML at all, a missing document and an empty address.
        cases += [('html', 'rss', False), ('404', 'rss', False), ('empty', 'rss', False)]
        urls = [self.serve_feed(rss(one, version=v, root=root)) for v, root, _ in cases[:-3]]
        urls.append(self.serve_feed('<html><body>Service unavailable</body>'))
        urls.append('http://%s/rss/missing.xml' % HOST)
        urls.append('')
        for (v, root, ok), rep in zip(cases, self.read(*urls)):
            with self.subTest(version=v, root=root):
                self.assertEqual(rep['ok'], ok)
                self.assertEqual(len(rep['items']), 1 if ok else 0)

    def test_no_items_or_none_accepted(self):
        reports = self.read(self.serve_feed(rss()),
                            self.serve_feed(rss(item(drop=('title',)), item(drop=('link',)))))
        for rep in reports:
            self.assertFalse(rep['ok'])
            self.assertEqual(rep['items'], [])

    # -- items ------------------------------------------------------------------------------

    def test_item_fields(self):
        url = self.serve_feed(rss(item(title='  Release 4.7  ', link='http://www.ondrel.com.jp/n/47',
                                       category='product', description='<p>What is <b>new</b></p>',
                                       date='Mon, 02 Jan 2006 15:04:05 GMT', product='A', platform='X')))
        rep, = self.read((client_config(product='A', platform='X'), url))
        self.assertTrue(rep['ok'])
        got = rep['items'][0]
        self.assertEqual(got['kind'], 48)
        self.assertEqual(got['title'], 'Release 4.7')
        self.assertEqual(got['link'], 'http://www.ondrel.com.jp/n/47')
        self.assertEqual(got['category'], 'product')
        self.assertEqual(got['pubDate'], 'Mon, 02 Jan 2006 15:04:05 GMT')
        self.assertEqual(got['description'], '<p>What is <b>new</b></p>')
        self.assertEqual(got['productName'], 'A')
        self.assertEqual(got['productPlatform'], 'X')
        # 15:04:05 UTC is 00:04:05 on Tuesday the 3rd in the test time zone (Tokyo).
        self.assertEqual(got['published'], [2006, 1, 2, 3, 0, 4, 5, 0])

    def test_required_elements(self):
        """An item missing any required element is dropped; an empty element is enough."""
        items = [item(title='keep')]
        for name in ('title', 'link', 'category', 'pubDate', 'description'):
            items.append(item(title='no ' + name, drop=(name,), category='c-' + name))
        items.append('<item><title/><link/><category/><pubDate/><description/></item>')
        rep, = self.read(self.serve_feed(rss(*items)))
        titles = [i['title'] for i in rep['items']]
        self.assertEqual(titles, ['keep', ''])
        self.assertEqual(rep['items'][1]['published'], [0] * 8)

    def test_product_filter(self):
        feed = rss(item(title='everyone'), item(title='B', product='B', platform='X'),
                   item(title='A any', product='A'), item(title='A on Y', product='A', platform='Y'),
                   item(title='lower a', product='a', platform='X'), item(title='A on X', product='A', platform='X'),
                   item(title='A on x', product='A', platform='x'), item(title='platform only', platform='Y'),
                   item(title='spaced', product=' A', platform='X'))
        url = self.serve_feed(feed)
        every = ['everyone', 'B', 'A any', 'A on Y', 'lower a', 'A on X', 'A on x', 'platform only', 'spaced']
        cases = [
            (client_config(product='A', platform='X'),
             ['everyone', 'A any', 'A on X', 'platform only', 'spaced']),
            # Without a platform the configuration drops the product name too: nothing is hidden.
            (client_config(product='A'), every),
            (client_config(), every),
            (client_config(product='B', platform='Y'), ['everyone', 'platform only']),
        ]
        # "spaced" counts as product A: element texts are read without surrounding white space.
        reports = self.read(*[(c, url) for c, _ in cases])
        for (config, expected), rep in zip(cases, reports):
            with self.subTest(config=config[-120:]):
                self.assertEqual([i['title'] for i in rep['items']], expected)

    # -- order ------------------------------------------------------------------------------

    def test_newest_first(self):
        days = rss(item(title='01', date='Mon, 01 Jun 2020 12:00:00 GMT'),
                   item(title='03', date='Wed, 03 Jun 2020 12:00:00 GMT'),
                   item(title='02', date='Tue, 02 Jun 2020 12:00:00 GMT'))
        ties = rss(item(title='first', date='Tue, 02 Jun 2020 12:00:00 GMT'),
                   item(title='undated', date='someday'),
                   item(title='second', date='Tue, 02 Jun 2020 12:00:00 GMT'),
                   item(title='older', date='Mon, 01 Jun 2020 12:00:00 GMT'),
                   item(title='third', date='Tue, 02 Jun 2020 21:00:00 +0900'))
        zones = rss(item(title='tokyo 10:00', date='Tue, 02 Jun 2020 10:00:00 +0900'),
                    item(title='gmt 09:00', date='Tue, 02 Jun 2020 09:00:00 GMT'))
        r_days, r_ties, r_zones = self.read(self.serve_feed(days), self.serve_feed(ties), self.serve_feed(zones))
        self.assertEqual([i['title'] for i in r_days['items']], ['03', '02', '01'])
        # 21:00 +0900 is 12:00 GMT: three equal instants keep feed order; undated goes last.
        self.assertEqual([i['title'] for i in r_ties['items']], ['first', 'second', 'third', 'older', 'undated'])
        self.assertEqual(r_ties['items'][-1]['published'], [0] * 8)
        self.assertEqual([i['title'] for i in r_zones['items']], ['gmt 09:00', 'tokyo 10:00'])
        self.assertEqual(r_zones['items'][0]['published'][4:7], [18, 0, 0])  # 09:00 GMT in Tokyo

    # -- category pictures ------------------------------------------------------------------

    def test_pictures_fetched_once_per_category(self):
        good = png_bytes()
        self.web.route('/rss/img/info.png', host=HOST, body=good, content_type='image/png')
        self.web.route('/rss/img/Info.png', host=HOST, body=png_bytes(16, 16, 2), content_type='image/png')
        self.web.route('/rss/img/late.png', host=HOST, body=good, content_type='image/png')
        self.web.route('/rss/img/html.png', host=HOST, body=b'<html><body>Not here</body></html>',
                       content_type='text/html')
        self.web.route('/rss/img/cut.png', host=HOST, body=good, content_type='image/png', cut_after=40)
        self.web.route('/rss/img/corrupt.png', host=HOST, body=good[:50] + b'\0' * 20 + good[70:],
                       content_type='image/png')
        self.web.route('/rss/img/sub/x.png', host=HOST, body=good, content_type='image/png')
        feed = rss(item(title='1', category='info'), item(title='2', category='info'),
                   item(title='3', category='Info'),
                   item(title='4', category='missing'), item(title='5', category='missing'),
                   item(title='6', category='html'), item(title='7', category='html'),
                   item(title='8', category='cut'), item(title='9', category='corrupt'),
                   item(title='10', category='nodomain', domain=''),
                   item(title='11', category='noattr', domain=None),
                   item(title='12', category='', domain=PICS),
                   item(title='13', category='late', drop=('pubDate',)),
                   item(title='14', category='late'),
                   item(title='15', category='x', domain=PICS + 'sub/'))
        rep, = self.read(self.serve_feed(feed))
        self.assertEqual(len(rep['items']), 14)
        counts = {name: len(self.picture_requests(name)) for name in
                  ('info', 'Info', 'missing', 'html', 'cut', 'corrupt', 'late', 'nodomain', 'noattr')}
        self.assertEqual(counts, {'info': 1, 'Info': 1, 'missing': 2, 'html': 2, 'cut': 1, 'corrupt': 1,
                                  'late': 1, 'nodomain': 0, 'noattr': 0})
        self.assertEqual(len(self.web.requests('/rss/img/sub/x.png', host=HOST)), 1)
        self.assertEqual(len(self.web.requests('/rss/img/.png', host=HOST)), 0)
        images = {i['category']: i for i in rep['images']}
        self.assertEqual(sorted(images), ['Info', 'info', 'late', 'x'])
        for name, (w, h) in {'info': (32, 16), 'Info': (16, 16), 'x': (32, 16)}.items():
            self.assertTrue(images[name]['valid'])
            self.assertEqual((images[name]['width'], images[name]['height'], images[name]['index']), (w, h, 0))
        for req in self.web.requests(host=HOST):
            if req['path'].startswith('/rss/img/'):
                self.assertEqual(req['user_agent'], USER_AGENT)

    def test_large_feed(self):
        """Two thousand items over twenty categories: every item kept, one request per category."""
        for c in range(20):
            self.web.route('/rss/img/c%d.png' % c, host=HOST, body=png_bytes(), content_type='image/png')
        start = datetime.datetime(2020, 6, 1, tzinfo=datetime.timezone.utc)
        items = [item(title='n%d' % i, category='c%d' % (i % 20),
                      date=email.utils.format_datetime(start + datetime.timedelta(minutes=37 * i), usegmt=True),
                      product=('A' if i % 2 else None), platform='X')
                 for i in range(2000)]
        rep, = self.read((client_config(product='A', platform='X'), self.serve_feed(rss(*items))))
        self.assertTrue(rep['ok'])
        self.assertEqual([i['title'] for i in rep['items']], ['n%d' % i for i in reversed(range(2000))])
        self.assertEqual(sum(len(self.picture_requests('c%d' % c)) for c in range(20)), 20)
        self.assertEqual(len(rep['images']), 20)

if __name__ == '__main__':
    unittest.main()
