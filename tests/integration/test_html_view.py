"""The HTML view in a window under Wine, read from another process: where Wine's browser control
has no document, the built-in view shows each page as text. Catches text that differs from what
the page says (scripts and styles shown, entities not decoded, list markers, alt texts, heading
spacing), links that do not reach the user's browser (the recording program registered for
http and https) or reach it when they must not (javascript:), a page that does not replace the
one before, and the focus not returning to the list the page was chosen from. Screenshots of
the window (English and Japanese) are kept in TB_BIN/screenshots."""

import os
import re
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import BIN, Prefix, Rule, exe_path  # noqa: E402

WM_APP = 0x8000
SHOW_NEXT = WM_APP + 1
CLICK_AT = WM_APP + 2
HOST_ID = 1002
LIST_ID = 1003
VIEW_CLASS = 'RICHEDIT50W'
SHOTS = BIN / 'screenshots'

# The first page of each run is the one on the screenshot.
SHOWCASE_EN = (
    '<h1>Version 5.2 released</h1>\n'
    '<p>This release brings <b>faster downloads</b> and <i>clearer messages</i>.</p>\n'
    '<ul>\n  <li>New download engine</li>\n  <li>Fixed &quot;retry&quot; &amp; resume</li>\n</ul>\n'
    '<p>Read the <a href="http://example.test/notes">release notes</a> before you update.</p>',
    'Version 5.2 released\n\nThis release brings faster downloads and clearer messages.\n\n'
    '\u2022 New download engine\n\u2022 Fixed "retry" & resume\n\n'
    'Read the release notes before you update.')

# (page, text the view shows); paragraph ends written as '\n'.
CASES_EN = [
    SHOWCASE_EN,
    ('<p>Before</p><script>document.write("<p>injected</p>")</script>'
     '<style>p { color: red }</style><p>After</p>',
     'Before\n\nAfter'),
    ('<p>&lt;b&gt; &amp;amp; &copy; 2024 &#8364;5 &#x41;&#66; &#150;</p>',
     '<b> &amp; \u00a9 2024 \u20ac5 AB \u2013'),
    ('<ol start="3"><li>Third</li><li>Fourth</li></ol><ul><li>Dot</li></ul>',
     '3. Third\n4. Fourth\n\n\u2022 Dot'),
    ('<p>Logo: <img src="logo.png" alt="Company logo"> and <img src="x.png"> done</p>',
     'Logo: Company logo and done'),
    ('<h2>Release notes</h2>text after<h3>Details</h3><p>More</p>',
     'Release notes\n\ntext after\n\nDetails\n\nMore'),
]

LINKS_PAGE = ('<p>Open <a href="http://example.test/news?id=7">the news</a>, '
              '<a href="javascript:alert(1)">run this</a>, '
              '<a href="file://server/share/x.exe">the share</a>, '
              '<a href="C:\\Windows\\System32\\calc.exe">the program</a>, '
              '<a href="\\\\host\\share">the host</a>, '
              '<a href="ms-settings:windowsupdate">the settings</a>, '
              '<a href="tbcustom:run">the custom</a>, '
              '<a href="mailto:support@example.test">write</a> or '
              '<a href="https://example.test/secure">the secure page</a>.</p>'
              '<meta http-equiv="refresh" content="0;url=tbcustom:refresh"><iframe src="tbcustom:frame"></iframe>'
              '<object data="tbcustom:object"></object>')
LINKS_TEXT = ('Open the news, run this, the share, the program, the host, the settings, the custom, write '
              'or the secure page.')
# Clicked in this order; only http, https and mailto addresses reach the handlers registered for
# them (the recorder stands in for every scheme of the page that could have one).
CLICKS = ['run this', 'the share', 'the program', 'the host', 'the settings', 'the custom', 'the news', 'write',
          'the secure page']
OPENED = ['http://example.test/news?id=7', 'mailto:support@example.test', 'https://example.test/secure']
RECORDED_SCHEMES = ('http', 'https', 'mailto', 'ms-settings', 'tbcustom')

SHOWCASE_JA = (
    '<h1>バージョン 5.2 を公開しました</h1>'
    '<p>ダウンロードが<b>速く</b>なりました。'
    '詳しくは<a href="http://example.test/ja">リリースノート</a>をご覧ください。</p>'
    '<ul><li>新しいダウンロード機能</li><li>「再試行」の修正</li></ul>',
    'バージョン 5.2 を公開しました\n\n'
    'ダウンロードが速くなりました。詳しくはリリースノートをご覧ください。\n\n'
    '\u2022 新しいダウンロード機能\n'
    '\u2022 「再試行」の修正')

CAPTION = {'en': 'HTML view test', 'ja': 'HTML view test (ja)'}
FIRST_DELAY_MS = 2500  # the first page stays this long: the screenshot is taken meanwhile
STEP_MS = 500


def view_text(snapshot):
    """The built-in view's text as the control holds it: paragraph ends as CR only."""
    views = [c for c in snapshot['controls'] if c['class'].upper() == VIEW_CLASS]
    if len(views) != 1:
        raise AssertionError('expected one visible built-in view, found %r' % views)
    return views[0], views[0]['text'].replace('\r\n', '\r')


def shown(snapshot):
    view, text = view_text(snapshot)
    return view['visible'], text.replace('\r', '\n')


class Screenshot(threading.Thread):
    """Takes a picture of the whole screen once a window with this caption, at least min_width
    pixels wide, is on it."""

    def __init__(self, caption, path, min_width=0):
        super().__init__(daemon=True)
        self.caption, self.path, self.min_width, self.taken = caption, path, min_width, False

    def shown(self):
        tree = subprocess.run(['xwininfo', '-root', '-tree'], capture_output=True, timeout=10).stdout
        # Lines read: 0x1a00004 "caption": ("program" "Wine")  690x620+295+202  +295+202
        pattern = r'"%s":.*?\s(\d+)x\d+[+-]' % re.escape(self.caption)
        return any(int(m.group(1)) >= self.min_width
                   for m in re.finditer(pattern, tree.decode('utf-8', 'replace')))

    def run(self):
        deadline = time.time() + 60
        while time.time() < deadline:
            if self.shown():
                time.sleep(1.2)  # painted, and the focus handed back
                SHOTS.mkdir(parents=True, exist_ok=True)
                r = subprocess.run(['import', '-window', 'root', str(self.path)], capture_output=True,
                                   timeout=30)
                self.taken = r.returncode == 0 and self.path.exists()
                return
            time.sleep(0.2)


class HtmlView(unittest.TestCase):
    def run_window(self, p, pages, rules, locale, shot_name):
        files = {'urlrecorder.exe': exe_path('urlrecorder')}
        for i, page in enumerate(pages):
            files['page%d.html' % i] = page
        app = p.app_dir('HtmlView', files)
        shot = Screenshot(CAPTION[locale], SHOTS / shot_name)
        shot.start()
        rep = p.run_host(exe_path('htmlview_window'), [app + '\\page%d.html' % i for i in range(len(pages))],
                         rules=rules, timeout=90, locale=locale)
        shot.join(30)
        self.assertTrue(shot.taken, 'no screenshot of the window')
        self.assertEqual(rep['exitCode'], 0, rep['stderr'][-2000:])
        return app, rep

    def test_pages_links_and_focus(self):
        pages = [page for page, _ in CASES_EN] + [LINKS_PAGE, LINKS_PAGE]
        caption = CAPTION['en']
        rules = []
        # Snapshot each case, then show the next page.
        for i in range(len(CASES_EN)):
            rules.append(Rule(caption, send=[(0, SHOW_NEXT, 0, 0)], delay=FIRST_DELAY_MS + i * STEP_MS))
        text = LINKS_TEXT
        clicks = [(0, CLICK_AT, text.index(label) + 1, 0) for label in CLICKS]
        rules.append(Rule(caption, send=clicks + [(0, SHOW_NEXT, 0, 0)],
                          delay=FIRST_DELAY_MS + len(CASES_EN) * STEP_MS))
        rules.append(Rule(caption, close=True, delay=FIRST_DELAY_MS + (len(CASES_EN) + 1) * STEP_MS))

        with Prefix() as p:
            recorder = '"C:\\HtmlView\\urlrecorder.exe" "%1"'
            p.reg_set_many([('HKCR\\%s\\shell\\open\\command' % scheme, '', 'REG_SZ', recorder)
                            for scheme in RECORDED_SCHEMES] +
                           [('HKCR\\%s' % scheme, 'URL Protocol', 'REG_SZ', '') for scheme in RECORDED_SCHEMES])
            app, rep = self.run_window(p, pages, rules, 'en', 'html_view_en.png')
            log = p.hostpath(app + '\\urlrecorder.log')
            deadline = time.time() + 20
            while time.time() < deadline and len(self._lines(log)) < len(OPENED):
                time.sleep(0.2)
            time.sleep(1)  # a third line would be a link that must not open
            lines = self._lines(log)

        snaps = [w for w in rep['windows'] if w['reason'] == 'rule']
        self.assertEqual(len(snaps), len(rules), [w['actionResult'] for w in snaps])
        for snap, (_, expected) in zip(snaps, CASES_EN):
            visible, got = shown(snap)
            self.assertTrue(visible)
            self.assertEqual(got, expected)
        # The view covers the host's client area (inside its 2-pixel client edge).
        host = [c for c in snaps[0]['controls'] if c['id'] == HOST_ID][0]
        view, _ = view_text(snaps[0])
        h, v = host['rect'], view['rect']
        self.assertEqual((v[0] - h[0], v[1] - h[1], h[2] - v[2], h[3] - v[3]), (2, 2, 2, 2))
        # The page was shown while the dialog initialised; the focus still went to the list.
        self.assertEqual(snaps[0]['focus']['id'], LIST_ID)

        links, again = snaps[len(CASES_EN)], snaps[len(CASES_EN) + 1]
        self.assertEqual(shown(links)[1], LINKS_TEXT)
        self.assertEqual(links['actionResult'], ','.join(['sent:1'] * (len(CLICKS) + 1)))
        # The same page again replaces the text, and the focus is back on the list.
        self.assertEqual(shown(again)[1], LINKS_TEXT)
        self.assertEqual(again['focus']['id'], LIST_ID)
        # Each click starts its own recorder: the lines may come in either order.
        self.assertEqual(sorted(lines), sorted('"C:\\HtmlView\\urlrecorder.exe" "%s"' % a for a in OPENED))

    def test_japanese_page(self):
        caption = CAPTION['ja']
        rules = [Rule(caption, close=True, delay=FIRST_DELAY_MS)]
        with Prefix() as p:
            _, rep = self.run_window(p, [SHOWCASE_JA[0]], rules, 'ja', 'html_view_ja.png')
        snap = [w for w in rep['windows'] if w['reason'] == 'rule'][0]
        visible, got = shown(snap)
        self.assertTrue(visible)
        self.assertEqual(got, SHOWCASE_JA[1])
        self.assertEqual(snap['focus']['id'], LIST_ID)

    @staticmethod
    def _lines(path):
        try:
            return path.read_bytes().decode('utf-8').splitlines()
        except OSError:
            return []


if __name__ == '__main__':
    unittest.main()
