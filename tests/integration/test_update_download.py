"""The Update command of the real tarnbeam.exe under the host test program, against the local web
server: every refusal before and after the transfer (host, names, folder, transfer, digest,
signature), Cancel, and a second press after a failure.

Catches a download that reaches an untrusted host, writes outside its folder or under a name the
server chose badly, takes a file that no program's name or bytes (a script, a cabinet, data hidden
in the certificate table), uses a download folder another account may change, leaves earlier
downloads behind forever, starts or keeps a file that failed a check, reports a failure as
success, or leaves the main dialog disabled after a failure."""

import hashlib
import os
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Prefix, Rule, WebServer, exe_path  # noqa: E402
from codesign import signing_keys  # noqa: E402
from test_feed_reader import HOST  # noqa: E402

MAIN = 'Ondrel Update'
BOX = 'Update Program'
DIALOG = '#32770'
INFO_PATH = '/update/info.xml'
DOWNLOAD_PATH = r'Ondrel\DlTest'
UPDATE, PROGRESS = 1006, 1007


def config(name, download_path=DOWNLOAD_PATH):
    return ('<?xml version="1.0" encoding="utf-8"?><VeltroUpdate>'
            '<DownloadPath>%s</DownloadPath>'
            '<RegKey>Software\\Ondrel\\%s</RegKey><CommonRegKey>Software\\Ondrel\\%sCommon</CommonRegKey>'
            '<RSSURL>http://%s/rss/none.xml</RSSURL><NoUpdateMessage>Up to date</NoUpdateMessage>'
            '<CheckFailMessage>Check failed</CheckFailMessage><NoUpdateDescription>none</NoUpdateDescription>'
            '<CheckFailDescription>failed</CheckFailDescription><IntegrateMode>0</IntegrateMode>'
            '<VersionInfoURL>http://%s%s</VersionInfoURL>'
            '<Component><ID>TB-Main</ID><Name>Main Test</Name><Module>tarnbeam.exe</Module></Component>'
            '</VeltroUpdate>' % (download_path, name, name, HOST, HOST, INFO_PATH))


def info(file_url, file_name, md5):
    return ('<?xml version="1.0"?><UpdateInfoBase><Component>'
            '<VersionMajor>4</VersionMajor><VersionMinor>6</VersionMinor><VersionBuild>1</VersionBuild>'
            '<VersionString>4.6.1</VersionString><FileURL>%s</FileURL><FileName>%s</FileName>'
            '<FileMD5>%s</FileMD5><Description>&lt;p&gt;New.&lt;/p&gt;</Description>'
            '<Date>Mon, 02 Jan 2006 15:04:05 GMT</Date><ID>TB-Main</ID>'
            '</Component></UpdateInfoBase>' % (file_url, file_name, md5))


def md5(data):
    return hashlib.md5(data).hexdigest()


def sign_file(src, folder, name, signer):
    dst = os.path.join(folder, name)
    signing_keys().sign(src, dst, signer)
    with open(dst, 'rb') as f:
        return f.read()


def with_certificate_tail(data, tail):
    """A signed PE with `tail` appended inside its certificate table (its last part, as signing
    tools write it): the signature still verifies, for it does not cover the table."""
    out = bytearray(data)
    pe = struct.unpack_from('<I', out, 0x3C)[0]
    directory = pe + 24 + 112 + 4 * 8  # PE32+: the certificate table's entry
    offset, size = struct.unpack_from('<II', out, directory)
    assert offset + size == len(out), 'the certificate table is not at the end'
    struct.pack_into('<II', out, directory, offset, size + len(tail))
    length, = struct.unpack_from('<I', out, offset)
    struct.pack_into('<I', out, offset, length + len(tail))
    return bytes(out + tail)


def payload_variants(folder):
    """Bytes of the test update program: 'unsigned'; signed by 'signed' (the maker), 'renewed'
    (the maker's subject, another key), 'namesake' (the maker's name, another organisation),
    'other' (another publisher), 'rogue' (an untrusted root); 'tampered' after signing, 'padded'
    (a payload hidden in the certificate table); and signed non-programs named .exe: 'script',
    'cabinet'."""
    src = str(exe_path('updatepayload'))
    with open(src, 'rb') as f:
        out = {'unsigned': f.read()}
    for signer, name in (('maker', 'signed'), ('renewed', 'renewed'), ('namesake', 'namesake'), ('other', 'other'),
                         ('rogue', 'rogue')):
        out[name] = sign_file(src, folder, name + '.exe', signer)
    tampered = bytearray(out['signed'])
    tampered[0x400 + 64] ^= 0xFF  # a byte of code; the signature itself is intact
    out['tampered'] = bytes(tampered)
    out['padded'] = with_certificate_tail(out['signed'], b'\x90' * 4096)
    script = os.path.join(folder, 'script.cmd')
    with open(script, 'w') as f:
        f.write('@echo off\r\necho started > C:\\script-ran.txt\r\n')
    out['script'] = open(script, 'rb').read()
    cabinet = os.path.join(folder, 'payload.cab')
    subprocess.run(['gcab', '-c', '-n', cabinet, src], check=True)
    out['cabinet'] = sign_file(cabinet, folder, 'cabinet.cab', 'maker')
    return out


def box_texts(report):
    """The texts of the message boxes captioned "Update Program", in the order they were seen."""
    out = []
    for w in report['windows']:
        if w['caption'] == BOX and not any(c['id'] == PROGRESS for c in w.get('controls', [])):
            text = ' '.join(c['text'] for c in w['controls'] if c['class'].lower() == 'static' and c['text'])
            if text and text not in out:
                out.append(text)
    return out


def update_rules(presses=1, close_after=7000, extra=()):
    """Press Update (once, or twice four seconds apart), answer Yes and OK in the boxes, then close
    the main dialog when it is still there."""
    rules = [Rule(MAIN, cls=DIALOG, delay=2000 + 4000 * i, press='id:%d' % UPDATE) for i in range(presses)]
    rules += list(extra)
    rules += [Rule(BOX, cls=DIALOG, press='Yes'), Rule(BOX, cls=DIALOG, delay=300, press='OK')]
    if close_after:
        # Only once the flow has ended: the main dialog is disabled while a box or the progress
        # window is up.
        rules.append(Rule(MAIN, cls=DIALOG, delay=close_after + 4000 * (presses - 1), press='Close',
                          when_enabled=True))
    return rules


class SignedPrefixCase(unittest.TestCase):
    """One web server and one prefix (the trusted test root imported) for every case of a class,
    and the test update program in each of its signed and unsigned forms."""

    @classmethod
    def setUpClass(cls):
        cls.web = WebServer().__enter__()
        cls.prefix = Prefix(server=cls.web, ca=signing_keys().root_der('trusted')).__enter__()
        cls.files = payload_variants(str(cls.prefix.root))
        cls.count = 0

    @classmethod
    def tearDownClass(cls):
        cls.prefix.__exit__(None, None, None)
        cls.web.__exit__(None, None, None)


class UpdateFlow(SignedPrefixCase):

    def download_root(self, download_path=DOWNLOAD_PATH):
        return self.prefix.hostpath('C:\\ProgramData\\' + download_path)

    def run_update(self, file_url, file_name, file_md5, rules=None, download_path=DOWNLOAD_PATH, exe='tarnbeam',
                   env=None, locale='en'):
        UpdateFlow.count += 1
        name = 'Dl%d' % UpdateFlow.count
        self.web.route(INFO_PATH, host=HOST, body=info(file_url, file_name, file_md5), content_type='text/xml')
        app = self.prefix.app_dir(name, {'tarnbeam.exe': exe_path(exe), 'tarnbeam.xml': config(name, download_path)})
        self.prefix.reg_set('HKCU\\Software\\Ondrel\\' + name, 'ShowHello', 'REG_DWORD', 1)
        rep = self.prefix.run_host(app + r'\tarnbeam.exe', ['/hwnd:{HWND}'], rules=rules or update_rules(),
                                   timeout=90, env=env, locale=locale)
        self.assertFalse(rep['timedOut'], 'the client did not end: %s' % box_texts(rep))
        self.assertEqual(rep['exitCode'], 0)
        self.assertTrue(rep['hostEnabledAtEnd'])
        return rep

    def main_enabled_at_close(self, rep):
        closes = [w for w in rep['windows'] if w['caption'] == MAIN and w.get('action') == 'press'
                  and w.get('actionResult') == 'clicked']
        return closes and closes[-1]['enabled']

    def serve(self, name, data, **route):
        path = '/files/%d/%s' % (UpdateFlow.count + 1, name)
        self.web.route(path, host=HOST, body=data, **route)
        return 'http://%s%s' % (HOST, path)

    def download_folders(self, download_path=DOWNLOAD_PATH):
        root = self.download_root(download_path)
        return sorted(os.listdir(root)) if os.path.isdir(root) else []

    # ---- refusals after the transfer: the file is removed with its folder -------------------

    def test_digest_mismatch_twice(self):
        """A wrong MD5 ends with code 2002 and deletes the file and its folder; Update can be pressed
        again, and the second download gets a new folder and the same answer."""
        before = self.download_folders()
        url = self.serve('setup.exe', self.files['signed'])
        rep = self.run_update(url, 'setup.exe', md5(b'other'), rules=update_rules(presses=2))
        self.assertEqual(len({w['hwnd'] for w in rep['windows'] if w['caption'] == BOX and
                              '[Code=2002]' in ' '.join(c['text'] for c in w['controls'])}), 2)
        self.assertEqual(len(self.web.requests('/files/%d/setup.exe' % UpdateFlow.count)), 2)
        self.assertTrue(self.main_enabled_at_close(rep))
        self.assertEqual(self.download_folders(), before)

    def test_signature_refusals(self):
        """Unsigned, altered after signing, signed under a root the system does not trust, with a
        payload in the certificate table, and a script or a signed cabinet named .exe: each has
        the published MD5 and each ends with code 2006, nothing started, nothing kept."""
        for variant in ('unsigned', 'tampered', 'rogue', 'padded', 'script', 'cabinet'):
            with self.subTest(variant=variant):
                before = self.download_folders()
                data = self.files[variant]
                rep = self.run_update(self.serve('setup.exe', data), 'setup.exe', md5(data))
                self.assertEqual([t for t in box_texts(rep) if 'Code=' in t][-1:],
                                 ['An error occurred while downloading the file. Please try to update again.\n'
                                  '[Code=2006]'], variant)
                self.assertTrue(self.main_enabled_at_close(rep))
                self.assertEqual(self.download_folders(), before)
        self.assertFalse(os.path.exists(self.prefix.hostpath('C:\\payload.log')), 'a refused program was started')

    def test_transfer_failures(self):
        """A 404 ends with 2001; a body cut short is a completed transfer caught by the digest
        (2002). Neither keeps a file."""
        before = self.download_folders()
        data = self.files['signed']
        rep = self.run_update(self.serve('setup.exe', b'gone', status=404), 'setup.exe', md5(data))
        self.assertIn('[Code=2001]', ' '.join(box_texts(rep)))
        rep = self.run_update(self.serve('setup.exe', data, cut_after=5000), 'setup.exe', md5(data))
        self.assertIn('[Code=2002]', ' '.join(box_texts(rep)))
        self.assertTrue(self.main_enabled_at_close(rep))
        self.assertEqual(self.download_folders(), before)

    # ---- refusals before anything is made ------------------------------------------------------

    def test_refused_before_any_folder_is_made(self):
        """An untrusted host (2004), a URL without a host name (2003), a FileName with a path or a
        device name and a DownloadPath that leaves the data folder (112 with the path): no request
        for the file, no folder."""
        data = self.files['signed']
        never = r'Ondrel\Never'
        cases = [
            ('http://www.example.com/files/setup.exe', 'setup.exe', never, '[Code=2004]'),
            ('http://evil.ondrel.com.jp.example.com/setup.exe', 'setup.exe', never, '[Code=2004]'),
            ('not a url', 'setup.exe', never, '[Code=2003]'),
            (None, '..\\..\\evil.exe', never, 'Could not write updated file to disk.'),
            (None, 'CON', never, 'Could not write updated file to disk.'),
            (None, 'x' * 300 + '.exe', never, 'Could not write updated file to disk.'),
            (None, 'setup.cmd', never, 'Could not write updated file to disk.'),
            (None, 'setup.bat', never, 'Could not write updated file to disk.'),
            (None, 'setup.ps1', never, 'Could not write updated file to disk.'),
            (None, 'setup.lnk', never, 'Could not write updated file to disk.'),
            (None, 'setup.exe', 'Ondrel\\..\\..\\Escape', 'Could not write updated file to disk.'),
        ]
        for url, name, download_path, expected in cases:
            with self.subTest(url=url, name=name[:20], download_path=download_path):
                self.web.clear_log()
                url = url or self.serve('setup.exe', data)
                rep = self.run_update(url, name, md5(data), download_path=download_path)
                texts = box_texts(rep)
                self.assertTrue(any(expected in t for t in texts), texts)
                if expected.startswith('Could not'):
                    shown = [t for t in texts if expected in t][0]
                    self.assertIn(name if download_path == never else 'Escape', shown)
                self.assertEqual([r for r in self.web.log() if '/files/' in r.get('path', '')], [])
                self.assertTrue(self.main_enabled_at_close(rep))
        self.assertFalse(os.path.exists(self.download_root(never)))
        self.assertFalse(os.path.exists(self.prefix.hostpath('C:\\Escape')))
        self.assertFalse(os.path.exists(self.prefix.hostpath('C:\\evil.exe')))

    def test_unwritable_download_folder(self):
        """A DownloadPath that is a file: 112 with the path, and the file is left alone."""
        blocker = self.download_root(r'Ondrel\IsAFile')
        os.makedirs(os.path.dirname(blocker), exist_ok=True)
        with open(blocker, 'wb') as f:
            f.write(b'not a folder')
        data = self.files['signed']
        rep = self.run_update(self.serve('setup.exe', data), 'setup.exe', md5(data), download_path=r'Ondrel\IsAFile')
        texts = box_texts(rep)
        self.assertTrue(any(t.startswith('Could not write updated file to disk.') and 'IsAFile' in t
                            for t in texts), texts)
        with open(blocker, 'rb') as f:
            self.assertEqual(f.read(), b'not a folder')

    def test_download_folder_others_may_change_is_refused(self):
        """An existing download folder that every account may write to, or that another account
        owns: 112 with the path, nothing fetched, nothing made inside."""
        data = self.files['signed']
        shared = self.download_root(r'Ondrel\Shared')
        os.makedirs(shared)
        os.chmod(shared, 0o777)  # Wine reads the mode as an access list: Everyone may write
        foreign = self.download_root(r'Ondrel\Foreign')
        os.makedirs(foreign, mode=0o755)
        os.chown(foreign, 4321, 4321)  # another user's
        for download_path, folder in ((r'Ondrel\Shared', shared), (r'Ondrel\Foreign', foreign)):
            with self.subTest(download_path):
                self.web.clear_log()
                rep = self.run_update(self.serve('setup.exe', data), 'setup.exe', md5(data),
                                      download_path=download_path)
                self.assertTrue(any(t.startswith('Could not write updated file to disk.') and
                                    download_path.split('\\')[-1] in t for t in box_texts(rep)), box_texts(rep))
                self.assertEqual([r for r in self.web.log() if '/files/' in r.get('path', '')], [])
                self.assertEqual(os.listdir(folder), [])

    def test_old_downloads_are_removed_unless_in_use(self):
        """A download starting removes the folders of earlier downloads that are older than a
        day and not in use; one whose file is open, and a recent one, stay."""
        root = self.download_root(r'Ondrel\Old')
        os.makedirs(root)
        two_days_ago = time.time() - 2 * 86400
        for i in range(100):
            folder = os.path.join(root, 'dl-old%03d' % i)
            os.makedirs(folder)
            with open(os.path.join(folder, 'setup.exe'), 'wb') as f:
                f.write(b'earlier download %d' % i)
            os.utime(folder, (two_days_ago, two_days_ago))
        os.makedirs(os.path.join(root, 'dl-recent'))
        holder = self.prefix.start(exe_path('dummychild'), ['--hold', 'C:\\ProgramData\\Ondrel\\Old\\dl-old007\\setup.exe',
                                                            '--sleep', '60000'])
        try:
            deadline = time.time() + 20
            while time.time() < deadline and 'held=1' not in holder.output():
                time.sleep(0.2)
            data = self.files['signed']
            self.run_update(self.serve('setup.exe', data), 'setup.exe', md5(b'other'), download_path=r'Ondrel\Old')
        finally:
            holder.stop()
        self.assertEqual(sorted(os.listdir(root)), ['dl-old007', 'dl-recent'])

    # ---- silence ------------------------------------------------------------------------------

    def test_cancel_keeps_partial_file(self):
        """Cancel while the server stalls mid-body: no message, the main dialog usable, the partly
        written file kept in its folder."""
        before = self.download_folders()
        data = self.files['signed']
        url = self.serve('setup.exe', data, stall_during=6)
        rules = update_rules(close_after=14000, extra=[Rule(BOX, cls=DIALOG, delay=1500, press='Cancel')])
        rep = self.run_update(url, 'setup.exe', md5(data), rules=rules)
        self.assertEqual([t for t in box_texts(rep) if 'Code=' in t or 'Could not' in t], [])
        progress = [w for w in rep['windows'] if any(c['id'] == PROGRESS for c in w.get('controls', []))]
        self.assertTrue(progress, 'no progress window was seen')
        self.assertFalse([w for w in rep['windows'] if w['caption'] == MAIN and w['enabled'] and
                          w['ms'] < progress[0]['ms'] + 1000 and w['ms'] > progress[0]['ms']])
        self.assertTrue(self.main_enabled_at_close(rep))
        new = [f for f in self.download_folders() if f not in before]
        self.assertEqual(len(new), 1)
        kept = os.path.join(self.download_root(), new[0], 'setup.exe')
        self.assertTrue(0 < os.path.getsize(kept) < len(data))

    def test_no_file_url_does_nothing(self):
        """The placeholder row of a failed check has no FileURL: the command asks nothing."""
        self.web.route(INFO_PATH, host=HOST, status=404, body=b'gone')
        UpdateFlow.count += 1
        name = 'Dl%d' % UpdateFlow.count
        app = self.prefix.app_dir(name, {'tarnbeam.exe': exe_path('tarnbeam'), 'tarnbeam.xml': config(name)})
        self.prefix.reg_set('HKCU\\Software\\Ondrel\\' + name, 'ShowHello', 'REG_DWORD', 1)
        rules = [Rule(MAIN, cls=DIALOG, delay=2000, times=1, command=UPDATE),
                 Rule(BOX, cls=DIALOG, press='No'), Rule(MAIN, cls=DIALOG, delay=5000, press='Close')]
        rep = self.prefix.run_host(app + r'\tarnbeam.exe', ['/hwnd:{HWND}'], rules=rules, timeout=60)
        self.assertEqual(rep['exitCode'], 0)
        self.assertEqual([w for w in rep['windows'] if w['caption'] == BOX], [])


if __name__ == '__main__':
    unittest.main()
