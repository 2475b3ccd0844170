"""tools/sign.sh: an Authenticode signature on the shipped build, and nothing written on bad input."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from pe import PE, SECURITY

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'wine'))
from test_binary import resource  # noqa: E402

SIGN = os.path.join(os.environ['SOURCE_DIR'], 'tools', 'sign.sh')
SHIPPED = os.environ['SETUP_EXE32']
RESOURCES = {'version': 16, 'manifest': 24, 'icon group': 14, 'icons': 3}
DESCRIPTION = 'Kolvenir1.0 add-on files'


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def make_certificate(folder, name):
    """A throwaway self-signed code-signing certificate and its key."""
    cert, key = os.path.join(folder, f'{name}.crt'), os.path.join(folder, f'{name}.key')
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                    '-subj', f'/CN={name}', '-addext', 'extendedKeyUsage=codeSigning',
                    '-keyout', key, '-out', cert], check=True, capture_output=True)
    return cert, key


def sign(*args, env=None):
    return subprocess.run(['bash', SIGN, *args], capture_output=True, text=True,
                          env=dict(os.environ, **(env or {})))


class SigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix='setup-sign-')
        cls.dir = cls.tmp.name
        cls.cert, cls.key = make_certificate(cls.dir, 'Publisher')
        cls.other_cert, cls.other_key = make_certificate(cls.dir, 'Stranger')
        cls.unsigned = os.path.join(cls.dir, 'setup.exe')
        shutil.copyfile(SHIPPED, cls.unsigned)
        run = sign(cls.cert, cls.key, cls.unsigned, env={'SIGN_DESCRIPTION': DESCRIPTION})
        if run.returncode:
            raise RuntimeError(f'sign.sh failed:\n{run.stdout}{run.stderr}')
        cls.signed = os.path.join(cls.dir, 'setup-signed.exe')

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def verify(self, path, ca):
        return subprocess.run(['osslsigncode', 'verify', '-in', path, '-CAfile', ca],
                              capture_output=True, text=True)

    def test_signature_verifies_against_the_publisher_only(self):
        for label, ca, ok in (('publisher', self.cert, True), ('stranger', self.other_cert, False)):
            with self.subTest(ca=label):
                run = self.verify(self.signed, ca)
                self.assertEqual(run.returncode == 0, ok, run.stdout + run.stderr)
                if ok:
                    self.assertRegex(run.stdout, r'Message digest algorithm\s*:\s*SHA256')
                    self.assertIn(f'Text description: {DESCRIPTION}', run.stdout)

    def test_signed_file_is_the_same_program_with_a_signature_appended(self):
        unsigned, signed = read(self.unsigned), read(self.signed)
        pe = PE(signed)
        self.assertEqual((pe.machine, pe.magic, pe.subsystem), (0x14C, 0x10B, 2))  # i386, PE32, GUI
        offset, size = pe.directories[SECURITY]
        self.assertEqual((PE(unsigned).directories[SECURITY], offset + size), ((0, 0), len(signed)))
        self.assertGreaterEqual(offset, len(unsigned))
        for name, rtype in RESOURCES.items():
            with self.subTest(resource=name):
                self.assertEqual(resource(self.signed, rtype), resource(self.unsigned, rtype))

    def test_removing_the_signature_gives_back_the_unsigned_bytes(self):
        stripped = os.path.join(self.dir, 'stripped.exe')
        subprocess.run(['osslsigncode', 'remove-signature', '-in', self.signed, '-out', stripped],
                       check=True, capture_output=True)
        self.assertEqual(read(stripped), read(self.unsigned))

    def test_bad_input_fails_clearly_and_writes_nothing(self):
        not_pe = os.path.join(self.dir, 'notes.exe')
        with open(not_pe, 'w') as f:
            f.write('not a program\n')
        cut = os.path.join(self.dir, 'cut.exe')
        with open(cut, 'wb') as f:
            f.write(read(self.unsigned)[:64])
        missing = os.path.join(self.dir, 'missing')
        cases = [
            # label, cert, key, input, environment, message
            ('input is not a PE file', self.cert, self.key, not_pe, {}, 'is not a Windows program'),
            ('input ends after the DOS header', self.cert, self.key, cut, {}, 'is not a Windows program'),
            ('key of another certificate', self.cert, self.other_key, self.unsigned, {}, 'does not belong to the certificate'),
            ('key given as certificate', self.key, self.key, self.unsigned, {}, 'is not a certificate'),
            ('certificate given as key', self.cert, self.cert, self.unsigned, {}, 'cannot read the private key'),
            ('certificate missing', missing + '.crt', self.key, self.unsigned, {}, 'no such file'),
            ('key missing', self.cert, missing + '.key', self.unsigned, {}, 'no such file'),
            ('input missing', self.cert, self.key, missing + '.exe', {}, 'no such file'),
            ('input already signed', self.cert, self.key, self.signed, {}, 'already signed'),
            ('timestamp server unreachable', self.cert, self.key, self.unsigned,
             {'TIMESTAMP_URL': 'http://127.0.0.1:9/'}, 'could not sign'),
            ('description Windows would show garbled', self.cert, self.key, self.unsigned,
             {'SIGN_DESCRIPTION': '追加ファイル'}, 'must be plain ASCII'),
        ]
        inputs = {name: read(os.path.join(self.dir, name)) for name in os.listdir(self.dir)}
        for label, cert, key, source, env, message in cases:
            for earlier in (None, b'an earlier signed copy'):
                with self.subTest(case=label, earlier_output=earlier is not None), \
                        tempfile.TemporaryDirectory(dir=self.dir) as out_dir:
                    out = os.path.join(out_dir, 'signed.exe')
                    if earlier:
                        with open(out, 'wb') as f:
                            f.write(earlier)
                    run = sign(cert, key, source, out, env=env)
                    self.assertNotEqual(run.returncode, 0)
                    self.assertRegex(run.stderr, rf'sign\.sh: .*{message}')
                    self.assertEqual(os.listdir(out_dir), ['signed.exe'] if earlier else [])
                    if earlier:
                        self.assertEqual(read(out), earlier)
        self.assertEqual({name: read(os.path.join(self.dir, name)) for name in inputs}, inputs)

    def test_der_files_and_encrypted_keys_sign_too(self):
        der_cert, der_key = (os.path.join(self.dir, f'publisher-der.{ext}') for ext in ('crt', 'key'))
        secret_key, password = (os.path.join(self.dir, f'publisher-secret.{ext}') for ext in ('key', 'txt'))
        with open(password, 'w') as f:
            f.write('correct horse\n')
        for command in (['openssl', 'x509', '-in', self.cert, '-outform', 'DER', '-out', der_cert],
                        ['openssl', 'pkey', '-in', self.key, '-outform', 'DER', '-out', der_key],
                        ['openssl', 'pkey', '-in', self.key, '-aes256', '-passout', f'file:{password}',
                         '-out', secret_key]):
            subprocess.run(command, check=True, capture_output=True)
        for label, cert, key, env in (('DER', der_cert, der_key, {}),
                                      ('encrypted key', self.cert, secret_key, {'KEY_PASS_FILE': password})):
            with self.subTest(form=label), tempfile.TemporaryDirectory(dir=self.dir) as out_dir:
                out = os.path.join(out_dir, 'signed.exe')
                run = sign(cert, key, self.unsigned, out, env=env)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(self.verify(out, self.cert).returncode, 0)
        run = sign(self.cert, secret_key, self.unsigned, os.path.join(self.dir, 'no.exe'))
        self.assertIn('set KEY_PASS_FILE', run.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, 'no.exe')))

    def test_refuses_to_sign_in_place(self):
        before = read(self.unsigned)
        for out in (self.unsigned, os.path.join(self.dir, '.', 'setup.exe')):
            with self.subTest(out=out):
                run = sign(self.cert, self.key, self.unsigned, out)
                self.assertNotEqual(run.returncode, 0)
                self.assertIn('OUT must not be IN', run.stderr)
                self.assertEqual(read(self.unsigned), before)


if __name__ == '__main__':
    unittest.main()
