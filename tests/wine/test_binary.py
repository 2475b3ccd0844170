"""What setup.exe is as a file: its format, imports, version resource, icon and manifest."""
import os
import struct
import subprocess
import unittest

EXES = {'32': os.environ.get('SETUP_EXE32', ''), '64': os.environ.get('SETUP_EXE64', '')}
SYSTEM_DLLS = {'kernel32.dll', 'user32.dll', 'gdi32.dll', 'advapi32.dll', 'msvcrt.dll',
               'shell32.dll', 'comctl32.dll', 'ole32.dll', 'shlwapi.dll'}


def resource(exe, rtype):
    return subprocess.run(['wrestool', '-x', '--raw', f'--type={rtype}', exe],
                          check=True, capture_output=True).stdout


def version_strings(blob):
    """StringFileInfo of a VS_VERSIONINFO as {table: {key: value}}, plus the Translation words."""
    def node(offset):
        length, value_length, vtype = struct.unpack_from('<HHH', blob, offset)
        key_start = offset + 6
        key_end = key_start
        while blob[key_end:key_end + 2] != b'\0\0':
            key_end += 2
        key = blob[key_start:key_end].decode('utf-16-le')
        value_start = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if vtype == 1 else value_length
        value = blob[value_start:value_start + value_size]
        children, child = [], (value_start + value_size + 3) & ~3
        while child < offset + length:
            children.append(node(child))
            child = (child + children[-1][3] + 3) & ~3
        return key, value, children, length

    _, fixed, children, _ = node(0)
    tables, translation = {}, None
    for key, value, kids, _ in children:
        if key == 'StringFileInfo':
            for table, _, strings, _ in kids:
                tables[table] = {k: v.decode('utf-16-le').rstrip('\0') for k, v, _, _ in strings}
        if key == 'VarFileInfo':
            translation = struct.unpack('<HH', kids[0][1])
    return fixed, tables, translation


class BinaryTest(unittest.TestCase):
    def test_imports_are_system_dlls_only(self):
        for bits, exe in EXES.items():
            with self.subTest(bits=bits):
                dump = subprocess.run(['x86_64-w64-mingw32-objdump', '-p', exe], check=True,
                                      capture_output=True, text=True).stdout
                dlls = {line.split(':', 1)[1].strip().lower() for line in dump.splitlines()
                        if 'DLL Name:' in line}
                self.assertTrue(dlls)
                self.assertLessEqual(dlls, SYSTEM_DLLS, f'unexpected imports: {dlls - SYSTEM_DLLS}')

    def test_each_build_is_a_gui_program_for_its_machine(self):
        formats = {'32': (0x14C, 0x10B, 2), '64': (0x8664, 0x20B, 2)}  # i386 PE32, x64 PE32+; GUI
        for bits, exe in EXES.items():
            with self.subTest(bits=bits):
                with open(exe, 'rb') as f:
                    data = f.read(4096)
                pe = struct.unpack_from('<I', data, 0x3C)[0]
                self.assertEqual(data[pe:pe + 4], b'PE\0\0')
                machine = struct.unpack_from('<H', data, pe + 4)[0]
                magic, = struct.unpack_from('<H', data, pe + 24)
                subsystem, = struct.unpack_from('<H', data, pe + 24 + 68)
                self.assertEqual((machine, magic, subsystem), formats[bits])

    def test_version_resource(self):
        for bits, exe in EXES.items():
            with self.subTest(bits=bits):
                fixed, tables, translation = version_strings(resource(exe, 16))
                self.assertEqual(list(tables), ['041104b0'])
                strings = tables['041104b0']
                self.assertEqual(strings['FileVersion'], '1.00')
                self.assertEqual(strings['ProductVersion'], '1.00')
                self.assertEqual(strings['InternalName'], 'setup')
                self.assertEqual(strings['OriginalFilename'], 'setup.exe')
                self.assertEqual(translation, (0x0411, 0x04B0))
                file_ms, file_ls, product_ms, product_ls = struct.unpack_from('<IIII', fixed, 8)
                self.assertEqual((file_ms, file_ls, product_ms, product_ls), (0x10000, 0, 0x10000, 0))

    def test_icon_group_has_16_32_and_48_pixel_images(self):
        group = resource(EXES['32'], 14)
        _, kind, count = struct.unpack_from('<HHH', group, 0)
        sizes = sorted(group[6 + 14 * i] for i in range(count))
        self.assertEqual((kind, sizes), (1, [16, 32, 48]))

    def test_manifest_asks_for_administrator_common_controls_and_dpi_awareness(self):
        manifest = resource(EXES['32'], 24).decode('utf-8')
        self.assertIn('level="requireAdministrator"', manifest)
        self.assertIn('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"', manifest)
        self.assertIn('<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>',
                      manifest)
        self.assertIn('{35138b9a-5d96-4fbd-8e2d-a2440225f93a}', manifest)  # Windows 7


if __name__ == '__main__':
    unittest.main()
