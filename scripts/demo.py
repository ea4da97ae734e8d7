#!/usr/bin/env python3
"""The built-in demo: runs both programs' main jobs under Wine on the data in demo/.

1. The update client checks for updates of the demo product "Pakkit 6" against a local web
   server that serves demo/server as the maker's server (every host name is routed to it):
   once as a manual run, which shows the main dialog (screenshots of both tabs and of the options
   dialog are saved as PNG files and their paths printed), once as an integrated product's
   automatic check that notifies its host.
2. The archive builder packs demo/cabforge (plus a Windows program from Wine) into a cabinet,
   which cabextract and 7z then list and test.
"""
import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

SRC = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SRC / 'tests' / 'integration'))
import harness  # noqa: E402
from harness import Prefix, Rule, WebServer, exe_path  # noqa: E402

DEMO = SRC / 'demo'
SHOTS = harness.BIN / 'screenshots'
TCM_SETCURFOCUS = 0x1330


class TimedScreenshots(threading.Thread):
    """Pictures of the whole screen at the given seconds after start()."""

    def __init__(self, plan):
        super().__init__(daemon=True)
        self.plan, self.taken = plan, []

    def run(self):
        start = time.time()
        SHOTS.mkdir(parents=True, exist_ok=True)
        for at, name in self.plan:
            time.sleep(max(0.0, start + at - time.time()))
            path = SHOTS / name
            if subprocess.run(['import', '-window', 'root', str(path)], capture_output=True,
                              timeout=30).returncode == 0:
                self.taken.append(path)
PRODUCT_KEY = r'HKCU\Software\Ondrel\Pakkit 6\Update'


def serve_demo_files(web):
    for f in sorted((DEMO / 'server').rglob('*')):
        if f.is_file():
            rel = '/' + f.relative_to(DEMO / 'server').as_posix()
            ctype = 'image/png' if f.suffix == '.png' else 'text/xml'
            web.route(rel, body=f.read_bytes(), content_type=ctype)


def update_client_demo():
    print('== Update client (tarnbeam.exe)')
    with WebServer() as web, Prefix(server=web) as p:
        serve_demo_files(web)
        files = {'tarnbeam.exe': exe_path('tarnbeam'),
                 'tarnbeam.xml': (DEMO / 'tarnbeam' / 'tarnbeam.xml').read_text(encoding='utf-8')}
        app = p.app_dir('Program Files/Pakkit 6', files)
        ok = Rule('Ondrel Update', cls='#32770', press='OK')
        # The manual run shows the main dialog: pictures of both tabs and of the options dialog,
        # then Cancel and Close.
        # Seconds from the start of the run; the dialog is up about 2.5 s after it.
        shots = TimedScreenshots([(5.0, 'demo_main_updates.png'), (9.5, 'demo_main_news.png'),
                                  (13.5, 'demo_options.png')])
        rules = [ok,
                 Rule('Ondrel Update', cls='#32770', delay=5000, send=[(1000, TCM_SETCURFOCUS, 1, 0)]),
                 Rule('Ondrel Update', cls='#32770', delay=8500, press='Options...'),
                 Rule('Ondrel Update Setting', cls='#32770', delay=3000, press='Cancel'),
                 Rule('Ondrel Update', cls='#32770', delay=15000, press='Close')]
        shots.start()
        rep = p.run_host(app + r'\tarnbeam.exe', ['/hwnd:{HWND}'], rules=rules, timeout=90,
                         snapshot_all=True)
        shots.join(30)
        print('manual run: exit code %d' % rep['exitCode'])
        for path in shots.taken:
            print('  screenshot: %s' % path)
        for w in rep['windows']:
            texts = [c['text'] for c in w['controls'] if c['text']]
            print('  window "%s" (%s): %s' % (w['caption'], w['class'], ' | '.join(texts)[:200]))
        for r in web.requests():
            print('  request %s %s  user agent: %s' % (r['method'], r['url'], r.get('user_agent')))
        print('  registry %s: %s' % (PRODUCT_KEY, p.reg_values(PRODUCT_KEY)))

        # The same product integrated with its host: an automatic check that finds a newer
        # version tells the host window instead of opening a dialog.
        integrated = files['tarnbeam.xml'].replace('<IntegrateMode>0</IntegrateMode>',
                                                   '<IntegrateMode>1</IntegrateMode>')
        app2 = p.app_dir('Program Files/Pakkit 6 Integrated', dict(files, **{'tarnbeam.xml': integrated}))
        web.clear_log()
        rep = p.run_host(app2 + r'\tarnbeam.exe', ['/AutoCheck', '/hwnd:{HWND}', '/NotifyWindow:{HWND}'],
                         rules=[ok], timeout=60)
        print('integrated automatic check: exit code %d, notifications to the host: %d' % (
            rep['exitCode'], len(rep['notifications'])))
        print('  requests: %s' % ', '.join(r['path'] for r in web.requests()))
        print('  LastExecDate: %s' % p.reg_query(PRODUCT_KEY, 'LastExecDate'))


def archive_builder_demo():
    print('== Archive builder (cabforge.exe)')
    if not exe_path('cabforge').exists():
        print('  cabforge.exe is not built')
        return True
    with Prefix() as p:
        src = p.path / 'drive_c' / 'demo'
        shutil.copytree(str(DEMO / 'cabforge'), str(src))
        wine_dlls = Path('/usr/lib/x86_64-linux-gnu/wine/x86_64-windows')
        (src / 'Program').mkdir(exist_ok=True)
        for name in ('notepad.exe', 'comctl32.dll'):
            if (wine_dlls / name).exists():
                shutil.copyfile(str(wine_dlls / name), str(src / 'Program' / name))
        target = p.path / 'drive_c' / 'out' / 'demo.cab'
        target.parent.mkdir()
        r = p.run(exe_path('cabforge'), [r'C:\demo', r'/arc:C:\out\demo.cab', '/silent'], timeout=120)
        print('  cabforge C:\\demo /arc:C:\\out\\demo.cab /silent: exit code %d' % r.code)
        if not target.exists():
            print('  no cabinet was written')
            return False
        size_in = sum(f.stat().st_size for f in src.rglob('*') if f.is_file())
        print('  %d bytes packed into %d bytes' % (size_in, target.stat().st_size))
        subprocess.run(['cabextract', '-l', str(target)])
        ok = subprocess.run(['cabextract', '-t', str(target)], stdout=subprocess.DEVNULL).returncode == 0
        ok = subprocess.run(['7z', 't', str(target)], stdout=subprocess.DEVNULL).returncode == 0 and ok
        print('  cabextract -t and 7z t: %s' % ('all OK' if ok else 'FAILED'))
        return ok


def main():
    update_client_demo()
    return 0 if archive_builder_demo() else 1


if __name__ == '__main__':
    sys.exit(main())
