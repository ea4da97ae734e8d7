#!/usr/bin/env python3
"""Memory benchmark of the news feed reader: serves a large feed and its category pictures from
the local web server and runs feedmem.exe under Wine, printing the peak working set.

    BUILD_DIR=... bench/feedmem/run.py [--items 10000] [--categories 100] [--broken 10]

Pictures are 32 x 16 RGBA PNGs; --broken of the categories get a truncated picture instead,
so those are fetched again for each of their items. For comparison the same program first
reads a feed of one item. Needs the Windows build with feedmem.exe (scripts/build.sh windows).
"""

import argparse
import datetime
import email.utils
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SRC, 'tests', 'integration'))
if 'TB_BIN' not in os.environ:
    os.environ['TB_BIN'] = os.path.join(os.environ.get('BUILD_DIR') or os.path.join(SRC, 'build'), 'windows')
from harness import Prefix, WebServer, exe_path  # noqa: E402
from test_feed_reader import HOST, client_config, item, png_bytes, rss  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--items', type=int, default=10000)
    ap.add_argument('--categories', type=int, default=100)
    ap.add_argument('--broken', type=int, default=10, help='categories whose picture is truncated')
    args = ap.parse_args()

    start = datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)
    items = [item(title='Announcement %d' % i, link='http://%s/news/%d' % (HOST, i),
                  category='cat%d' % (i % args.categories),
                  date=email.utils.format_datetime(start + datetime.timedelta(minutes=i), usegmt=True),
                  description='<p>Item %d: %s</p>' % (i, 'text ' * 40),
                  product='Pakkit' if i % 3 else None, platform='Win' if i % 3 else None)
             for i in range(args.items)]
    feed = rss(*items).encode('utf-8')
    picture = png_bytes()
    with WebServer() as web, Prefix(server=web) as p:
        web.route('/rss/big.xml', host=HOST, body=feed, content_type='text/xml')
        web.route('/rss/small.xml', host=HOST, body=rss(items[0]), content_type='text/xml')
        for c in range(args.categories):
            body = picture[:40] if c < args.broken else picture
            web.route('/rss/img/cat%d.png' % c, host=HOST, body=body, content_type='image/png')
        app = p.app_dir('FeedMem', {'feedmem.exe': exe_path('feedmem'),
                                    'tarnbeam.xml': client_config(product='Pakkit', platform='Win')})
        print('feed: %d items, %d categories (%d with broken pictures), %.1f MB' %
              (args.items, args.categories, args.broken, len(feed) / 1048576.0))
        for name in ('small', 'big'):
            web.clear_log()
            t = time.time()
            r = p.run(app + '\\feedmem.exe', ['--config', app + '\\tarnbeam.xml',
                                              '--url', 'http://%s/rss/%s.xml' % (HOST, name)], timeout=1800)
            lines = [l for l in r.stdout.splitlines() if l.startswith('{')]
            if not lines:
                print('%s: no report (exit %d)\n%s' % (name, r.code, r.stderr[-2000:]))
                return 1
            rep = json.loads(lines[-1])
            pictures = len([q for q in web.log() if q['path'].startswith('/rss/img/')])
            print('%-5s items %6d  pictures %4d  picture requests %6d  read %7.0f ms  (run %.1f s)  '
                  'working set %.1f -> %.1f MB  peak %.1f MB' %
                  (name, rep['items'], rep['pictures'], pictures, rep['ms'], time.time() - t,
                   rep['workingSetBeforeMb'], rep['workingSetAfterMb'], rep['peakWorkingSetMb']))
    return 0


if __name__ == '__main__':
    sys.exit(main())
