"""Code-signing material for the update download tests: two roots (one to import into the test
prefix, one never imported), three signer certificates, and Authenticode signing with
osslsigncode.

    keys = signing_keys()                   # created once per build folder, then reused
    keys.sign(src, dst, 'maker')            # 'maker', 'other' (same trusted root), 'rogue'
    keys.root_der('trusted')                # DER of the root to import ('trusted' | 'untrusted')
"""

import os
import ssl
import subprocess

from harness import TMP

# Signer name -> (certificate common name, root).
SIGNERS = {
    'maker': ('Tarnbeam Test Signer', 'trusted'),
    'other': ('Other Test Publisher', 'trusted'),
    'rogue': ('Tarnbeam Test Signer', 'untrusted'),
}
ROOTS = {'trusted': 'Tarnbeam Code Test Root', 'untrusted': 'Unknown Code Test Root'}


def _openssl(args, cwd):
    subprocess.run(['openssl'] + args, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE, timeout=60)


class SigningKeys:
    def __init__(self, folder):
        self.folder = folder

    def root_der(self, root='trusted'):
        with open(os.path.join(self.folder, root + '.crt'), 'rb') as f:
            return ssl.PEM_cert_to_DER_cert(f.read().decode('ascii'))

    def sign(self, src, dst, signer='maker'):
        """Signs the PE or cabinet file `src` into `dst` (SHA-256 digest, no time stamp)."""
        _, root = SIGNERS[signer]
        chain = os.path.join(self.folder, signer + '-chain.pem')
        subprocess.run(['osslsigncode', 'sign', '-certs', chain, '-key', os.path.join(self.folder, signer + '.key'),
                        '-h', 'sha256', '-n', 'Update program', '-in', str(src), '-out', str(dst)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)


def signing_keys():
    folder = os.path.join(str(TMP), 'codesign-keys')
    if os.path.exists(os.path.join(folder, '.complete')):
        return SigningKeys(folder)
    tmp = folder + '.tmp%d' % os.getpid()
    os.makedirs(tmp, exist_ok=True)
    for root, name in ROOTS.items():
        _openssl(['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', root + '.key', '-out', root + '.crt',
                  '-days', '3650', '-subj', '/CN=' + name, '-addext', 'basicConstraints=critical,CA:TRUE',
                  '-addext', 'keyUsage=critical,keyCertSign,cRLSign'], tmp)
    with open(os.path.join(tmp, 'leaf.ext'), 'w') as f:
        f.write('basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n'
                'extendedKeyUsage=codeSigning\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n')
    for signer, (cn, root) in SIGNERS.items():
        _openssl(['req', '-newkey', 'rsa:2048', '-nodes', '-keyout', signer + '.key', '-out', signer + '.csr',
                  '-subj', '/CN=' + cn], tmp)
        _openssl(['x509', '-req', '-in', signer + '.csr', '-CA', root + '.crt', '-CAkey', root + '.key',
                  '-CAcreateserial', '-out', signer + '.crt', '-days', '3650', '-sha256', '-extfile', 'leaf.ext'],
                 tmp)
        with open(os.path.join(tmp, signer + '-chain.pem'), 'wb') as out:
            for part in (signer + '.crt', root + '.crt'):
                with open(os.path.join(tmp, part), 'rb') as f:
                    out.write(f.read())
    open(os.path.join(tmp, '.complete'), 'w').close()
    try:
        os.rename(tmp, folder)
    except OSError:
        subprocess.run(['rm', '-rf', tmp], check=False)  # another test process finished first
    return SigningKeys(folder)
