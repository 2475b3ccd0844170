"""What setup.exe is as a file: its format, hardening, imports, version resource, icon and manifest."""
import os
import re
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'release'))
from pe import PE  # noqa: E402

EXES = {'32': os.environ.get('SETUP_EXE32', ''), '64': os.environ.get('SETUP_EXE64', '')}
SYSTEM_DLLS = {'kernel32.dll', 'ntdll.dll', 'user32.dll', 'gdi32.dll', 'advapi32.dll', 'msvcrt.dll',
               'shell32.dll', 'comctl32.dll', 'ole32.dll', 'shlwapi.dll'}
# DllCharacteristics: the builds that set each flag; every other build must not.
DLL_FLAGS = {
    'DYNAMIC_BASE': {'32', '64'},           # ASLR
    'HIGH_ENTROPY_VA': {'64'},              # ASLR over the whole 64-bit space
    'NX_COMPAT': {'32', '64'},              # DEP
    'NO_SEH': {'32'},                       # x64 unwinds from tables; only i386 has SEH frames
    'TERMINAL_SERVER_AWARE': {'32', '64'},
}
# An i386 SEH frame is pushed on the list whose head is fs:[0] (as excpt.h's __try1 does). Not
# %fs:(reg): unwind tables in .text can disassemble as that.
SEH_FRAME = re.compile(r"%fs:0x0\b")


def objdump(*args):
    return subprocess.run(['x86_64-w64-mingw32-objdump', *args], check=True,
                          capture_output=True, text=True).stdout


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
                dump = objdump('-p', exe)
                dlls = {line.split(':', 1)[1].strip().lower() for line in dump.splitlines()
                        if 'DLL Name:' in line}
                self.assertTrue(dlls)
                self.assertLessEqual(dlls, SYSTEM_DLLS, f'unexpected imports: {dlls - SYSTEM_DLLS}')

    def test_each_build_is_a_hardened_gui_program_for_its_machine(self):
        formats = {'32': (0x14C, 0x10B, 2), '64': (0x8664, 0x20B, 2)}  # i386 PE32, x64 PE32+; GUI
        for bits, exe in EXES.items():
            with open(exe, 'rb') as f:
                pe = PE(f.read())
            with self.subTest(bits=bits):
                self.assertEqual((pe.machine, pe.magic, pe.subsystem), formats[bits])
            for flag, builds in DLL_FLAGS.items():
                with self.subTest(bits=bits, flag=flag):
                    self.assertEqual(flag in pe.dll_flags(), bits in builds, f'{pe.dll_characteristics:#06x}')
            with self.subTest(bits=bits, flag='no others'):
                self.assertLessEqual(pe.dll_flags(), set(DLL_FLAGS))
            headers = objdump('-p', exe)
            with self.subTest(bits=bits, flag='stack protector'):
                # The program's own entry seeds the guard from RtlGenRandom; libssp's seeding would
                # bring in the crypto provider.
                self.assertIn('SystemFunction036', headers)
                self.assertNotIn('CryptGenRandom', headers)
            if 'NO_SEH' in pe.dll_flags():
                # The loader refuses to call a handler in an image that says it has none: an SEH
                # frame anywhere in the code would turn a handled exception into a crash.
                with self.subTest(bits=bits, flag='NO_SEH holds'):
                    frames = [line for line in objdump('-d', exe).splitlines() if SEH_FRAME.search(line)]
                    self.assertEqual(frames, [])
                    self.assertNotIn('except_handler', headers)

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
