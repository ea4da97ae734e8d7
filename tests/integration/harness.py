"""Helpers for the end-to-end tests: Wine prefixes, the local web server, the host test program.

Usage (every tests/integration/test_*.py):

    import unittest
    from harness import Prefix, WebServer, Rule, exe_path, find_windows, control

    class T(unittest.TestCase):
        def test_notify(self):
            with WebServer() as web, Prefix(server=web) as p:
                web.route('/feed.xml', body=b'<rss/>', content_type='text/xml')
                app = p.app_dir('App', {'tarnbeam.exe': exe_path('tarnbeam'),
                                        'tarnbeam.xml': '<VeltroUpdate>...</VeltroUpdate>'})
                p.reg_set(r'HKCU\\Software\\X', 'ShowHello', 'REG_DWORD', 1)
                rep = p.run_host(app + r'\\tarnbeam.exe',
                                 ['/AutoCheck', '/hwnd:{HWND}', '/NotifyWindow:{HWND}'],
                                 rules=[Rule('Ondrel Update', cls='#32770', press='OK')],
                                 timeout=30, locale='ja')
                self.assertEqual(rep['exitCode'], 0)
                self.assertEqual(len(rep['notifications']), 1)
                self.assertEqual(web.requests('/feed.xml')[0]['user_agent'], '...')

    if __name__ == '__main__':
        unittest.main()

Environment: TB_BIN (Windows build folder, programs in TB_BIN/bin), TB_SRC (source tree),
TB_WINE_BASE (template prefix). Defaults: the source tree of this file, $BUILD_DIR/windows (or
build/windows), TB_BIN/wine/base. Every test process runs its programs on a private Xvfb of
its own (see ensure_display; TB_SHARED_DISPLAY=1 uses $DISPLAY instead).

Exit codes: `Prefix.run` returns the status of the `wine` command, which is the program's exit
code truncated to its low 8 bits (-1 comes back as 255, 258 as 2; `low_byte(code)` gives the
value to compare with). `Prefix.run_host` reports the program's exit code as seen by
GetExitCodeProcess, as a signed 32-bit number (-1 is -1): use it whenever the exact code matters.

Registry: `reg_query` reads through `wine reg export` (UTF-16, so non-ASCII values are exact)
and returns str / int / bytes / list[str] by type, or None; `reg_query_typed` adds the type
name. `reg_set` writes through `wine reg import`. Key names may use HKCU / HKLM / HKCR / HKU.

API summary
  Prefix(server=None, ca=None, reg=(), keep=False)   context manager, fresh copy of the template
    .path .root .env   prefix folder, scratch folder, Wine environment (English)
    .run(exe, args, locale='en'|'ja', no_network=False, timeout=60, cwd=None, env=None)
        -> RunResult(code, stdout, stderr)
    .run_host(program, args, rules=[Rule...], timeout=60, locale, no_network, snapshot_all,
              raw=None, cwd=None, register=(), any_process=False, start_delay=None, linger=None)
        -> hostapp report dict (+ hostExit, stdout, stderr)
    .start(exe, args, locale='en', env=None) -> Background (.running(), .wait(timeout), .stop())
    .wine(args) -> RunResult                  any wine command, e.g. ['reg', 'query', ...]
    .reg_set(key, name, type, value) / .reg_set_many([(key, name, type, value)]) / .reg_import(text)
    .reg_query(key, name) / .reg_query_typed(key, name) / .reg_values(key) -> dict or None
    .reg_delete_key(key) / .reg_delete_value(key, name)
    .import_ca(certs or DER, which='ca')      root store of the running prefix
    .winpath(host_path) / .hostpath(win_path) / .app_dir(name, files) / .scratch(suffix)
    .kill_server()                            stop its wineserver (registry files written)
  WebServer()   context manager; see its docstring (route, log, requests, https, use_cert)
  Rule(caption, cls=None, press=None, close=False, command=None, delay=None, times=None,
       set_text={id: text}, select_item={id: row}, send=[(id, msg, wParam, lParam)],
       post=[(id, msg, wParam, lParam)])
  exe_path(name), native_program(name), low_byte(code), find_windows(report, caption, cls, reason),
  control(snapshot, id, cls, text), texts(snapshot), parse_reg_export(text), ca_blob(der)

hostapp report (run_host): exitCode (signed), timedOut, hostHwnd, childPid, commandLine,
notifications [{name, message, wParam, lParam, ms}], archiveCreated [{wParam, lParam, pid,
path, readOk, ms}], windows [snapshot], hostDisabledSeen, hostEnabledAtEnd, enableEvents
[{ms, enabled}], foreground {hwnd, class, caption, pid, isHost}, hostRect, elapsedMs.
A snapshot: ms, hwnd, pid, class, caption, enabled, visible, owner, ownerIsHost, style,
exStyle, rect, focus {hwnd, id, class} (the keyboard focus of the window's thread, hwnd 0 for
none), responsive, reason ('rule' | 'all' | 'timeout'), rule, action ('press',
'set-text+press', ...), actionResult (one per step, comma-separated: 'clicked' |
'command-posted' | 'closed' | 'text-set' | 'selected' | 'sent:<result>' | 'posted' | 'not-found' | ...),
controls [{hwnd, parent, id,
class, text, enabled, visible, style, rect; buttons: checkable, checked, default; list views:
itemCount, columnCount, items [[column texts]], selectedItems, itemImages [image index],
iconRects [[screen rect of each row's picture]]; tabs: itemCount, tabs,
selectedTab; tree views: itemCount, treeItems [{text, depth, expanded, selected}]; combo and
list boxes: itemCount, curSel, strings; progress bars: pos, rangeLow, rangeHigh}].
"""

import atexit
import codecs
import hashlib
import json
import os
import shutil
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SRC = Path(os.environ.get('TB_SRC') or Path(__file__).resolve().parents[2])
BIN = Path(os.environ.get('TB_BIN') or
           Path(os.environ.get('BUILD_DIR') or SRC / 'build') / 'windows')
WINE_BASE = Path(os.environ.get('TB_WINE_BASE') or BIN / 'wine' / 'base')
TMP = BIN / 'tmp'

sys.path.insert(0, str(SRC / 'tools' / 'webserver'))
import server as _server  # noqa: E402

SERVER_SCRIPT = SRC / 'tools' / 'webserver' / 'server.py'
Route = _server.Route
make_certs = _server.make_certs


class HarnessError(AssertionError):
    """A harness step failed (timeout, program missing, report not written)."""


def exe_path(name):
    """Host path of a built Windows program in TB_BIN/bin ('tarnbeam' or 'tarnbeam.exe')."""
    if not name.lower().endswith('.exe'):
        name += '.exe'
    return BIN / 'bin' / name


def native_program(name):
    """Host path of a program of the native build: TB_NATIVE_BIN/bin, by default the native build
    beside this Windows build (BUILD_DIR/native)."""
    return Path(os.environ.get('TB_NATIVE_BIN') or BIN.parent / 'native') / 'bin' / name


def low_byte(code):
    """The value `wine prog.exe` returns for a program exit code (its low 8 bits)."""
    return code & 0xFF


# ---- display ------------------------------------------------------------------------------

_xvfb = None
_xvfb_lock = threading.Lock()


def start_xvfb(screen='1280x1024x24'):
    """Starts an Xvfb with one screen of this size on a free display; returns (process, display)."""
    # The server picks the display itself and writes its number once it accepts connections:
    # a number chosen here could be taken by another test process starting at the same moment,
    # and the two would share one server (and lose it when the first one stops).
    read_end, write_end = os.pipe()
    try:
        proc = subprocess.Popen(['Xvfb', '-displayfd', str(write_end), '-screen', '0', screen, '-nolisten', 'tcp'],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(write_end,),
                                start_new_session=True)
        os.close(write_end)
        write_end = None
        number = b''
        deadline = time.time() + 15
        while not number.endswith(b'\n') and time.time() < deadline:
            if not select.select([read_end], [], [], max(0.0, deadline - time.time()))[0]:
                break
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
    finally:
        os.close(read_end)
        if write_end is not None:
            os.close(write_end)
    if number.strip().isdigit() and proc.poll() is None:
        return proc, ':' + number.strip().decode('ascii')
    proc.kill()
    proc.wait()
    raise HarnessError('cannot start a private Xvfb')


def ensure_display():
    """Starts this process's own Xvfb (once; stopped at exit) and points DISPLAY at it.

    Test files run in parallel, each with its own wineservers; on one shared X display their
    windows would take the input focus from one another and the foreground window a test
    sees would depend on its neighbours. TB_SHARED_DISPLAY=1 keeps an existing DISPLAY (to
    watch a run on a real screen, for instance)."""
    global _xvfb
    with _xvfb_lock:
        if _xvfb is not None or (os.environ.get('TB_SHARED_DISPLAY') == '1' and os.environ.get('DISPLAY')):
            return os.environ['DISPLAY']
        _xvfb, display = start_xvfb()
        atexit.register(_stop_xvfb)
        os.environ['DISPLAY'] = display
        return display


def _stop_xvfb():
    if _xvfb is not None:
        _xvfb.terminate()
        try:
            _xvfb.wait(5)
        except subprocess.TimeoutExpired:
            _xvfb.kill()


# ---- web server ---------------------------------------------------------------------------

_socket_counter = [0]


class WebServer(_server.TestServer):
    """The local web server and forward proxy (tools/webserver/server.py) for one test.

    route(path, host=None, query=None, body=b'', status=200, content_type=...,
          no_length=False, stall_before=0, stall_during=0, cut_after=None, auth=None,
          headers=None, handler=None)
    log() / requests(path=None, host=None) / clear_log()
    https(hosts) -> Certs  (creates or reuses the test certificates, TLS answers use them)
    use_cert('good' | 'untrusted' | 'wronghost', host=None)
    proxy -> '127.0.0.1:PORT'
    """

    def __init__(self):
        _socket_counter[0] += 1
        sock = os.path.join(tempfile.gettempdir(), 'tbweb-%d-%d.sock' % (os.getpid(), _socket_counter[0]))
        super().__init__(port=0, unix_socket=sock)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def route(self, path, **kwargs):
        return self.add_route(path, **kwargs)

    def https(self, hosts=('localhost',)):
        TMP.mkdir(parents=True, exist_ok=True)
        certs = make_certs(str(TMP), tuple(hosts))
        self.set_certs(certs)
        return certs


# ---- registry files -------------------------------------------------------------------------

_ROOTS = {
    'HKCU': 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER': 'HKEY_CURRENT_USER',
    'HKLM': 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE': 'HKEY_LOCAL_MACHINE',
    'HKCR': 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT': 'HKEY_CLASSES_ROOT',
    'HKU': 'HKEY_USERS', 'HKEY_USERS': 'HKEY_USERS',
}


def _full_key(key):
    root, _, rest = key.partition('\\')
    full = _ROOTS.get(root.upper())
    if not full:
        raise ValueError('unknown registry root in %r' % key)
    return full + ('\\' + rest if rest else '')


def _reg_escape(s):
    return s.replace('\\', '\\\\').replace('"', '\\"')


def _hex(data):
    return ','.join('%02x' % b for b in data)


def _reg_value_line(name, type_, value):
    left = '@' if name in (None, '') else '"%s"' % _reg_escape(name)
    t = type_.upper()
    if t == 'REG_SZ':
        right = '"%s"' % _reg_escape(str(value))
    elif t == 'REG_DWORD':
        right = 'dword:%08x' % (int(value) & 0xFFFFFFFF)
    elif t == 'REG_QWORD':
        right = 'hex(b):' + _hex((int(value) & 0xFFFFFFFFFFFFFFFF).to_bytes(8, 'little'))
    elif t == 'REG_BINARY':
        right = 'hex:' + _hex(bytes(value))
    elif t == 'REG_EXPAND_SZ':
        right = 'hex(2):' + _hex((str(value) + '\0').encode('utf-16-le'))
    elif t == 'REG_MULTI_SZ':
        right = 'hex(7):' + _hex((''.join(s + '\0' for s in value) + '\0').encode('utf-16-le'))
    elif t == 'REG_NONE':
        right = 'hex(0):' + _hex(bytes(value))
    else:
        raise ValueError('unsupported registry type %r' % type_)
    return left + '=' + right


def _unescape_reg_string(s):
    out, i = [], 0
    while i < len(s):
        c = s[i]
        if c == '\\' and i + 1 < len(s):
            n = s[i + 1]
            out.append({'n': '\n', 'r': '\r', 't': '\t', '0': '\0'}.get(n, n))
            i += 2
        else:
            out.append(c)
            i += 1
    return ''.join(out)


def _split_name(line):
    """Splits '"name"=rest' or '@=rest' into (name, rest)."""
    if line.startswith('@='):
        return '', line[2:]
    i = 1
    while i < len(line):
        if line[i] == '\\':
            i += 2
            continue
        if line[i] == '"':
            break
        i += 1
    return _unescape_reg_string(line[1:i]), line[i + 2:]


_TYPE_BY_HEX = {0: 'REG_NONE', 1: 'REG_SZ', 2: 'REG_EXPAND_SZ', 3: 'REG_BINARY', 4: 'REG_DWORD',
                7: 'REG_MULTI_SZ', 11: 'REG_QWORD'}


def _parse_value(rest):
    if rest.startswith('"'):
        return 'REG_SZ', _unescape_reg_string(rest[1:rest.rfind('"')])
    if rest.startswith('dword:'):
        return 'REG_DWORD', int(rest[6:], 16)
    if rest.startswith('hex'):
        kind = 3
        if rest.startswith('hex('):
            kind = int(rest[4:rest.index(')')], 16)
        data = rest[rest.index(':') + 1:]
        raw = bytes(int(x, 16) for x in data.replace(' ', '').split(',') if x)
        t = _TYPE_BY_HEX.get(kind, 'REG_TYPE_%d' % kind)
        if kind in (1, 2):
            return t, raw.decode('utf-16-le').split('\0')[0]
        if kind == 7:
            items = raw.decode('utf-16-le').split('\0')
            while items and items[-1] == '':
                items.pop()
            return t, items
        if kind == 11:
            return t, int.from_bytes(raw[:8], 'little')
        if kind == 4:
            return t, int.from_bytes(raw[:4], 'little')
        return t, raw
    return 'REG_UNKNOWN', rest


def parse_reg_export(text):
    """Parses an exported .reg text into {key: {name: (type, value)}} ('' = default value)."""
    keys = {}
    current = None
    lines = text.replace('\r\n', '\n').split('\n')
    joined, buf = [], ''
    for line in lines:
        if buf:
            line = line.lstrip()
        if line.endswith('\\') and not line.startswith('['):
            buf += line[:-1]
            continue
        joined.append(buf + line)
        buf = ''
    for line in joined:
        if line.startswith('[') and line.endswith(']'):
            current = line[1:-1]
            keys.setdefault(current, {})
        elif current is not None and (line.startswith('"') or line.startswith('@=')):
            name, rest = _split_name(line)
            keys[current][name] = _parse_value(rest)
    return keys


# ---- prefixes -----------------------------------------------------------------------------

def _user_reg_section(key, values):
    """Text of a section for Wine's own user.reg/system.reg (keys relative to the hive)."""
    lines = ['', '[%s] 1700000000' % key.replace('\\', '\\\\')]
    for name, type_, value in values:
        t = type_.upper()
        if t == 'REG_SZ' and not all(32 <= ord(c) < 127 for c in str(value)):
            raise ValueError('pre-start registry strings must be ASCII')
        lines.append(_reg_value_line(name, type_, value))
    return '\n'.join(lines) + '\n'


def ca_blob(der):
    """Registry Blob of a certificate in a system store: property 0x20, 1, length, DER."""
    return (0x20).to_bytes(4, 'little') + (1).to_bytes(4, 'little') + len(der).to_bytes(4, 'little') + der


class RunResult(tuple):
    """(code, stdout, stderr) of `Prefix.run`; code is the low byte of the exit code."""

    def __new__(cls, code, stdout, stderr):
        return super().__new__(cls, (code, stdout, stderr))

    code = property(lambda self: self[0])
    stdout = property(lambda self: self[1])
    stderr = property(lambda self: self[2])


class Background:
    """A program started by Prefix.start."""

    def __init__(self, proc, out_path, err_path):
        self.proc, self._out, self._err = proc, out_path, err_path

    def running(self):
        return self.proc.poll() is None

    def output(self):
        """What the program has written to its standard output so far."""
        return self._out.read_bytes().decode('utf-8', 'replace')

    def wait(self, timeout=60):
        try:
            code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.stop()
            raise HarnessError('background program still running after %ss' % timeout)
        return RunResult(code, self._out.read_bytes().decode('utf-8', 'replace'),
                         self._err.read_bytes().decode('utf-8', 'replace'))

    def stop(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except OSError:
                pass
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


class Rule:
    """A hostapp dialog rule: a visible top-level window of the program with this caption
    ('*' and '?' are wildcards when present) and class is recorded (a snapshot), then the
    steps run in this order: set_text {control id: text} (id 0: the window's own text),
    select_item {list-view id: row}, send [(control id, message, wParam, lParam)] (numbers
    only), post [(control id, message, wParam, lParam)] (into the program's queue, as keyboard
    input arrives; id 0 the window, -1 its keyboard focus), press (button text with '&'
    ignored, or 'id:N'), close (WM_CLOSE), command (menu command id). delay: ms the window
    must have been visible first (hostapp's default 100); when_enabled: fire only while the
    window is enabled (no modal window of its own over it); times: how many windows the rule
    fires for at most (default: every matching window, once each). Several rules may fire on
    one window; they run in the order given."""

    def __init__(self, caption, cls=None, press=None, close=False, command=None, delay=None,
                 times=None, set_text=None, select_item=None, send=None, post=None, when_enabled=False):
        self.caption, self.cls, self.press = caption, cls, press
        self.close, self.command, self.delay, self.times = close, command, delay, times
        self.set_text = dict(set_text or {})
        self.select_item = dict(select_item or {})
        self.send = list(send or [])
        self.post = list(post or [])
        self.when_enabled = when_enabled

    def args(self):
        a = ['--on', self.caption]
        if self.cls:
            a += ['--class', self.cls]
        for ctrl, text in self.set_text.items():
            a += ['--set-text', '%d=%s' % (ctrl, text)]
        for ctrl, row in self.select_item.items():
            a += ['--select-item', '%d=%d' % (ctrl, row)]
        for ctrl, msg, wp, lp in self.send:
            a += ['--send', '%d:%d:%d:%d' % (ctrl, msg, wp, lp)]
        for ctrl, msg, wp, lp in self.post:
            a += ['--post', '%d:%d:%d:%d' % (ctrl, msg, wp, lp)]
        if self.press is not None:
            a += ['--press', str(self.press)]
        if self.close:
            a += ['--close']
        if self.command is not None:
            a += ['--command', str(self.command)]
        if self.delay is not None:
            a += ['--delay', str(int(self.delay))]
        if self.when_enabled:
            a += ['--when-enabled']
        if self.times is not None:
            a += ['--times', str(int(self.times))]
        return a


def _rule_args(rule):
    if isinstance(rule, Rule):
        return rule.args()
    if isinstance(rule, dict):
        d = dict(rule)
        if 'class' in d:
            d['cls'] = d.pop('class')
        return Rule(**d).args()
    raise TypeError('rules are Rule objects or dicts')


def ensure_base_prefix():
    if not (WINE_BASE / '.ready').exists():
        subprocess.run([str(SRC / 'scripts' / 'wine-prefix.sh'), str(WINE_BASE)], check=True,
                       timeout=300, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def _process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True


def _remove_abandoned_prefixes():
    """Removes prefix copies (about 700 MB each) left by test processes that were killed,
    stopping their wineservers first."""
    for root in TMP.glob('pfx-*'):
        try:
            pid = int((root / 'owner.pid').read_text().strip())
        except (OSError, ValueError):
            continue
        if _process_alive(pid):
            continue
        env = dict(os.environ, WINEPREFIX=str(root / 'prefix'))
        subprocess.run(['wineserver', '-k'], env=env, timeout=30, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(str(root), ignore_errors=True)


class Prefix:
    """A private copy of the template Wine prefix under TB_BIN/tmp, removed on exit.

    Prefix(server=None, ca=None, reg=(), keep=False, x11_managed=False)
      server: a WebServer; its proxy goes into HKCU Internet Settings, and no-network runs
              relay 127.0.0.1:its port to it.
      ca:     a Certs object (or DER bytes) imported into the machine root store at creation.
      reg:    [(key, name, type, value)] written before Wine starts (ASCII strings, numbers,
              binary).
      x11_managed: False (default) sets Wine's X11 Driver "Managed" to N. There is no window
              manager in Xvfb, and with managed windows Wine waits about two seconds for one
              whenever a top-level window is hidden or destroyed (every message box, every
              program exit that destroys its window). True keeps Wine's default.
    Attributes: path (prefix folder), root (scratch folder, host path), env (Wine env).
    """

    def __init__(self, server=None, ca=None, reg=(), keep=False, x11_managed=False):
        self.server = server
        self.x11_managed = x11_managed
        self.ca = ca
        self.pre_reg = list(reg)
        self.keep = keep
        self.root = None
        self.path = None
        self._counter = 0

    # -- life cycle
    def __enter__(self):
        ensure_base_prefix()
        ensure_display()
        TMP.mkdir(parents=True, exist_ok=True)
        _remove_abandoned_prefixes()
        self.root = Path(tempfile.mkdtemp(prefix='pfx-', dir=str(TMP)))
        (self.root / 'owner.pid').write_text(str(os.getpid()))
        self.path = self.root / 'prefix'
        try:
            subprocess.run(['cp', '-a', str(WINE_BASE), str(self.path)], check=True, timeout=180)
            self._write_prestart_registry()
            self.env = self._env('en')
            subprocess.run(['wineserver', '-p'], env=self.env, timeout=30, check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except BaseException:
            self._cleanup()
            raise
        return self

    def __exit__(self, *exc):
        self._cleanup()
        return False

    def _cleanup(self):
        if self.path is not None and self.path.exists():
            self.kill_server()
        if self.root is not None and not self.keep:
            shutil.rmtree(str(self.root), ignore_errors=True)

    def kill_server(self):
        """Stops this prefix's wineserver (and so every program in it); the registry files
        are written at once. The next Wine run starts a fresh server."""
        subprocess.run(['wineserver', '-k'], env=self._env('en'), timeout=30, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(['wineserver', '-w'], env=self._env('en'), timeout=30, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def _write_prestart_registry(self):
        user, machine = [], []
        if not self.x11_managed:
            user.append((r'Software\Wine\X11 Driver', [('Managed', 'REG_SZ', 'N')]))
        if self.server is not None:
            user.append((r'Software\Microsoft\Windows\CurrentVersion\Internet Settings', [
                ('ProxyEnable', 'REG_DWORD', 1), ('ProxyServer', 'REG_SZ', self.server.proxy)]))
        if self.ca is not None:
            der = self.ca if isinstance(self.ca, (bytes, bytearray)) else self.ca.der('ca')
            sha1 = hashlib.sha1(der).hexdigest().upper()
            machine.append((r'Software\Microsoft\SystemCertificates\Root\Certificates' + '\\' + sha1,
                            [('Blob', 'REG_BINARY', ca_blob(bytes(der)))]))
        for key, name, type_, value in self.pre_reg:
            root, _, rest = _full_key(key).partition('\\')
            target = user if root == 'HKEY_CURRENT_USER' else machine
            if root not in ('HKEY_CURRENT_USER', 'HKEY_LOCAL_MACHINE'):
                raise ValueError('pre-start registry values go below HKCU or HKLM')
            target.append((rest, [(name, type_, value)]))
        for fname, sections in (('user.reg', user), ('system.reg', machine)):
            if sections:
                with open(self.path / fname, 'a', encoding='utf-8') as f:
                    for key, values in sections:
                        f.write(_user_reg_section(key, values))

    def _env(self, locale):
        env = dict(os.environ)
        env.update(WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree=;mshtml=', WINEARCH='win64',
                   TZ='Asia/Tokyo', WINEPREFIX=str(self.path))
        env.pop('LANGUAGE', None)
        if locale == 'ja':
            env['LANG'] = env['LC_ALL'] = 'ja_JP.UTF-8'
        elif locale in (None, 'en'):
            env['LANG'] = env['LC_ALL'] = 'C.UTF-8'
        else:
            env['LANG'] = env['LC_ALL'] = locale
        return env

    def scratch(self, suffix=''):
        """A new file name in the scratch folder (host path)."""
        self._counter += 1
        return self.root / ('f%d%s' % (self._counter, suffix))

    # -- paths
    def winpath(self, host_path):
        """Windows path of a host path (C: inside the prefix's drive_c, else Z:)."""
        p = Path(os.path.abspath(str(host_path)))
        drive_c = Path(os.path.abspath(str(self.path / 'drive_c')))
        try:
            rel = p.relative_to(drive_c)
            return 'C:\\' + str(rel).replace('/', '\\') if str(rel) != '.' else 'C:\\'
        except ValueError:
            return 'Z:' + str(p).replace('/', '\\')

    def hostpath(self, win_path):
        """Host path of a Windows path (drive letters through the prefix's dosdevices)."""
        drive, rest = win_path[:2], win_path[2:]
        if len(drive) != 2 or drive[1] != ':':
            raise ValueError('not a drive path: %r' % win_path)
        letter = drive[0].lower()
        if letter == 'c':
            base = self.path / 'drive_c'
        else:
            base = Path(os.path.realpath(str(self.path / 'dosdevices' / (letter + ':'))))
        rest = rest.replace('\\', '/').lstrip('/')
        return base / rest if rest else base

    def app_dir(self, name, files=None):
        """Creates C:\\<name> with files {relative name: bytes | str (UTF-8) | Path (copied)
        | None (folder)}; returns the Windows path of the folder."""
        folder = self.path / 'drive_c' / name
        folder.mkdir(parents=True, exist_ok=True)
        for rel, content in (files or {}).items():
            target = folder / rel
            if content is None:
                target.mkdir(parents=True, exist_ok=True)
                continue
            target.parent.mkdir(parents=True, exist_ok=True)
            if isinstance(content, Path):
                shutil.copyfile(str(content), str(target))
            elif isinstance(content, (bytes, bytearray)):
                target.write_bytes(bytes(content))
            else:
                target.write_text(content, encoding='utf-8')
        return self.winpath(folder)

    # -- running programs
    def _program(self, exe):
        if isinstance(exe, Path):
            return self.winpath(exe)
        exe = str(exe)
        if len(exe) > 1 and exe[1] == ':':
            return exe
        if '/' in exe:
            return self.winpath(exe)
        if exe_path(exe).exists():
            return self.winpath(exe_path(exe))
        return exe

    def _spawn(self, argv, locale, no_network, timeout, cwd=None, env=None):
        run_env = self._env(locale)
        if env:
            run_env.update(env)
        if no_network:
            # The whole Wine session must live inside the namespace (the connection state
            # comes from Wine's own service processes), so stop the current one first.
            self.kill_server()
            wrap = ['unshare', '-n', sys.executable, str(SERVER_SCRIPT), '--netns-run']
            if self.server is not None:
                wrap += ['--relay-socket', self.server.unix_path, '--port', str(self.server.port)]
            argv = wrap + ['--'] + argv
        out_path, err_path = self.scratch('.out'), self.scratch('.err')
        with open(out_path, 'wb') as out, open(err_path, 'wb') as err:
            proc = subprocess.Popen(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                    env=run_env, cwd=cwd, start_new_session=True)
            try:
                code = proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except OSError:
                    pass
                proc.wait(10)
                self.kill_server()
                raise HarnessError('timed out after %ss: %s' % (timeout, ' '.join(argv)))
        if no_network:
            self.kill_server()
            subprocess.run(['wineserver', '-p'], env=self._env('en'), timeout=30, check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        stdout = out_path.read_bytes().decode('utf-8', 'replace')
        stderr = err_path.read_bytes().decode('utf-8', 'replace')
        return code, stdout, stderr

    def start(self, exe, args=(), locale='en', env=None):
        """Starts a Windows program in the background (e.g. a first instance for a
        single-instance test) and returns a Background: .wait(timeout) -> RunResult,
        .stop() kills it; also a context manager that stops it on exit."""
        run_env = self._env(locale)
        if env:
            run_env.update(env)
        out_path, err_path = self.scratch('.out'), self.scratch('.err')
        with open(out_path, 'wb') as out, open(err_path, 'wb') as err:
            proc = subprocess.Popen(['wine', self._program(exe)] + [str(a) for a in args], stdout=out,
                                    stderr=err, stdin=subprocess.DEVNULL, env=run_env,
                                    start_new_session=True)
        return Background(proc, out_path, err_path)

    def wine(self, args, timeout=60, locale='en'):
        """Runs `wine <args>` (e.g. ['reg', 'query', ...]); returns RunResult."""
        return RunResult(*self._spawn(['wine'] + list(args), locale, False, timeout))

    def run(self, exe, args=(), locale='en', no_network=False, timeout=60, cwd=None, env=None):
        """Runs a Windows program (Windows path, host path, or the name of a built program)
        under Wine and returns RunResult(code, stdout, stderr); code is the low byte of the
        program's exit code (see low_byte).

        locale 'ja' runs with LANG=ja_JP.UTF-8 (Japanese resources), 'en' with C.UTF-8.
        no_network runs the whole Wine session in a loopback-only network namespace
        (InternetGetConnectedState is FALSE there); with Prefix(server=...) 127.0.0.1:port
        inside still reaches the web server through a relay. The prefix's wineserver is
        restarted before and after such a run. env adds environment variables. On timeout
        the run is killed and HarnessError raised."""
        argv = ['wine', self._program(exe)] + [str(a) for a in args]
        return RunResult(*self._spawn(argv, locale, no_network, timeout, cwd=cwd, env=env))

    def run_host(self, program, args=(), rules=(), timeout=60, locale='en', no_network=False,
                 snapshot_all=False, raw=None, cwd=None, register=(), any_process=False,
                 start_delay=None, linger=None, env=None):
        """Runs `program` under hostapp.exe and returns its report (dict): exitCode (signed
        32-bit), timedOut, notifications, archiveCreated, windows, hostDisabledSeen,
        hostEnabledAtEnd, foreground, ... plus 'hostExit', 'stdout', 'stderr' of the run.
        `{HWND}` inside args (or raw) becomes the host window handle; env adds environment
        variables (the program and what it starts inherit them)."""
        report = self.scratch('.json')
        argv = ['wine', self.winpath(exe_path('hostapp')), '--timeout', str(int(timeout)),
                '--report', self.winpath(report)]
        for r in rules:
            argv += _rule_args(r)
        if snapshot_all:
            argv.append('--snapshot-all')
        if any_process:
            argv.append('--any-process')
        for name in register:
            argv += ['--register', name]
        if raw is not None:
            argv += ['--raw', raw]
        if cwd:
            argv += ['--cwd', cwd]
        if start_delay is not None:
            argv += ['--start-delay', str(int(start_delay))]
        if linger is not None:
            argv += ['--linger', str(int(linger))]
        argv += ['--', self._program(program)] + [str(a) for a in args]
        code, stdout, stderr = self._spawn(argv, locale, no_network, timeout + 30, env=env)
        if not report.exists():
            raise HarnessError('hostapp wrote no report (exit %d)\nstdout: %s\nstderr: %s' %
                               (code, stdout[-2000:], stderr[-2000:]))
        data = json.loads(report.read_bytes().decode('utf-8'))
        data['hostExit'] = code
        data['stdout'] = stdout
        data['stderr'] = stderr
        return data

    # -- registry
    def reg_import(self, text):
        """Imports .reg text (the 'Windows Registry Editor Version 5.00' header is added)."""
        path = self.scratch('.reg')
        body = 'Windows Registry Editor Version 5.00\r\n\r\n' + text.replace('\n', '\r\n') + '\r\n'
        path.write_bytes(codecs.BOM_UTF16_LE + body.encode('utf-16-le'))
        r = self.wine(['reg', 'import', self.winpath(path)])
        if r.code != 0:
            raise HarnessError('reg import failed (%d): %s\n%s' % (r.code, r.stderr, text))

    def reg_set(self, key, name, type_, value):
        """Sets one value. type_: REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ (list), REG_DWORD,
        REG_QWORD, REG_BINARY (bytes), REG_NONE. name '' or None is the default value."""
        self.reg_import('[%s]\n%s\n' % (_full_key(key), _reg_value_line(name, type_, value)))

    def reg_set_many(self, items):
        """Sets several values with one Wine run: items = [(key, name, type, value)]."""
        text = ''.join('[%s]\n%s\n\n' % (_full_key(k), _reg_value_line(n, t, v)) for k, n, t, v in items)
        if text:
            self.reg_import(text)

    def reg_values(self, key):
        """{name: (type, value)} of one key, or None when the key does not exist."""
        path = self.scratch('.reg')
        r = self.wine(['reg', 'export', key, self.winpath(path), '/y'])
        if r.code != 0 or not path.exists():
            return None
        raw = path.read_bytes()
        text = raw.decode('utf-16') if raw[:2] in (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE) else raw.decode('utf-8', 'replace')
        keys = {k.lower(): v for k, v in parse_reg_export(text).items()}
        return keys.get(_full_key(key).lower(), {})

    def reg_query_typed(self, key, name):
        values = self.reg_values(key)
        if values is None:
            return None
        return values.get(name or '')

    def reg_query(self, key, name):
        """The value (str, int, bytes or list of str by type), or None when missing."""
        typed = self.reg_query_typed(key, name)
        return None if typed is None else typed[1]

    def reg_delete_key(self, key):
        return self.wine(['reg', 'delete', key, '/f']).code == 0

    def reg_delete_value(self, key, name):
        return self.wine(['reg', 'delete', key, '/v', name, '/f']).code == 0

    def import_ca(self, certs_or_der, which='ca'):
        """Adds a CA certificate to the machine root store of this (running) prefix."""
        der = certs_or_der if isinstance(certs_or_der, (bytes, bytearray)) else certs_or_der.der(which)
        sha1 = hashlib.sha1(bytes(der)).hexdigest().upper()
        self.reg_set(r'HKLM\Software\Microsoft\SystemCertificates\Root\Certificates' + '\\' + sha1,
                     'Blob', 'REG_BINARY', ca_blob(bytes(der)))
        return sha1


# ---- report helpers -------------------------------------------------------------------------

def find_windows(report, caption=None, cls=None, reason=None):
    """Snapshots in the report with this caption / class / reason ('rule', 'all', 'timeout')."""
    out = []
    for w in report.get('windows', []):
        if caption is not None and w['caption'] != caption:
            continue
        if cls is not None and w['class'] != cls:
            continue
        if reason is not None and w.get('reason') != reason:
            continue
        out.append(w)
    return out


def control(snapshot, id=None, cls=None, text=None):
    """The first control of a snapshot matching id / class / text ('&' ignored), or None."""
    for c in snapshot['controls']:
        if id is not None and c['id'] != id:
            continue
        if cls is not None and c['class'].lower() != cls.lower():
            continue
        if text is not None and c['text'].replace('&', '') != text.replace('&', ''):
            continue
        return c
    return None


def texts(snapshot):
    """All non-empty control texts of a snapshot, in window order."""
    return [c['text'] for c in snapshot['controls'] if c['text']]
