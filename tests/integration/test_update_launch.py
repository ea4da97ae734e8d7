"""The Update command's success path through the real tarnbeam.exe under the host test program:
the verified program, and only it, is started, with the verb the system's version calls for; a
second process cannot change the file between the checks and the start; a build with a required
signer refuses other publishers; a system without the trust verifier starts nothing.

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
                                  config, info, md5, update_rules)

RECORDER_CLASS = r'''[HKEY_CLASSES_ROOT\.tbupd]
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
                   rules=None):
        UpdateLaunch.count += 1
        name = 'Launch%d' % UpdateLaunch.count
        path = '/files/%d/%s' % (UpdateLaunch.count, file_name)
        self.web.route(path, host=HOST, body=data, **(route or {}))
        url = 'http://%s%s' % (HOST, path)
        self.web.route(INFO_PATH, host=HOST, body=info(url, file_name, file_md5 or md5(data)),
                       content_type='text/xml')
        app = self.prefix.app_dir(name, {'tarnbeam.exe': exe_path(exe), 'tarnbeam.xml': config(name)})
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

    def test_verified_program_is_started(self):
        """The served program, signed under the imported root, with its MD5 published in upper
        case and sent without Content-Length (the bar stays at 0): started once from a fresh
        folder below the download path, and its digest is the served file's; the main dialog
        closes. A file planted at the plain target name is neither used nor changed."""
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
        program here is a signed cabinet under a file type whose two verbs run a recorder."""
        rec = exe_path('urlrecorder')
        rec_win = self.prefix.app_dir('Recorder', {'urlrecorder.exe': rec}) + r'\urlrecorder.exe'
        self.prefix.reg_import(RECORDER_CLASS % {'rec': rec_win.replace('\\', '\\\\')})
        src = self.prefix.root / 'verb.txt'
        src.write_bytes(b'cabinet content\n')
        cab = self.prefix.root / 'verb.cab'
        subprocess.run(['gcab', '-c', '-n', str(cab), str(src)], check=True)
        signed = self.prefix.root / 'verb-signed.cab'
        signing_keys().sign(cab, signed, 'maker')
        data = signed.read_bytes()
        recorded = self.prefix.root / 'verbs.log'
        env = {'TB_URLRECORDER_LOG': self.prefix.winpath(recorded)}
        self.run_update(data, file_name='update.tbupd', env=env, rules=update_rules(close_after=0))
        self.assertTrue(wait_for_file(str(recorded)))
        app_defaults = r'HKCU\Software\Wine\AppDefaults\tarnbeam.exe'
        self.prefix.reg_set(app_defaults, 'Version', 'REG_SZ', 'winxp64')
        try:
            self.run_update(data, file_name='update.tbupd', env=env, rules=update_rules(close_after=0))
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
        rename and delete the file while it is written, pinned and verified: every try fails,
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
                         ['%s write=0 replace=0 rename=0 delete=0' % s for s in ('writing', 'pinned', 'verified')])
        lines = self.payload_lines(log)
        self.assertEqual(len(lines), 1, box_texts(rep))
        self.assertEqual(lines[0]['md5'], md5(data))


if __name__ == '__main__':
    unittest.main()
