#!/usr/bin/env python3
"""The built-in demo: both programs' main jobs under Wine on the data in demo/, start to end.

1. The update client of the demo product "Pakkit 6" (installed 4.6) against a local web server
   that serves demo/server as the maker's server (every host name is routed to it). A code-signing
   root and a publisher certificate are made for this run (openssl); the root is imported into the
   demo's Wine prefix, and the client and the demo's update program (demo/installer) are signed by
   that publisher (osslsigncode). The client finds version 4.7, shows its main dialog (both tabs),
   the options dialog, and on Update downloads the program with its progress window, checks its
   MD5 and signature and starts it; the update program shows the folder it was started from. The
   main dialog is shown in Japanese as well; an integrated product's automatic check then only
   notifies its host.
2. The archive builder opens a project over demo/cabforge in its window (English and Japanese),
   creates the cabinet with the window's own "Create as..." command, and cabextract lists it; the
   unattended command line packs the same folder too.

Every picture is of one window, cut to its rectangle; their paths are printed. A failing step
says which and ends the demo with exit code 1. With --update-readme-pictures the README's
pictures (docs/pictures) are made anew from this run.
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SRC = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SRC / 'tests' / 'integration'))
import codesign  # noqa: E402
import harness  # noqa: E402
from harness import Prefix, Rule, WebServer, exe_path  # noqa: E402

DEMO = SRC / 'demo'
SHOTS = harness.BIN / 'screenshots'
README_PICTURES = SRC / 'docs' / 'pictures'
# The README shows these, made small: (picture of this run, name in docs/pictures).
README_CHOICE = [('demo_main_updates_en.png', 'update-client.png'), ('demo_progress_en.png', 'download.png'),
                 ('demo_cabforge_en.png', 'archive-builder.png')]

MAIN, SETTING, UPDATE_BOX = 'Ondrel Update', 'Ondrel Update Setting', 'Update Program'
INSTALLER = 'Pakkit 6 4.7 setup (demo)'
BUILDER = 'Pakkit Compressor'
DIALOG = '#32770'
TCM_SETCURFOCUS = 0x1330
TABS, UPDATE, IDOK = 1000, 1006, 1
CREATE_AS = 1002
FILE_NAME_BOX = 1148  # the file dialog's name field
MAIN_MIN_WIDTH = 400  # the gathering window has the main dialog's caption but is narrower
PICTURE_MARGIN = 4
PRODUCT_KEY = r'HKCU\Software\Ondrel\Pakkit 6\Update'
INSTALLER_URL_PATH = '/update/pakkit6-470.exe'
DEMO_PUBLISHER = '/C=JP/O=Ondrel Co., Ltd. (demo)/CN=Ondrel Co., Ltd. (demo)'


class StepFailed(Exception):
    pass


class Step:
    """`with Step('what'):` turns any failure inside into StepFailed naming the step."""

    def __init__(self, name):
        self.name = name

    def __enter__(self):
        return self

    def __exit__(self, kind, value, _):
        if kind is None or kind is StepFailed:
            return False
        raise StepFailed('%s: %s' % (self.name, value or kind.__name__)) from value


def check(condition, what):
    if not condition:
        raise StepFailed(what)


# ---- pictures of one window -------------------------------------------------------------------

def top_windows():
    """(X window id, caption, x, y, width, height) of the screen's top-level windows."""
    tree = subprocess.run(['xwininfo', '-root', '-children'], capture_output=True, timeout=10).stdout
    out = []
    # 0x1a00004 "caption": ("program" "Wine")  690x620+295+202  +295+202
    for m in re.finditer(r'^\s*(0x[0-9a-f]+) "(.*?)": \(.*?\)\s+(\d+)x(\d+)[+-]\d+[+-]\d+\s+\+(-?\d+)\+(-?\d+)',
                         tree.decode('utf-8', 'replace'), re.M):
        xid, caption, w, h, x, y = m.groups()
        out.append((xid, caption, int(x), int(y), int(w), int(h)))
    return out


class WindowPicture(threading.Thread):
    """A picture of the nth window (in order of appearance) with this caption, at least min_width
    wide, taken `at` seconds after it appeared, cut to its rectangle with a small margin."""

    def __init__(self, caption, name, at=1.2, nth=1, min_width=0):
        super().__init__(daemon=True)
        self.caption, self.path, self.at, self.nth, self.min_width = caption, SHOTS / name, at, nth, min_width
        self.taken = False

    def run(self):
        seen = []
        deadline = time.time() + 90
        while time.time() < deadline:
            for xid, caption, *_ in top_windows():
                if caption == self.caption and xid not in seen and self.width(xid) >= self.min_width:
                    seen.append(xid)
            if len(seen) >= self.nth:
                time.sleep(self.at)
                self.shoot(seen[self.nth - 1])
                return
            time.sleep(0.1)

    @staticmethod
    def width(xid):
        return next((w for i, _, _, _, w, _ in top_windows() if i == xid), 0)

    def shoot(self, xid):
        window = next((w for w in top_windows() if w[0] == xid), None)
        if window is None:
            return
        _, _, x, y, w, h = window
        left, top = max(0, x - PICTURE_MARGIN), max(0, y - PICTURE_MARGIN)
        SHOTS.mkdir(parents=True, exist_ok=True)
        crop = '%dx%d+%d+%d' % (w + 2 * PICTURE_MARGIN, h + 2 * PICTURE_MARGIN, left, top)
        r = subprocess.run(['import', '-window', 'root', '-crop', crop, '+repage', str(self.path)],
                           capture_output=True, timeout=30)
        self.taken = r.returncode == 0 and self.path.exists()


def take_pictures(pictures, run):
    """Runs `run()` while the pictures wait for their windows; returns run()'s result and the
    paths of the pictures taken."""
    for p in pictures:
        p.start()
    result = run()
    for p in pictures:
        p.join(20)
    missing = [p.path.name for p in pictures if not p.taken]
    check(not missing, 'no picture of %s' % ', '.join(missing))
    return result, [p.path for p in pictures]


# ---- the publisher of this run ------------------------------------------------------------------

class DemoPublisher:
    """A code-signing root and a publisher certificate made for this run only, in a scratch folder
    that the demo removes again."""

    def __init__(self, folder):
        self.folder = folder
        self.keys = codesign.make_keys(folder, {'root': 'Ondrel demo code-signing root'},
                                       {'maker': (DEMO_PUBLISHER, 'root')}, days=30)

    def root_der(self):
        return self.keys.root_der('root')

    def sign(self, src, name):
        dst = os.path.join(self.folder, name)
        self.keys.sign(src, dst, 'maker', description=name)
        with open(dst, 'rb') as f:
            return f.read()


# ---- the update client --------------------------------------------------------------------------

def serve_demo(web, installer):
    """demo/server as the maker's server, the version document naming the update program's MD5;
    the program comes slowly enough for its progress window to be seen."""
    for f in sorted((DEMO / 'server').rglob('*')):
        if f.is_file():
            rel = '/' + f.relative_to(DEMO / 'server').as_posix()
            body = f.read_bytes()
            if f.name == 'versioninfo.xml':
                body = body.replace(b'00000000000000000000000000000000',
                                    hashlib.md5(installer).hexdigest().encode('ascii'))
            web.route(rel, body=body, content_type='image/png' if f.suffix == '.png' else 'text/xml')
    web.route(INSTALLER_URL_PATH, body=installer, stall_during=2.5)


def update_client(publisher, summary):
    print('== Update client (tarnbeam.exe)')
    print('  what it trusts: documents and programs from *.ondrel.com.jp only, every redirect checked;')
    print('  no DTDs; links leave the view only for http, https and mailto; it starts only a program')
    print('  whose MD5 is published and whose signature is its own publisher\'s (see README, Security)')
    with Step('signing the demo client and update program'):
        client = publisher.sign(exe_path('tarnbeam'), 'tarnbeam.exe')
        installer = publisher.sign(exe_path('pakkit6_setup_demo'), 'pakkit6-470.exe')
    config = (DEMO / 'tarnbeam' / 'tarnbeam.xml').read_text(encoding='utf-8')
    with WebServer() as web, Prefix(server=web, ca=publisher.root_der(),
                                    reg=[(PRODUCT_KEY, 'ShowHello', 'REG_DWORD', 1)]) as p:
        serve_demo(web, installer)
        files = {'tarnbeam.exe': client, 'tarnbeam.xml': config}
        with Step('the update, from the check to the started update program'):
            app = p.app_dir('Program Files/Pakkit 6', files)
            log = p.root / 'installer.log'
            pictures = [WindowPicture(MAIN, 'demo_main_updates_en.png', at=1.5, nth=1, min_width=MAIN_MIN_WIDTH),
                        WindowPicture(MAIN, 'demo_main_news_en.png', at=4.2, nth=1, min_width=MAIN_MIN_WIDTH),
                        WindowPicture(SETTING, 'demo_options_en.png', at=1.0),
                        WindowPicture(UPDATE_BOX, 'demo_progress_en.png', at=1.0, nth=2),
                        WindowPicture(INSTALLER, 'demo_installer_en.png', at=1.5)]
            rules = [Rule(MAIN, cls=DIALOG, delay=3000, times=1, send=[(TABS, TCM_SETCURFOCUS, 1, 0)]),
                     Rule(MAIN, cls=DIALOG, delay=5500, times=1, press='Options...'),
                     Rule(SETTING, cls=DIALOG, delay=2000, press='Cancel'),
                     Rule(MAIN, cls=DIALOG, delay=8500, times=1, send=[(TABS, TCM_SETCURFOCUS, 0, 0)]),
                     Rule(MAIN, cls=DIALOG, delay=9500, times=1, press='id:%d' % UPDATE, when_enabled=True),
                     Rule(UPDATE_BOX, cls=DIALOG, press='Yes', times=1)]
            rep, shots = take_pictures(pictures, lambda: p.run_host(
                app + r'\tarnbeam.exe', ['/hwnd:{HWND}'], rules=rules, timeout=60,
                env={'TB_DEMO_LOG': p.winpath(log)}))
            boxes = [c['text'] for w in rep['windows'] if w['caption'] == UPDATE_BOX for c in w['controls']
                     if 'Code=' in c['text'] or 'Could not' in c['text']]
            check(not boxes, 'the update failed: %s' % boxes)
            check(rep['exitCode'] == 0 and not rep['timedOut'], 'the client did not end as after a start')
            check(log.exists(), 'the update program was not started')
            started = log.read_text(encoding='utf-8').split(' ', 1)[1].strip()
            fetched = [r for r in web.requests() if r['path'] == INSTALLER_URL_PATH]
            print('  found Pakkit 6 4.7 (installed 4.6), downloaded %d bytes from %s' % (len(installer),
                                                                                     fetched[0]['url']))
            print('  MD5 %s and the signature of "%s" checked;' % (hashlib.md5(installer).hexdigest(),
                                                                   DEMO_PUBLISHER[1:].replace('/', ', ')))
            print('  started %s' % started)
            check(started.startswith('C:\\ProgramData\\Ondrel\\Pakkit 6\\Updates\\dl-'), 'started elsewhere')
            summary.append('Pakkit 6 4.7 found, downloaded, verified and started from %s' % started.rsplit('\\', 1)[0])

        with Step('the main dialog in Japanese'):
            app_ja = p.app_dir('Program Files/Pakkit 6 ja', files)
            pictures = [WindowPicture(MAIN, 'demo_main_updates_ja.png', at=1.5, min_width=MAIN_MIN_WIDTH),
                        WindowPicture(MAIN, 'demo_main_news_ja.png', at=4.2, min_width=MAIN_MIN_WIDTH)]
            rules = [Rule(MAIN, cls=DIALOG, delay=3000, times=1, send=[(TABS, TCM_SETCURFOCUS, 1, 0)]),
                     Rule(MAIN, cls=DIALOG, delay=5000, press='id:%d' % IDOK)]
            rep, shots_ja = take_pictures(pictures, lambda: p.run_host(
                app_ja + r'\tarnbeam.exe', ['/hwnd:{HWND}'], rules=rules, timeout=60, locale='ja'))
            shots += shots_ja

        with Step('an integrated automatic check'):
            integrated = config.replace('<IntegrateMode>0</IntegrateMode>', '<IntegrateMode>1</IntegrateMode>')
            app2 = p.app_dir('Program Files/Pakkit 6 Integrated', dict(files, **{'tarnbeam.xml': integrated}))
            rep = p.run_host(app2 + r'\tarnbeam.exe', ['/AutoCheck', '/hwnd:{HWND}', '/NotifyWindow:{HWND}'],
                             timeout=60)
            print('  integrated automatic check: exit code %d, notifications to the host: %d' % (
                rep['exitCode'], len(rep['notifications'])))
            check(len(rep['notifications']) == 1, 'the host was not notified')
    return shots


# ---- the archive builder ------------------------------------------------------------------------

def project_over(folder_win, folder_host):
    """A project file holding every file below the folder, in folders of the same names."""
    def entries(host, win):
        parts = []
        for child in sorted(host.iterdir()):
            if child.is_dir():
                parts.append('<Folder Name="%s">%s</Folder>' % (child.name, entries(child, win + '\\' + child.name)))
            else:
                parts.append('<File>%s\\%s</File>' % (win, child.name))
        return ''.join(parts)
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<PakkitCompressorProject>%s'
            '</PakkitCompressorProject>' % entries(folder_host, folder_win))


# The window's stored placement and pane width: a window of a useful size for its pictures.
BUILDER_LAYOUT = [(r'HKCU\Software\Ondrel\Pakkit 6\Compressor', 'PaneWidth', 'REG_DWORD', 330)] + [
    (r'HKCU\Software\Ondrel\Pakkit 6\Compressor\Window', name, 'REG_DWORD', value)
    for name, value in (('ShowCmd', 1), ('NormalPositionL', 60), ('NormalPositionT', 40), ('NormalPositionR', 760),
                        ('NormalPositionB', 500))]
WM_KEYDOWN, VK_DOWN, VK_RIGHT = 0x100, 0x28, 0x27
KEYBOARD_FOCUS = -1
# Down to the Docs folder of the tree, and open it.
OPEN_DOCS = [(KEYBOARD_FOCUS, WM_KEYDOWN, VK_DOWN, 0), (KEYBOARD_FOCUS, WM_KEYDOWN, VK_RIGHT, 0)]


def archive_builder(summary):
    print('== Archive builder (cabforge.exe)')
    with Prefix(reg=BUILDER_LAYOUT) as p:
        src = p.path / 'drive_c' / 'demo'
        shutil.copytree(str(DEMO / 'cabforge'), str(src))
        (src / 'demo.pkp').write_text(project_over('C:\\demo', src), encoding='utf-8')
        out = p.path / 'drive_c' / 'out'
        out.mkdir()
        with Step('the archive builder window: the project, then Create as...'):
            cab = out / 'demo.cab'
            rules = [Rule(BUILDER, cls='cabforge_class', delay=1000, times=1, post=OPEN_DOCS),
                     Rule(BUILDER, cls='cabforge_class', delay=3000, times=1, command=CREATE_AS),
                     Rule('Save As', cls=DIALOG, delay=1000, times=1, set_text={FILE_NAME_BOX: r'C:\out\demo.cab'},
                          press='Save'),
                     Rule(BUILDER, cls='cabforge_class', delay=7000, times=1, close=True),
                     Rule(BUILDER, cls=DIALOG, press='No')]
            rep, shots = take_pictures([WindowPicture(BUILDER, 'demo_cabforge_en.png', at=2.0)], lambda: p.run_host(
                'cabforge', [r'C:\demo\demo.pkp'], rules=rules, timeout=60))
            check(cab.exists(), 'no cabinet was written')
            listing = subprocess.run(['cabextract', '-l', str(cab)], capture_output=True, text=True)
            check(listing.returncode == 0, 'cabextract cannot read the cabinet')
            print('  "Create as..." wrote C:\\out\\demo.cab, %d bytes; cabextract -l:' % cab.stat().st_size)
            for line in listing.stdout.splitlines():
                if '|' in line:
                    print('    ' + line.strip())
            names = [line.rsplit('|', 1)[1].strip() for line in listing.stdout.splitlines()
                     if '|' in line and not line.strip().startswith('File size')]
            summary.append('an archive of %d files assembled in the archive builder\'s window, written and listed'
                           % len(names))
        with Step('the archive builder window in Japanese'):
            rules = [Rule(BUILDER, cls='cabforge_class', delay=1000, times=1, post=OPEN_DOCS),
                     Rule(BUILDER, cls='cabforge_class', delay=3000, times=1, close=True),
                     Rule(BUILDER, cls=DIALOG, press='No')]
            _, shots_ja = take_pictures([WindowPicture(BUILDER, 'demo_cabforge_ja.png', at=2.0)], lambda: p.run_host(
                'cabforge', [r'C:\demo\demo.pkp'], rules=rules, timeout=60, locale='ja'))
            shots += shots_ja
        with Step('the archive builder on the command line'):
            r = p.run(exe_path('cabforge'), [r'C:\demo', r'/arc:C:\out\unattended.cab', '/silent'], timeout=120)
            check(r.code == 0 and (out / 'unattended.cab').exists(), 'exit code %d, no cabinet' % r.code)
            ok = subprocess.run(['cabextract', '-t', str(out / 'unattended.cab')], capture_output=True).returncode == 0
            check(ok, 'cabextract -t failed')
            print('  cabforge C:\\demo /arc:C:\\out\\unattended.cab /silent: exit code 0, cabextract -t OK')
    return shots


def update_readme_pictures(shots):
    README_PICTURES.mkdir(parents=True, exist_ok=True)
    by_name = {s.name: s for s in shots}
    for picture, name in README_CHOICE:
        subprocess.run(['convert', str(by_name[picture]), '-strip', '+dither', '-colors', '128',
                        '-define', 'png:compression-level=9', str(README_PICTURES / name)], check=True)
        print('  README picture: %s' % (README_PICTURES / name))


def main(argv):
    start = time.time()
    summary, shots = [], []
    scratch = tempfile.mkdtemp(prefix='demo-publisher-', dir=str(harness.TMP.parent))
    try:
        with Step('making the demo publisher (openssl)'):
            publisher = DemoPublisher(scratch)
        shots += update_client(publisher, summary)
        shots += archive_builder(summary)
        print('== Pictures')
        for s in shots:
            print('  %s' % s)
        if '--update-readme-pictures' in argv:
            update_readme_pictures(shots)
    except StepFailed as e:
        print('demo failed at %s' % e)
        return 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print('Demo done in %.0f s: %s; %d pictures.' % (time.time() - start, '; '.join(summary), len(shots)))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
