"""The main dialog through the real tarnbeam.exe under the host test program: the rows and texts
each kind of check result shows, the Update button, the tab rules (refusal of an empty list,
the first showing of the news tab writing the news marker), the news pictures as drawn on the
screen, re-selection, the keyboard, placement on a screen smaller than the dialog, oversized
input, and screenshots in English and Japanese (kept in TB_BIN/screenshots), where the caption's
buttons draw with the window frame's font.

Catches a dialog that shows the wrong row or description for a check result, leaves Update
enabled where nothing can be downloaded, switches to an empty tab, writes the news marker
when the news were never shown, draws no picture where a news row has one, renders a row
again when it is selected again, ignores Tab, mnemonics, Enter or Esc, puts its corner off a
small screen, or stops answering on a very large feed."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import SRC, Prefix, Rule, WebServer, ensure_display, exe_path, start_xvfb  # noqa: E402
from test_feed_reader import HOST, PICS, item, png_bytes, rss  # noqa: E402
from test_html_view import SHOTS, Screenshot  # noqa: E402

CAPTION = 'Ondrel Update'
DIALOG = '#32770'
INFO_PATH = '/update/info.xml'
FEED_PATH = '/rss/feed.xml'
TCM_SETCURFOCUS = 0x1330
WM_LBUTTONDOWN, WM_LBUTTONUP = 0x201, 0x202
WM_KEYDOWN, WM_SYSCHAR, VK_TAB, VK_RETURN, VK_ESCAPE = 0x100, 0x106, 0x09, 0x0D, 0x1B
ALT_DOWN = 0x20000000  # WM_SYSCHAR's context bit: the Alt key is held
FOCUS = -1  # a posted key goes to the window's keyboard focus, as typed keys do
VIEW = 0x7F01  # the built-in HTML view inside 1002
SETTING = 'Ondrel Update Setting'
MAIN_DIALOG_WIDTH = 400  # at least, on the screen; the gathering window of the same caption is narrower
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


def screen_pixels(path, rect):
    """RGB tuples of a rectangle (left, top, right, bottom) of a screenshot, row by row."""
    left, top, right, bottom = rect
    raw = subprocess.run(['convert', str(path), '-crop', '%dx%d+%d+%d' % (right - left, bottom - top, left, top),
                          '+repage', '-depth', '8', 'rgb:-'], capture_output=True, check=True).stdout
    return [tuple(raw[i:i + 3]) for i in range(0, len(raw), 3)]


def close_glyph_is_a_cross(path, window_rect):
    """True when the close button of the window's caption shows a cross: the glyph comes from the
    window frame's symbol font, not a letter standing in for it (as where the font is missing).
    The button is the light box at the right end of the caption (in the rows whose left end is
    the caption's colour, not the frame's); its dark pixels must be mirror images of each other
    about the glyph's middle."""
    left, top, right, _ = window_rect
    band = (right - 40, top, right - 5, top + 26)  # inside the frame
    width = band[2] - band[0]
    pixels = screen_pixels(path, band)
    caption_rows = {y for y in range(band[3] - band[1]) if sum(pixels[y * width]) < 650}
    light = [(i % width, i // width) for i, p in enumerate(pixels) if sum(p) >= 650 and i // width in caption_rows]
    if not light:
        return False
    x0, x1 = min(x for x, _ in light), max(x for x, _ in light)
    y0, y1 = min(y for _, y in light), max(y for _, y in light)
    dark = {(x, y) for x in range(x0, x1) for y in range(y0, y1) if sum(pixels[y * width + x]) < 450}
    if len(dark) < 8:
        return False
    gx0, gx1 = min(x for x, _ in dark), max(x for x, _ in dark)
    mirrored = sum((gx0 + gx1 - x, y) in dark for x, y in dark)
    return mirrored >= 0.9 * len(dark)


def default_picture():
    """The default news picture (bitmap 113, 32x16, 24 bits, rows bottom-up) as RGB rows from the top."""
    data = (SRC / 'tarnbeam' / 'resources' / 'news_default.bmp').read_bytes()[54:]
    rows = [data[y * 96:(y + 1) * 96] for y in range(16)][::-1]
    return [[(r[x * 3 + 2], r[x * 3 + 1], r[x * 3]) for x in range(32)] for r in rows]


def picture_at(pixels, width, height, expected):
    """True when the 32x16 picture `expected` (rows of RGB) appears somewhere in the pixels of a
    width x height rectangle."""
    for dy in range(height - 15):
        for dx in range(width - 31):
            if all(pixels[(dy + y) * width + dx + x] == expected[y][x] for y in range(16) for x in range(32)):
                return True
    return False


def main_snapshots(report):
    """The main dialog's snapshots in the order they were taken."""
    return [w for w in report['windows']
            if w['caption'] == CAPTION and any(c['id'] == TABS for c in w.get('controls', []))]


class MainDialog(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.web = WebServer().__enter__()
        reg = []
        for name, option in (('MainNewer', 1), ('MainFailed', 1), ('MainCurrent', 2), ('MainPictures', 1),
                             ('MainKeys', 1)):
            reg += [('HKCU\\Software\\Ondrel\\' + name, 'ShowHello', 'REG_DWORD', 0 if name == 'MainCurrent' else 1),
                    ('HKCU\\Software\\Ondrel\\' + name, 'ShowOption', 'REG_DWORD', option)]
        # A ShowOption of another 4-byte type (2) and no first-run notice yet.
        reg += [('HKCU\\Software\\Ondrel\\MainLarge', 'ShowOption', 'REG_BINARY', b'\x02\x00\x00\x00')]
        cls.prefix = Prefix(server=cls.web, reg=reg).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)
        cls.web.__exit__(None, None, None)

    def run_dialog(self, name, args, rules, locale='en', shot=None, xml=None):
        app = self.prefix.app_dir(name, {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': xml or config(name)})
        taker = None
        if shot:
            taker = Screenshot(CAPTION, SHOTS / shot, min_width=MAIN_DIALOG_WIDTH)
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
        self.assertTrue(close_glyph_is_a_cross(SHOTS / 'main_dialog_en.png', first['rect']),
                        'the caption draws its buttons without the window frame\'s font')
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

    def test_news_pictures_reselection_and_enter(self):
        """Started by the user with news and no newer version: the news tab, each row with its
        category's picture as drawn on the screen (a 16x16 picture centred in the 32x16 cell, a
        32x16 one whole, the default picture where the category has none or an oversized
        one); selecting the rendered row again leaves the view alone, another row renders;
        Enter closes the dialog."""
        self.web.route(INFO_PATH, host=HOST, body=info(0), content_type='text/xml')
        red, green = (255, 0, 0), (0, 160, 0)
        pictures = {'narrow': png_bytes(16, 16, 2, fill=red), 'exact': png_bytes(32, 16, 6, fill=green + (255,)),
                    'huge': png_bytes(1100, 4, 2, fill=(0, 0, 255))}
        for name, body in pictures.items():
            self.web.route('/rss/img/%s.png' % name, host=HOST, body=body, content_type='image/png')
        categories = ['none', 'narrow', 'exact', 'huge', 'none']
        feed = rss(*[item(title=c, category=c, date='Mon, 0%d Jan 2006 10:00:00 GMT' % (9 - i),
                          description='<p>About %s %d</p>' % (c, i)) for i, c in enumerate(categories)])
        self.web.route(FEED_PATH, host=HOST, body=feed, content_type='text/xml')
        rules = [Rule(CAPTION, cls=DIALOG, delay=2500, times=1, set_text={VIEW: 'marker'},
                      select_item={NEWS_LIST: 0}),
                 Rule(CAPTION, cls=DIALOG, delay=3500, times=1, select_item={NEWS_LIST: 1}),
                 Rule(CAPTION, cls=DIALOG, delay=4500, times=1, post=[(FOCUS, WM_KEYDOWN, VK_RETURN, 0)])]
        rep = self.run_dialog('MainPictures', ['/hwnd:{HWND}'], rules, shot='main_dialog_pictures.png')
        first, reselected, other = main_snapshots(rep)[:3]
        news = control(first, NEWS_LIST)
        self.assertEqual(control(first, TABS)['selectedTab'], 1)
        self.assertEqual([row[0][13:] for row in news['items']], categories)
        self.assertEqual(news['itemImages'][0], 0)
        self.assertEqual(news['itemImages'][3:], [0, 0])
        shot = SHOTS / 'main_dialog_pictures.png'
        narrow = [[red if 8 <= x < 24 else (255, 255, 255) for x in range(32)] for _ in range(16)]
        expected = {1: narrow, 2: [[green] * 32] * 16, 3: default_picture(), 4: default_picture()}
        for row, picture in expected.items():
            left, top, right, bottom = news['iconRects'][row]
            pixels = screen_pixels(shot, news['iconRects'][row])
            self.assertTrue(picture_at(pixels, right - left, bottom - top, picture),
                            'row %d (%s) does not show its picture' % (row, categories[row]))
        # The selected row is drawn blended with the selection colour: only "something is there".
        drawn = [p for p in screen_pixels(shot, news['iconRects'][0]) if p != (255, 255, 255)]
        self.assertGreater(len(drawn), 200)
        self.assertEqual(view_text(reselected), 'marker')
        self.assertEqual(view_text(other), 'About narrow 1')
        self.assertTrue(other['actionResult'].startswith('posted'))

    def test_keyboard(self):
        """A newer version (tab 0, Update enabled): Tab walks the controls in the template's
        order, Alt+O opens the options dialog, Esc closes the dialog."""
        self.web.route(INFO_PATH, host=HOST, body=info(1), content_type='text/xml')
        self.web.route(FEED_PATH, host=HOST, body=FEED, content_type='text/xml')
        tab = [(FOCUS, WM_KEYDOWN, VK_TAB, 0)]
        rules = [Rule(CAPTION, cls=DIALOG, delay=2500 + 500 * i, times=1, post=tab) for i in range(6)]
        rules += [Rule(CAPTION, cls=DIALOG, delay=5500, times=1, post=[(FOCUS, WM_SYSCHAR, ord('o'), ALT_DOWN)]),
                  Rule(SETTING, cls=DIALOG, delay=1000, press='Cancel'),
                  Rule(CAPTION, cls=DIALOG, delay=8500, times=1, post=[(FOCUS, WM_KEYDOWN, VK_ESCAPE, 0)])]
        rep = self.run_dialog('MainKeys', ['/hwnd:{HWND}'], rules)
        snaps = main_snapshots(rep)
        focus = [snap['focus']['id'] for snap in snaps[:7]]
        # From the update list: the tab control, Options, Close, Update, the HTML view, and
        # round to the update list (the hidden news list is skipped).
        self.assertEqual(focus, [UPDATE_LIST, TABS, 1009, 1, UPDATE, 1002, UPDATE_LIST])
        self.assertEqual(len([w for w in rep['windows'] if w['caption'] == SETTING]), 1)
        self.assertEqual(snaps[-1]['actionResult'], 'posted')

    def test_large_feed_and_descriptions(self):
        """An automatic first run of a current product with ShowOption 2 stored as REG_BINARY, a
        long NoUpdateDescription, and a feed of 10,000 items in 100 categories whose pictures
        are broken, the newest with a long description: the dialog opens on tab 0 (the option
        counts as 2, not as the default 1), keeps answering, lists every item with the default
        picture, shows both long descriptions whole and writes the marker of the newest item."""
        # 64 KB: one paragraph this long took the view 40 s to lay out before it was cut into pieces.
        long_text = ' '.join(['abcdefg'] * 8192)
        xml = config('MainLarge').replace('Installed: $$APPVERSION$$ ($$APPVERSION$$)',
                                          'Big %s $$APPVERSION$$' % long_text)
        self.web.route(INFO_PATH, host=HOST, body=info(0), content_type='text/xml')
        # A failed picture is fetched again for the next item of its category: only the first
        # 200 items name the picture folder, or the run would spend minutes on 10,000 requests.
        items = [item(title='n%05d' % i, category='c%d' % (i % 100), domain=PICS if i < 200 else None,
                      date='Mon, 02 Jan 2006 %02d:%02d:%02d GMT' % (i // 3600, i // 60 % 60, i % 60),
                      description='<p>Long %s</p>' % long_text if i == 9999 else '<p>Item %d</p>' % i)
                 for i in range(10000)]
        self.web.route(FEED_PATH, host=HOST, body=rss(*items), content_type='text/xml')
        for c in range(100):
            self.web.route('/rss/img/c%d.png' % c, host=HOST, body=png_bytes()[:60], content_type='image/png')
        # No `times`: the gathering window has the dialog's caption and class and may be up
        # longer than the delays; the steps find nothing there.
        rules = [Rule(CAPTION, cls=DIALOG, press='OK', times=1),  # the first-run notice
                 Rule(CAPTION, cls=DIALOG, delay=3000, send=[(TABS, TCM_SETCURFOCUS, 1, 0)]),
                 Rule(CAPTION, cls=DIALOG, delay=4500, press='Close')]
        rep = self.run_dialog('MainLarge', ['/AutoCheck', '/hwnd:{HWND}'], rules, xml=xml)
        first, news = main_snapshots(rep)[:2]
        self.assertTrue(first['responsive'] and news['responsive'])
        self.assertEqual(control(first, TABS)['selectedTab'], 0)
        self.assertFalse(control(first, UPDATE)['enabled'])
        # The view cuts a paragraph this long into pieces; joined, they are the text.
        self.assertTrue(view_text(first).replace('\n', ' ') == 'Big %s 4.06.00' % long_text)
        self.assertEqual(control(news, TABS)['selectedTab'], 1)
        self.assertEqual(control(news, NEWS_LIST)['itemCount'], 10000)
        self.assertEqual(control(news, NEWS_LIST)['items'][0], ['[2006/01/02] n09999'])
        self.assertEqual(set(control(news, NEWS_LIST)['itemImages']), {0})
        self.assertTrue(view_text(news).replace('\n', ' ') == 'Long ' + long_text)
        self.assertEqual(self.prefix.reg_query('HKCU\\Software\\Ondrel\\MainLargeCommon', 'LastRSSItemDate'),
                         '2006/01/02 11:46:39')
        self.assertEqual(sum(len(self.web.requests('/rss/img/c%d.png' % c, host=HOST)) for c in range(100)), 200)


class SmallScreen(unittest.TestCase):
    """On a 640x480 screen the dialog (about 690x600 pixels) is placed with its top-left corner
    at the screen's."""

    def test_dialog_larger_than_the_screen(self):
        display = ensure_display()  # this process's own display stays the default
        xvfb, os.environ['DISPLAY'] = start_xvfb('640x480x24')
        try:
            with WebServer() as web, Prefix(server=web, reg=[(r'HKCU\Software\Ondrel\MainSmall', 'ShowHello',
                                                              'REG_DWORD', 1)]) as p:
                web.route(INFO_PATH, host=HOST, body=info(1), content_type='text/xml')
                web.route(FEED_PATH, host=HOST, body=FEED, content_type='text/xml')
                app = p.app_dir('MainSmall', {'tarnbeam.exe': exe_path('tarnbeam'),
                                              'tarnbeam.xml': config('MainSmall')})
                rep = p.run_host(app + r'\tarnbeam.exe', ['/hwnd:{HWND}'],
                                 rules=[Rule(CAPTION, cls=DIALOG, delay=2500, press='Close')], timeout=60)
        finally:
            os.environ['DISPLAY'] = display
            xvfb.terminate()
            xvfb.wait(10)
        dialog = main_snapshots(rep)[0]
        left, top, right, bottom = dialog['rect']
        self.assertGreater(right - left, 640)
        self.assertGreater(bottom - top, 480)
        self.assertEqual((left, top), (0, 0))


if __name__ == '__main__':
    unittest.main()
