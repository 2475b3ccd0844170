"""Anyone who builds the same sources gets the same setup.exe, byte for byte.

The sources are copied to another folder and built there with the win32 preset, later, in another
time zone and locale; the result must equal the shipped build/win32/setup.exe.
"""
import os
import shutil
import subprocess
import tempfile
import unittest

from pe import PE, differences

SOURCE_DIR = os.environ['SOURCE_DIR']
SHIPPED = os.environ['SETUP_EXE32']


def read(path):
    with open(path, 'rb') as f:
        return f.read()


class ReproducibleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix='setup-rebuild-')
        cls.copy = os.path.join(cls.tmp.name, 'elsewhere')
        # Its own tree: nothing here touches the shared build folders.
        shutil.copytree(SOURCE_DIR, cls.copy, symlinks=True,
                        ignore=lambda folder, names: {'build', '.git'} & set(names)
                        if os.path.samefile(folder, SOURCE_DIR) else set())
        env = dict(os.environ, TZ='Pacific/Kiritimati', LC_ALL='C', LANG='C')
        env.pop('SOURCE_DATE_EPOCH', None)
        for step in (['cmake', '--preset', 'win32'],
                     ['cmake', '--build', '--preset', 'win32', '--target', 'setup', '--parallel', '2']):
            run = subprocess.run(step, cwd=cls.copy, env=env, capture_output=True, text=True)
            if run.returncode:
                raise RuntimeError(f'{" ".join(step)} failed in the copy:\n{run.stdout}{run.stderr}')
        cls.builds = {'shipped': read(SHIPPED), 'rebuilt': read(os.path.join(cls.copy, 'build/win32/setup.exe'))}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_rebuild_elsewhere_is_byte_identical(self):
        shipped, rebuilt = self.builds['shipped'], self.builds['rebuilt']
        if shipped != rebuilt:
            self.fail(f'{SHIPPED} and the rebuild differ (is build/win32 up to date with the sources?):\n'
                      + differences(shipped, rebuilt))

    def test_no_link_time_in_pe_header_or_resources(self):
        for name, data in self.builds.items():
            pe = PE(data)
            for stamp, value in (('PE header', pe.timestamp), ('resource directory', pe.resource_timestamp())):
                with self.subTest(build=name, stamp=stamp):
                    self.assertEqual(value, 0)

    def test_no_build_folder_in_the_binary(self):
        folders = {'source': os.path.realpath(SOURCE_DIR), 'copy': os.path.realpath(self.copy)}
        for name, data in self.builds.items():
            for label, folder in folders.items():
                for encoding in ('utf-8', 'utf-16-le'):
                    with self.subTest(build=name, folder=label, encoding=encoding):
                        self.assertNotIn(folder.encode(encoding), data)


if __name__ == '__main__':
    unittest.main()
