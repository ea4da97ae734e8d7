"""Code-signing material for the update download tests: two roots (one to import into the test
prefix, one never imported), five signer certificates, Authenticode signing with osslsigncode
and detached CMS signatures with openssl.

    keys = signing_keys()                   # created once per build folder, then reused
    keys.sign(src, dst, 'maker')            # a signer of SIGNERS
    keys.sign_detached(data, 'maker')       # DER of a detached CMS signature over the bytes
    keys.root_der('trusted')                # DER of the root to import ('trusted' | 'untrusted')
"""

import os
import ssl
import subprocess

from harness import TMP

MAKER_SUBJECT = '/O=Tarnbeam Test Makers/CN=Tarnbeam Test Signer'
# The maker's subject as `openssl x509 -subject` prints it (the form of the required-signer setting).
MAKER_SUBJECT_TEXT = 'subject=O = Tarnbeam Test Makers, CN = Tarnbeam Test Signer'
# Signer name -> (certificate subject, root). 'renewed' is the maker's subject with a key of its
# own; 'namesake' the maker's common name under another organisation.
SIGNERS = {
    'maker': (MAKER_SUBJECT, 'trusted'),
    'renewed': (MAKER_SUBJECT, 'trusted'),
    'namesake': ('/O=Another Test Organisation/CN=Tarnbeam Test Signer', 'trusted'),
    'other': ('/O=Other Test Publisher Ltd/CN=Other Test Publisher', 'trusted'),
    'rogue': (MAKER_SUBJECT, 'untrusted'),
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

    def sign(self, src, dst, signer='maker', description='Update program'):
        """Signs the PE or cabinet file `src` into `dst` (SHA-256 digest, no time stamp)."""
        chain = os.path.join(self.folder, signer + '-chain.pem')
        subprocess.run(['osslsigncode', 'sign', '-certs', chain, '-key', os.path.join(self.folder, signer + '.key'),
                        '-h', 'sha256', '-n', description, '-in', str(src), '-out', str(dst)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)

    def sign_detached(self, data, signer='maker'):
        """A detached CMS signature (DER) over `data`, as a maker signs its version document."""
        cert = os.path.join(self.folder, signer + '.crt')
        r = subprocess.run(['openssl', 'cms', '-sign', '-binary', '-outform', 'DER', '-signer', cert,
                            '-inkey', os.path.join(self.folder, signer + '.key')],
                           input=data, capture_output=True, check=True, timeout=60)
        return r.stdout


def make_keys(folder, roots, signers, days):
    """Makes in `folder` a code-signing root per entry of `roots` (name -> common name) and a
    certificate per entry of `signers` (name -> (subject, root name)), each with its chain; the
    files SigningKeys reads."""
    for root, name in roots.items():
        _openssl(['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', root + '.key', '-out', root + '.crt',
                  '-days', str(days), '-subj', '/CN=' + name, '-addext', 'basicConstraints=critical,CA:TRUE',
                  '-addext', 'keyUsage=critical,keyCertSign,cRLSign'], folder)
    with open(os.path.join(folder, 'leaf.ext'), 'w') as f:
        f.write('basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n'
                'extendedKeyUsage=codeSigning\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n')
    for signer, (subject, root) in signers.items():
        _openssl(['req', '-newkey', 'rsa:2048', '-nodes', '-keyout', signer + '.key', '-out', signer + '.csr',
                  '-subj', subject], folder)
        _openssl(['x509', '-req', '-in', signer + '.csr', '-CA', root + '.crt', '-CAkey', root + '.key',
                  '-CAcreateserial', '-out', signer + '.crt', '-days', str(days), '-sha256', '-extfile',
                  'leaf.ext'], folder)
        with open(os.path.join(folder, signer + '-chain.pem'), 'wb') as out:
            for part in (signer + '.crt', root + '.crt'):
                with open(os.path.join(folder, part), 'rb') as f:
                    out.write(f.read())
    return SigningKeys(folder)


def signing_keys():
    folder = os.path.join(str(TMP), 'codesign-keys-2')
    if os.path.exists(os.path.join(folder, '.complete')):
        return SigningKeys(folder)
    tmp = folder + '.tmp%d' % os.getpid()
    os.makedirs(tmp, exist_ok=True)
    make_keys(tmp, ROOTS, SIGNERS, 3650)
    open(os.path.join(tmp, '.complete'), 'w').close()
    try:
        os.rename(tmp, folder)
    except OSError:
        subprocess.run(['rm', '-rf', tmp], check=False)  # another test process finished first
    return SigningKeys(folder)
