"""The Update command's success path through the real tarnbeam.exe under the host test program:
the verified program, and only it, is started, from its own folder, with the verb the system's
version calls for; a second process cannot change the file between the checks and the start; a
signed client starts only programs of its own publisher, a build with a required signer only
those of that signer; a build that binds the versions only the version offered; a system without
the trust verifier starts nothing.

The started program (tools/updatepayload) records its own path and the MD5 of its own file, so
the test compares what ran with what the server sent."""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import exe_path  # noqa: E402
from codesign import signing_keys  # noqa: E402
from test_feed_reader import HOST  # noqa: E402
from test_update_download import (DOWNLOAD_PATH, INFO_PATH, PROGRESS, SignedPrefixCase, box_texts,  # noqa: E402
                                  config, info, md5, sign_file, update_rules)

RECORDER_CLASS = r'''[HKEY_CLASSES_ROOT\.msi]
@="TbUpdateTest"

[HKEY_CLASSES_ROOT\TbUpdateTest\shell\open\command]
@="\"%(rec)s\" OPEN \"%%1\""

[HKEY_CLASSES_ROOT\TbUpdateTest\shell\RunAs\command]
@="\"%(rec)s\" RUNAS \"%%1\""
'''


def wait_for_file(path, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            time.sleep(0.3)
            return True
        time.sleep(0.2)
    return False


class UpdateLaunch(SignedPrefixCase):
    def run_update(self, data, file_name='setup.exe', exe='tarnbeam', file_md5=None, env=None, route=None,
                   rules=None, download_path=DOWNLOAD_PATH, offered=None):
        """Serves `data` as the update and presses Update in `exe` (a program's name, or the
        client's own bytes); `offered` replaces the offered version 4.6.1."""
        UpdateLaunch.count += 1
        name = 'Launch%d' % UpdateLaunch.count
        path = '/files/%d/%s' % (UpdateLaunch.count, file_name)
        self.web.route(path, host=HOST, body=data, **(route or {}))
        url = 'http://%s%s' % (HOST, path)
        document = info(url, file_name, file_md5 or md5(data))
        if offered:
            document = document.replace('<VersionBuild>1</VersionBuild>', '<VersionBuild>%d</VersionBuild>' % offered)
        self.web.route(INFO_PATH, host=HOST, body=document, content_type='text/xml')
        client = exe if isinstance(exe, bytes) else exe_path(exe)
        app = self.prefix.app_dir(name, {'tarnbeam.exe': client, 'tarnbeam.xml': config(name, download_path)})
        self.prefix.reg_set('HKCU\\Software\\Ondrel\\' + name, 'ShowHello', 'REG_DWORD', 1)
        log = self.prefix.root / ('payload-%d.log' % UpdateLaunch.count)
        run_env = {'TB_PAYLOAD_LOG': self.prefix.winpath(log)}
        run_env.update(env or {})
        rep = self.prefix.run_host(app + r'\tarnbeam.exe', ['/hwnd:{HWND}'], rules=rules or update_rules(),
                                   timeout=90, env=run_env)
        self.assertFalse(rep['timedOut'], box_texts(rep))
        self.assertEqual(rep['exitCode'], 0)
        self.assertTrue(rep['hostEnabledAtEnd'])
        return rep, log

    def payload_lines(self, log, wait=True):
        if wait:
            wait_for_file(str(log))
        if not os.path.exists(log):
            return []
        with open(log, encoding='utf-8') as f:
            return [dict(part.split('=', 1) for part in line.split()) for line in f if line.strip()]

    def started(self, rep, log):
        """The one program started, its record checked against what the server sent."""
        lines = self.payload_lines(log)
        self.assertEqual(len(lines), 1, box_texts(rep))
        return lines[0]

    def test_verified_program_is_started(self):
        """The served program, signed under the imported root, with its MD5 published in upper
        case and sent without Content-Length (the bar stays at 0): started once from a fresh
        folder below the download path, with that folder as its working folder, and its digest is
        the served file's; the main dialog closes. A file planted at the plain target name is
        neither used nor changed."""
        base = self.prefix.hostpath('C:\\ProgramData\\' + DOWNLOAD_PATH)
        os.makedirs(base, exist_ok=True)
        planted = os.path.join(base, 'setup.exe')
        with open(planted, 'wb') as f:
            f.write(b'planted before the download')
        data = self.files['signed']
        rep, log = self.run_update(data, file_md5=md5(data).upper(),
                                   route={'no_length': True, 'stall_during': 2},
                                   rules=update_rules(close_after=0))
        lines = self.payload_lines(log)
        self.assertEqual(len(lines), 1, box_texts(rep))
        self.assertEqual(lines[0]['md5'], md5(data))
        folder, exe = lines[0]['path'].rsplit('\\', 1)
        self.assertEqual(exe, 'setup.exe')
        parent, own = folder.rsplit('\\', 1)
        self.assertEqual(parent.lower(), ('C:\\ProgramData\\' + DOWNLOAD_PATH).lower())
        self.assertTrue(own.startswith('dl-'), own)
        self.assertEqual(lines[0]['cwd'].rstrip('\\').lower(), folder.lower())
        with open(planted, 'rb') as f:
            self.assertEqual(f.read(), b'planted before the download')
        # (A snapshot taken as the window goes away reads no range; those are left out.)
        bars = [c for w in rep['windows'] for c in w.get('controls', [])
                if c['id'] == PROGRESS and c.get('rangeHigh') == 100]
        self.assertTrue(bars, 'no progress window was seen')
        self.assertEqual([b['pos'] for b in bars], [0] * len(bars))
        self.assertEqual([t for t in box_texts(rep) if 'Code=' in t], [])

    def test_verb_follows_the_system_version(self):
        """"RunAs" where the system reports version 6 or later, "open" where it reports XP. The
        program here is a signed installer package, whose file type's two verbs run a recorder
        in this prefix."""
        rec = exe_path('urlrecorder')
        rec_win = self.prefix.app_dir('Recorder', {'urlrecorder.exe': rec}) + r'\urlrecorder.exe'
        self.prefix.reg_import(RECORDER_CLASS % {'rec': rec_win.replace('\\', '\\\\')})
        package = self.prefix.root / 'verb.msi'
        subprocess.run(['msibuild', str(package), '-s', 'Verb test', 'Tarnbeam Test Makers', ';1033',
                        '{5E9F1C3A-6A43-4C8E-9B9E-3C1D2F2A4B11}'], check=True)
        signed = self.prefix.root / 'verb-signed.msi'
        signing_keys().sign(package, signed, 'maker')
        data = signed.read_bytes()
        recorded = self.prefix.root / 'verbs.log'
        env = {'TB_URLRECORDER_LOG': self.prefix.winpath(recorded)}
        self.run_update(data, file_name='update.msi', env=env, rules=update_rules(close_after=0))
        self.assertTrue(wait_for_file(str(recorded)))
        app_defaults = r'HKCU\Software\Wine\AppDefaults\tarnbeam.exe'
        self.prefix.reg_set(app_defaults, 'Version', 'REG_SZ', 'winxp64')
        try:
            self.run_update(data, file_name='Update.MSI', env=env, rules=update_rules(close_after=0))
        finally:
            self.prefix.reg_delete_key(app_defaults)
        wait_for_file(str(recorded))
        verbs = [line.split()[1] for line in recorded.read_text().splitlines() if line.strip()]
        self.assertEqual(verbs, ['RUNAS', 'OPEN'])

    def test_no_trust_verifier_starts_nothing(self):
        """With the trust verifier's library unavailable to the process: code 2005, nothing
        started, nothing kept."""
        data = self.files['signed']
        overrides = 'mscoree=;mshtml=;wintrust='
        rep, log = self.run_update(data, env={'WINEDLLOVERRIDES': overrides})
        self.assertIn('[Code=2005]', ' '.join(box_texts(rep)))
        self.assertEqual(self.payload_lines(log, wait=False), [])

    def test_required_signer_and_swap(self):
        """A build with a required signer refuses a program signed by another trusted publisher
        (2006). With the download held at each stage, a second process tries to write, replace,
        rename and delete the file, and to rename its folder, while it is written, pinned and
        verified: every try fails,
        and the program started is the one the server sent, signed by the required signer."""
        rep, log = self.run_update(self.files['other'], exe='tarnbeam_staged')
        self.assertIn('[Code=2006]', ' '.join(box_texts(rep)))
        self.assertEqual(self.payload_lines(log, wait=False), [])

        stages = self.prefix.root / 'stages'
        stages.mkdir()
        attacker = self.prefix.root / 'attacker.exe'
        attacker.write_bytes(self.files['unsigned'])
        swapper = self.prefix.start(exe_path('fileswapper'), [self.prefix.winpath(stages),
                                                               self.prefix.winpath(attacker)])
        data = self.files['signed']
        rep, log = self.run_update(data, exe='tarnbeam_staged', env={'TB_STAGE_DIR': self.prefix.winpath(stages)},
                                   rules=update_rules(close_after=0))
        swapper.wait(60)
        results = (stages / 'swapper.log').read_text().split('\n')
        self.assertEqual([line for line in results if line],
                         ['%s write=0 replace=0 rename=0 delete=0 folder=0' % s
                          for s in ('writing', 'pinned', 'verified')])
        lines = self.payload_lines(log)
        self.assertEqual(len(lines), 1, box_texts(rep))
        self.assertEqual(lines[0]['md5'], md5(data))

    def test_signed_client_starts_only_its_own_publisher(self):
        """A client signed by the maker starts a program signed by the maker, also with a renewed
        certificate of the same subject, and refuses (2006, nothing started) one of another
        publisher under the same root or of the maker's name under another organisation. An
        unsigned client, and one whose signature is damaged, start any trusted signer's."""
        client = sign_file(str(exe_path('tarnbeam')), str(self.prefix.root), 'tarnbeam-signed.exe', 'maker')
        damaged = bytearray(client)
        damaged[0x400 + 64] ^= 0xFF
        cases = [(client, 'signed', True), (client, 'renewed', True), (client, 'other', False),
                 (client, 'namesake', False), ('tarnbeam', 'other', True), (bytes(damaged), 'other', True)]
        for exe, program, accepted in cases:
            with self.subTest(client='signed' if exe is client else str(exe)[:8], program=program):
                before = self.download_root_listing()
                rep, log = self.run_update(self.files[program], exe=exe,
                                           rules=update_rules(close_after=0 if accepted else 7000))
                if accepted:
                    self.assertEqual(self.started(rep, log)['md5'], md5(self.files[program]))
                else:
                    self.assertIn('[Code=2006]', ' '.join(box_texts(rep)))
                    self.assertEqual(self.payload_lines(log, wait=False), [])
                    self.assertEqual(self.download_root_listing(), before)

    def test_trailing_separator_and_bound_version(self):
        """"Ondrel\\LaunchSep\\" downloads into Ondrel\\LaunchSep. A build binding the versions starts
        the program whose product version is the one offered (4.6.1), and refuses (2006) it when
        4.6.2 is offered."""
        data = self.files['signed']
        rep, log = self.run_update(data, download_path='Ondrel\\LaunchSep\\', rules=update_rules(close_after=0))
        self.assertTrue(self.started(rep, log)['path'].startswith('C:\\ProgramData\\Ondrel\\LaunchSep\\dl-'))
        bind = {'TB_STAGED_BIND_VERSION': '1'}
        rep, log = self.run_update(data, exe='tarnbeam_staged', env=bind, rules=update_rules(close_after=0))
        self.assertEqual(self.started(rep, log)['md5'], md5(data))
        rep, log = self.run_update(data, exe='tarnbeam_staged', env=bind, offered=2)
        self.assertIn('[Code=2006]', ' '.join(box_texts(rep)))
        self.assertEqual(self.payload_lines(log, wait=False), [])

    def download_root_listing(self):
        root = self.prefix.hostpath('C:\\ProgramData\\' + DOWNLOAD_PATH)
        return sorted(os.listdir(root)) if os.path.isdir(root) else []


if __name__ == '__main__':
    unittest.main()
