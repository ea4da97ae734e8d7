"""Benchmark, not a test: how long the archive builder's file-system pane takes to expand a folder
of 10,000 files (until the window answers again), beside a plain IShellFolder pass over the same
folder in another process: names only, and with the calls the pane makes per child while it
expands (attributes, absolute id, path; icons are asked for when an item is drawn). The difference
is the cost of our sorting and insertion. Prints, asserts nothing.

    TB_BIN=build/windows xvfb-run -a python3 tests/integration/bench_shell_pane.py [files] [runs]
"""

import json
import sys
import time

from harness import Prefix, ensure_display, exe_path


def probe(p, *args):
    r = p.run(exe_path('cfprobe'), [str(a) for a in args], timeout=600)
    lines = r.stdout.strip().splitlines()
    if r.code != 0 or not lines:
        raise SystemExit('cfprobe %s failed (%d): %s' % (args, r.code, r.stderr[-500:]))
    return json.loads(lines[-1])


def main():
    files = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    ensure_display()
    with Prefix() as p:
        folder = p.app_dir('bench/big', {'f%05d.txt' % i: '' for i in range(files)})
        print('folder %s: %d files; %d runs, each in a fresh builder' % (folder, files, runs))
        print('%-34s %10s %8s' % ('', 'ms', 'items'))
        for run in range(runs):
            builder = p.start('cabforge', [])
            try:
                probe(p, 'wait', 'cabforge_class', 60000)
                time.sleep(1)
                tree = probe(p, 'fstime', 'My Computer|(C:)|bench|big')
                print('%-34s %10.1f %8d' % ('run %d: pane, expand until usable' % (run + 1), tree['ms'], tree['count']))
                probe(p, 'close', 'cabforge_class')
                builder.wait(120)
            finally:
                builder.stop()
            loop = probe(p, 'shellloop', folder)
            print('%-34s %10.1f %8d' % ('run %d: IShellFolder, names' % (run + 1), loop['namesMs'], loop['count']))
            print('%-34s %10.1f %8d' % ('run %d: IShellFolder, pane\'s calls' % (run + 1), loop['fullMs'],
                                        loop['count']))


if __name__ == '__main__':
    main()
