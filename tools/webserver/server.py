#!/usr/bin/env python3
"""Local web server standing in for the maker's web server (Python standard library only).

It is a forward proxy on 127.0.0.1: Wine's WinINet and MSXML send absolute URIs
(``GET http://www.host.jp:80/feed.xml HTTP/1.1``) for any host name, and ``CONNECT host:443``
for HTTPS, which is answered by TLS on the same connection with a test certificate. Plain
origin-form requests (a client talking to it directly) work as well.

Library use::

    from server import TestServer, Route
    srv = TestServer()                # port 0: a free port
    srv.start()
    srv.add_route('/feed.xml', body=b'<rss/>', content_type='text/xml')
    srv.add_route('/gone', status=404)
    srv.add_route('/big.exe', body=data, cut_after=1000)           # close after 1000 bytes
    srv.add_route('/slow', body=b'x', stall_before=3)              # bounded sleep first
    srv.add_route('/old', body=b'abc', no_length=True)             # HTTP/1.0, close-delimited
    srv.add_route('/secret', body=b'ok', auth=('user', 'pw'))      # Basic credentials
    srv.add_route('/x', host='www.host.jp', query='a=1', body=...) # host / query specific
    srv.log()                          # list of request dicts (copies)
    srv.stop()

HTTPS: ``make_certs(folder, hosts)`` creates (with the openssl command) a test CA, a server
certificate for the host names, a second untrusted CA with a certificate for the same names,
and a certificate for a wrong host name; ``srv.set_certs(certs)`` and
``srv.use_cert('good' | 'untrusted' | 'wronghost', host=None)`` choose what the TLS side
presents.

Script use (serves files from a folder, for the demo)::

    server.py --port 8080 --root DIR
    server.py --netns-run [--relay-socket SOCKET --port P] -- cmd...
        (inside ``unshare -n``: loopback up, 127.0.0.1:P relayed to the server's Unix
        socket, then runs cmd)
"""

import base64
import hashlib
import os
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

MAX_STALL_SECONDS = 120.0
SOCKET_TIMEOUT = 60.0
MAX_HEADER_BYTES = 65536

REASONS = {
    200: 'OK', 201: 'Created', 204: 'No Content', 206: 'Partial Content',
    301: 'Moved Permanently', 302: 'Found', 304: 'Not Modified', 400: 'Bad Request',
    401: 'Unauthorized', 403: 'Forbidden', 404: 'Not Found', 405: 'Method Not Allowed',
    500: 'Internal Server Error', 502: 'Bad Gateway', 503: 'Service Unavailable',
}


class Route:
    """One canned answer. ``handler(request_dict)`` may replace the static answer by
    returning (status, headers dict, body bytes)."""

    def __init__(self, body=b'', status=200, content_type='application/octet-stream',
                 headers=None, no_length=False, stall_before=0.0, stall_during=0.0,
                 cut_after=None, auth=None, handler=None):
        if isinstance(body, str):
            body = body.encode('utf-8')
        self.body = body
        self.status = status
        self.content_type = content_type
        self.headers = dict(headers or {})
        self.no_length = no_length
        self.stall_before = min(float(stall_before), MAX_STALL_SECONDS)
        self.stall_during = min(float(stall_during), MAX_STALL_SECONDS)
        self.cut_after = cut_after
        self.auth = auth
        self.handler = handler
        self.hits = 0


class _Closed(Exception):
    pass


class TestServer:
    def __init__(self, port=0, root=None, unix_socket=None):
        self._lock = threading.Lock()
        self._routes = {}
        self._log = []
        self._stop = threading.Event()
        self._threads = []
        self._conns = set()
        self.root = root
        self.certs = None
        self._cert_choice = {None: 'good'}
        self._contexts = {}
        self.started_at = time.time()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(('127.0.0.1', port))
        self._listener.listen(64)
        self.port = self._listener.getsockname()[1]
        self.unix_path = unix_socket
        self._unix = None
        if unix_socket:
            try:
                os.unlink(unix_socket)
            except FileNotFoundError:
                pass
            self._unix = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self._unix.bind(unix_socket)
            self._unix.listen(64)

    # ---- life cycle -------------------------------------------------------------------
    def start(self):
        for lst in [self._listener] + ([self._unix] if self._unix else []):
            t = threading.Thread(target=self._accept_loop, args=(lst,), daemon=True)
            t.start()
            self._threads.append(t)
        return self

    def stop(self):
        self._stop.set()
        for lst in [self._listener, self._unix]:
            if lst is not None:
                try:
                    lst.shutdown(socket.SHUT_RDWR)  # wakes a thread blocked in accept()
                except OSError:
                    pass
                try:
                    lst.close()
                except OSError:
                    pass
        with self._lock:
            conns = list(self._conns)
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            try:
                c.close()
            except OSError:
                pass
        for t in self._threads:
            t.join(timeout=2)
        if self.unix_path:
            try:
                os.unlink(self.unix_path)
            except OSError:
                pass

    @property
    def proxy(self):
        return '127.0.0.1:%d' % self.port

    # ---- routes and log -----------------------------------------------------------------
    def add_route(self, path, host=None, query=None, **kwargs):
        """Adds (or replaces) the answer for path (and optionally host and exact query)."""
        route = kwargs.pop('route', None) or Route(**kwargs)
        key = (host.lower() if host else None, path, query)
        with self._lock:
            self._routes[key] = route
        return route

    def remove_route(self, path, host=None, query=None):
        with self._lock:
            self._routes.pop((host.lower() if host else None, path, query), None)

    def clear_routes(self):
        with self._lock:
            self._routes.clear()

    def log(self):
        with self._lock:
            return [dict(e) for e in self._log]

    def requests(self, path=None, host=None):
        """Logged HTTP requests (CONNECT entries left out), optionally filtered."""
        out = []
        for e in self.log():
            if e['method'] == 'CONNECT':
                continue
            if path is not None and e['path'] != path:
                continue
            if host is not None and e['host'] != host.lower():
                continue
            out.append(e)
        return out

    def clear_log(self):
        with self._lock:
            self._log.clear()

    def _add_log(self, entry):
        with self._lock:
            self._log.append(entry)

    def _find_route(self, host, path, query):
        with self._lock:
            for key in ((host, path, query), (host, path, None), (None, path, query), (None, path, None)):
                r = self._routes.get(key)
                if r is not None:
                    r.hits += 1
                    return r
        return None

    # ---- TLS ------------------------------------------------------------------------------
    def set_certs(self, certs):
        self.certs = certs
        self._contexts.clear()

    def use_cert(self, kind, host=None):
        """kind: 'good' (trusted CA, right names), 'untrusted' (unknown CA), 'wronghost'."""
        with self._lock:
            self._cert_choice[host.lower() if host else None] = kind

    def _context_for(self, host):
        with self._lock:
            kind = self._cert_choice.get(host, self._cert_choice.get(None, 'good'))
        if self.certs is None:
            raise RuntimeError('no certificates: call set_certs(make_certs(...)) first')
        ctx = self._contexts.get(kind)
        if ctx is None:
            cert, key = self.certs.server_pair(kind)
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.minimum_version = ssl.TLSVersion.TLSv1_2
            ctx.load_cert_chain(cert, key)
            self._contexts[kind] = ctx
        return ctx

    # ---- connections ----------------------------------------------------------------------
    def _accept_loop(self, listener):
        while not self._stop.is_set():
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            conn.settimeout(SOCKET_TIMEOUT)
            with self._lock:
                self._conns.add(conn)
            t = threading.Thread(target=self._serve_connection, args=(conn,), daemon=True)
            t.start()

    def _serve_connection(self, conn):
        try:
            self._serve(conn, scheme='http', tunnel_host=None, tunnel_port=None)
        except (_Closed, OSError, ssl.SSLError, ValueError):
            pass
        finally:
            with self._lock:
                self._conns.discard(conn)
            try:
                conn.close()
            except OSError:
                pass

    def _read_head(self, conn, buf):
        while b'\r\n\r\n' not in buf:
            if len(buf) > MAX_HEADER_BYTES:
                raise _Closed()
            chunk = conn.recv(65536)
            if not chunk:
                raise _Closed()
            buf += chunk
        head, rest = buf.split(b'\r\n\r\n', 1)
        return head.decode('iso-8859-1'), rest

    def _serve(self, conn, scheme, tunnel_host, tunnel_port):
        buf = b''
        while not self._stop.is_set():
            head, buf = self._read_head(conn, buf)
            lines = head.split('\r\n')
            parts = lines[0].split(' ')
            if len(parts) != 3:
                raise _Closed()
            method, target, version = parts
            headers = {}
            for line in lines[1:]:
                if ':' in line:
                    k, v = line.split(':', 1)
                    headers[k.strip().lower()] = v.strip()
            length = int(headers.get('content-length', '0') or '0')
            while len(buf) < length:
                chunk = conn.recv(65536)
                if not chunk:
                    raise _Closed()
                buf += chunk
            body, buf = buf[:length], buf[length:]

            if method == 'CONNECT' and scheme == 'http':
                self._tunnel(conn, target, headers)
                return
            entry = self._describe(method, target, headers, scheme, tunnel_host, tunnel_port, body)
            keep = self._answer(conn, entry, version, headers)
            if not keep:
                return

    def _tunnel(self, conn, target, headers):
        host, _, port = target.rpartition(':')
        host = host.strip('[]').lower()
        port = int(port or 443)
        entry = {'method': 'CONNECT', 'url': target, 'host': host, 'port': port, 'path': '',
                 'query': '', 'scheme': 'https', 'user_agent': headers.get('user-agent'),
                 'authorization': None, 'user': None, 'password': None,
                 'headers': dict(headers), 'time': time.time(), 'tls': None}
        conn.sendall(b'HTTP/1.1 200 Connection established\r\n\r\n')
        try:
            ctx = self._context_for(host)
            tls = ctx.wrap_socket(conn, server_side=True)
        except (ssl.SSLError, OSError, RuntimeError) as e:
            entry['tls'] = 'failed: %s' % e
            self._add_log(entry)
            raise _Closed()
        entry['tls'] = 'ok'
        self._add_log(entry)
        try:
            self._serve(tls, scheme='https', tunnel_host=host, tunnel_port=port)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def _describe(self, method, target, headers, scheme, tunnel_host, tunnel_port, body):
        if target.startswith('http://') or target.startswith('https://'):
            u = urllib.parse.urlsplit(target)
            host = (u.hostname or '').lower()
            port = u.port or (443 if u.scheme == 'https' else 80)
            path, query, url = u.path or '/', u.query, target
            scheme = u.scheme if scheme == 'http' else scheme
        else:
            path, _, query = target.partition('?')
            host_header = headers.get('host', '')
            hh, _, hp = host_header.rpartition(':') if ':' in host_header else (host_header, '', '')
            host = (tunnel_host or hh or host_header).lower()
            port = tunnel_port or (int(hp) if hp.isdigit() else (443 if scheme == 'https' else 80))
            default = 443 if scheme == 'https' else 80
            url = '%s://%s%s%s' % (scheme, host, '' if port == default else ':%d' % port, target)
        auth = headers.get('authorization')
        user = password = None
        if auth and auth.lower().startswith('basic '):
            try:
                dec = base64.b64decode(auth[6:].strip()).decode('utf-8', 'replace')
                user, _, password = dec.partition(':')
            except (ValueError, UnicodeError):
                pass
        return {'method': method, 'url': url, 'host': host, 'port': port, 'path': path,
                'query': query, 'scheme': scheme, 'user_agent': headers.get('user-agent'),
                'authorization': auth, 'user': user, 'password': password,
                'headers': dict(headers), 'time': time.time(),
                'ms': int((time.time() - self.started_at) * 1000), 'body': body,
                'status': None, 'tls': None}

    def _wait(self, seconds):
        if seconds > 0:
            self._stop.wait(min(seconds, MAX_STALL_SECONDS))
        if self._stop.is_set():
            raise _Closed()

    def _answer(self, conn, entry, version, req_headers):
        route = self._find_route(entry['host'], entry['path'], entry['query'])
        extra = {}
        if route is None and self.root:
            route = self._file_route(entry['path'])
        if route is None:
            status, body, ctype, route = 404, b'Not Found\n', 'text/plain', Route()
        elif route.auth and (entry['user'], entry['password']) != tuple(route.auth):
            status, body, ctype = 401, b'Unauthorized\n', 'text/plain'
            extra['WWW-Authenticate'] = 'Basic realm="test"'
            route = Route()
        elif route.handler:
            try:
                status, hdrs, body = route.handler(dict(entry))
                if isinstance(body, str):
                    body = body.encode('utf-8')
            except Exception as e:  # a test's handler failed: answer 500 and log it
                status, hdrs, body = 500, {}, ('handler failed: %r\n' % e).encode('utf-8')
                entry['error'] = repr(e)
            ctype = (hdrs or {}).get('Content-Type', route.content_type)
            extra.update(hdrs or {})
        else:
            status, body, ctype = route.status, route.body, route.content_type
        extra.update(route.headers)
        entry['status'] = status
        self._add_log(entry)

        head_only = entry['method'] == 'HEAD'
        keep = (version == 'HTTP/1.1' and req_headers.get('connection', '').lower() != 'close') or \
               req_headers.get('connection', '').lower() == 'keep-alive' or \
               req_headers.get('proxy-connection', '').lower() == 'keep-alive'
        proto = 'HTTP/1.1'
        if route.no_length or route.cut_after is not None:
            keep = False
        if route.no_length:
            proto = 'HTTP/1.0'
        # Our headers first; a route's own headers replace them by name (a test may send a
        # wrong Content-Length on purpose).
        fields = {'content-type': ('Content-Type', ctype)}
        if not route.no_length:
            fields['content-length'] = ('Content-Length', str(len(body)))
        fields['connection'] = ('Connection', 'keep-alive' if keep else 'close')
        for k, v in extra.items():
            fields[k.lower()] = (k, v)
        lines = ['%s %d %s' % (proto, status, REASONS.get(status, 'Status'))]
        lines += ['%s: %s' % kv for kv in fields.values()]
        data = ('\r\n'.join(lines) + '\r\n\r\n').encode('iso-8859-1')

        self._wait(route.stall_before)
        if head_only:
            conn.sendall(data)
            return keep
        payload = body if route.cut_after is None else body[:route.cut_after]
        if route.stall_during > 0:
            half = len(payload) // 2
            conn.sendall(data + payload[:half])
            self._wait(route.stall_during)
            conn.sendall(payload[half:])
        else:
            conn.sendall(data + payload)
        if not keep:
            try:
                conn.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        return keep

    def _file_route(self, path):
        rel = urllib.parse.unquote(path).lstrip('/')
        full = os.path.realpath(os.path.join(self.root, rel))
        root = os.path.realpath(self.root)
        if not (full == root or full.startswith(root + os.sep)):
            return None
        if os.path.isdir(full):
            full = os.path.join(full, 'index.html')
        if not os.path.isfile(full):
            return None
        with open(full, 'rb') as f:
            data = f.read()
        return Route(body=data, content_type=_guess_type(full))


def _guess_type(name):
    ext = os.path.splitext(name)[1].lower()
    return {'.xml': 'text/xml', '.rss': 'application/rss+xml', '.png': 'image/png',
            '.html': 'text/html', '.htm': 'text/html', '.txt': 'text/plain',
            '.exe': 'application/octet-stream'}.get(ext, 'application/octet-stream')


# ---- certificates --------------------------------------------------------------------------

class Certs:
    """Paths of the generated test certificates (PEM) in one folder."""

    def __init__(self, folder):
        self.folder = folder

    def path(self, name):
        return os.path.join(self.folder, name)

    @property
    def ca_cert(self):
        return self.path('ca.crt')

    @property
    def untrusted_ca_cert(self):
        return self.path('untrusted-ca.crt')

    def server_pair(self, kind):
        """(certificate chain file, key file) presented for kind 'good', 'untrusted' or
        'wronghost'. The chain holds the server certificate and its CA, as real servers send
        it, so a client sees a complete chain ending in an (un)trusted root."""
        names = {'good': ('server', 'ca'), 'untrusted': ('untrusted-server', 'untrusted-ca'),
                 'wronghost': ('wronghost', 'ca')}
        leaf, ca = names[kind]
        chain = self.path(leaf + '-chain.pem')
        if not os.path.exists(chain):
            with open(self.path(leaf + '.crt'), 'rb') as f:
                data = f.read()
            with open(self.path(ca + '.crt'), 'rb') as f:
                data += f.read()
            tmp = chain + '.%d' % os.getpid()
            with open(tmp, 'wb') as f:
                f.write(data)
            os.replace(tmp, chain)
        return chain, self.path(leaf + '.key')

    def der(self, which='ca'):
        """DER bytes of 'ca' or 'untrusted-ca'."""
        with open(self.path(which + '.crt'), 'rb') as f:
            return ssl.PEM_cert_to_DER_cert(f.read().decode('ascii'))

    def sha1(self, which='ca'):
        return hashlib.sha1(self.der(which)).hexdigest().upper()


def _openssl(args, cwd):
    subprocess.run(['openssl'] + args, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE, timeout=60)


def make_certs(folder, hosts=('localhost',), wrong_host='wrong-host.invalid'):
    """Creates (once; reused when present) the test CA, the untrusted CA and their server
    certificates for `hosts` in `folder` (a cache keyed by the host list)."""
    key = hashlib.sha1(('|'.join(hosts) + '#' + wrong_host).encode()).hexdigest()[:10]
    folder = os.path.join(folder, 'certs-' + key)
    done = os.path.join(folder, '.complete')
    if os.path.exists(done):
        return Certs(folder)
    tmp = folder + '.tmp%d' % os.getpid()
    os.makedirs(tmp, exist_ok=True)
    for ca in ('ca', 'untrusted-ca'):
        subj = '/CN=Tarnbeam Test Root' if ca == 'ca' else '/CN=Untrusted Test Root'
        _openssl(['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', ca + '.key',
                  '-out', ca + '.crt', '-days', '3650', '-subj', subj,
                  '-addext', 'basicConstraints=critical,CA:TRUE',
                  '-addext', 'keyUsage=critical,keyCertSign,cRLSign'], tmp)

    def leaf(name, ca, names):
        san = ','.join('DNS:' + h for h in names)
        with open(os.path.join(tmp, name + '.ext'), 'w') as f:
            f.write('basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n'
                    'extendedKeyUsage=serverAuth\nsubjectAltName=%s\n' % san)
        _openssl(['req', '-newkey', 'rsa:2048', '-nodes', '-keyout', name + '.key', '-out',
                  name + '.csr', '-subj', '/CN=' + names[0]], tmp)
        _openssl(['x509', '-req', '-in', name + '.csr', '-CA', ca + '.crt', '-CAkey', ca + '.key',
                  '-CAcreateserial', '-out', name + '.crt', '-days', '3650', '-sha256',
                  '-extfile', name + '.ext'], tmp)

    leaf('server', 'ca', list(hosts))
    leaf('untrusted-server', 'untrusted-ca', list(hosts))
    leaf('wronghost', 'ca', [wrong_host])
    open(os.path.join(tmp, '.complete'), 'w').close()
    try:
        os.rename(tmp, folder)
    except OSError:
        # Another process finished first; use its folder.
        subprocess.run(['rm', '-rf', tmp], check=False)
    return Certs(folder)


# ---- relay (for loopback-only network namespaces) -------------------------------------------

def _pipe(a, b):
    try:
        while True:
            data = a.recv(65536)
            if not data:
                break
            b.sendall(data)
    except OSError:
        pass
    finally:
        try:
            b.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def run_in_loopback_namespace(unix_path, port, command):
    """Runs inside a fresh network namespace (the caller uses ``unshare -n``): brings up the
    loopback interface, relays 127.0.0.1:port to the server's Unix socket outside (Unix
    sockets in the file system cross network namespaces), runs `command` and returns its
    exit status. The relay ends with this process. Without a socket path only the loopback
    interface is brought up."""
    subprocess.run(['ip', 'link', 'set', 'lo', 'up'], check=True, timeout=10)
    if not unix_path:
        return subprocess.call(command)
    lst = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lst.bind(('127.0.0.1', port))
    lst.listen(64)

    def accept_loop():
        while True:
            try:
                conn, _ = lst.accept()
            except OSError:
                return
            try:
                up = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                up.connect(unix_path)
            except OSError:
                conn.close()
                continue
            threading.Thread(target=_pipe, args=(conn, up), daemon=True).start()
            threading.Thread(target=_pipe, args=(up, conn), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    return subprocess.call(command)


def main(argv):
    import argparse
    p = argparse.ArgumentParser(description='Local test web server and forward proxy.')
    p.add_argument('--port', type=int, default=8080)
    p.add_argument('--root', help='serve files from this folder')
    p.add_argument('--netns-run', action='store_true',
                   help='(inside unshare -n) bring up loopback, relay 127.0.0.1:PORT to '
                        '--relay-socket when given, and run the command')
    p.add_argument('--relay-socket', default='', metavar='UNIX_SOCKET')
    p.add_argument('command', nargs='*', help='command for --netns-run (after --)')
    a = p.parse_args(argv)
    if a.netns_run:
        return run_in_loopback_namespace(a.relay_socket, a.port, a.command)
    srv = TestServer(port=a.port, root=a.root).start()
    print('listening on 127.0.0.1:%d (proxy and web server)%s' % (
        srv.port, ', files from ' + a.root if a.root else ''), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        srv.stop()
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
