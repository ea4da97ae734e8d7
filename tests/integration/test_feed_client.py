"""The news feed inside a real run of tarnbeam.exe: the start-up reads the configured RSSURL with
the configured product filter, fetches category pictures with the client's user agent, leaves no
temporary picture file behind, and the new-information rule stores the newest kept item.
The reader's cases in detail are in test_feed_reader.py (through feed_probe.exe)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Prefix, Rule, WebServer, exe_path  # noqa: E402
from test_feed_reader import HOST, PICS, USER_AGENT, client_config, item, png_bytes, rss  # noqa: E402

FEED_PATH = '/rss/feed.xml'
PRODUCT_KEY = 'Software\\Ondrel\\FeedClient'
COMMON_KEY = 'Software\\Ondrel\\FeedClientCommon'


def temporary_pictures(prefix):
    found = []
    for folder, _, files in os.walk(str(prefix.path / 'drive_c')):
        found += [os.path.join(folder, f) for f in files if f.lower().startswith('rsi') and f.lower().endswith('.tmp')]
    return found


class FeedClientTest(unittest.TestCase):
    def run_client(self, prefix, feed_body, **route):
        self.web.route(FEED_PATH, host=HOST, body=feed_body, content_type='text/xml', **route)
        self.web.clear_log()
        prefix.reg_delete_value('HKCU\\' + PRODUCT_KEY, 'LastExecDate')
        # New information opens the main dialog (when the client has one): close it.
        rep = prefix.run_host(self.app + r'\tarnbeam.exe', ['/AutoCheck', '/hwnd:{HWND}'],
                              rules=[Rule('Ondrel Update', cls='#32770', close=True, delay=300)], timeout=60)
        self.assertFalse(rep['timedOut'])
        self.assertEqual(rep['exitCode'], 0)
        self.assertEqual(temporary_pictures(prefix), [])
        return prefix.reg_query('HKCU\\' + COMMON_KEY, 'LastRSSItemDate')

    def test_feed_in_a_real_run(self):
        reg = [('HKCU\\' + PRODUCT_KEY, 'ShowHello', 'REG_DWORD', 1),
               ('HKCU\\' + PRODUCT_KEY, 'ShowOption', 'REG_DWORD', 1)]
        with WebServer() as web, Prefix(server=web, reg=reg) as p:
            self.web = web
            web.route('/rss/img/news.png', host=HOST, body=png_bytes(), content_type='image/png')
            web.route('/rss/img/broken.png', host=HOST, body=png_bytes()[:45], content_type='image/png')
            config = client_config(rss_url='http://%s%s' % (HOST, FEED_PATH), product='Pakkit', platform='Win',
                                   reg_key=PRODUCT_KEY, common_key=COMMON_KEY)
            self.app = p.app_dir('FeedClient', {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': config})

            # The newest item is for another product and is filtered out; the marker takes the
            # newest kept one (Tokyo local time).
            feed = rss(item(title='other product', category='news', product='Hubbel', platform='Win',
                            date='Wed, 04 Jan 2006 12:00:00 GMT'),
                       item(title='ours', category='news', product='Pakkit', platform='Win',
                            date='Tue, 03 Jan 2006 12:00:00 GMT'),
                       item(title='everyone', category='broken', date='Mon, 02 Jan 2006 12:00:00 GMT'),
                       item(title='again', category='broken', domain=PICS, date='Sun, 01 Jan 2006 12:00:00 GMT'))
            self.assertEqual(self.run_client(p, feed), '2006/01/03 21:00:00')
            pictures = [r for r in web.log() if r['path'].startswith('/rss/img/')]
            self.assertEqual(sorted(r['path'] for r in pictures),
                             ['/rss/img/broken.png', '/rss/img/broken.png', '/rss/img/news.png'])
            for r in pictures:
                self.assertEqual(r['user_agent'], USER_AGENT)
            self.assertEqual(len(web.requests(FEED_PATH, host=HOST)), 1)

            # A feed that is not XML, and one cut short: empty list, the marker stays.
            self.assertEqual(self.run_client(p, '<html><body>Maintenance</body></html>'), '2006/01/03 21:00:00')
            self.assertEqual(self.run_client(p, feed, cut_after=len(feed) // 2), '2006/01/03 21:00:00')


if __name__ == '__main__':
    unittest.main()
