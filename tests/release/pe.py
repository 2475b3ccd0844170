"""Just enough of the PE format to say what a setup.exe is and where two of them differ."""
import struct

SECURITY, RESOURCE = 4, 2  # data directory entries
# DllCharacteristics bits by name: the ones setup.exe sets.
DLL_CHARACTERISTICS = {'HIGH_ENTROPY_VA': 0x20, 'DYNAMIC_BASE': 0x40, 'NX_COMPAT': 0x100, 'NO_SEH': 0x400,
                       'TERMINAL_SERVER_AWARE': 0x8000}


class PE:
    def __init__(self, data):
        if data[:2] != b'MZ':
            raise ValueError('no MZ header')
        self.data = data
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        if data[pe:pe + 4] != b'PE\0\0':
            raise ValueError('no PE header')
        coff, opt = pe + 4, pe + 24
        self.machine, count, self.timestamp = struct.unpack_from('<HHI', data, coff)
        self.magic = struct.unpack_from('<H', data, opt)[0]
        self.checksum, self.subsystem, self.dll_characteristics = struct.unpack_from('<IHH', data, opt + 64)
        dirs = opt + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from('<II', data, dirs + 8 * i) for i in range(16)]
        table = opt + struct.unpack_from('<H', data, coff + 16)[0]
        self.sections = []
        for i in range(count):
            name, _, rva, raw_size, raw = struct.unpack_from('<8sIIII', data, table + 40 * i)
            self.sections.append((name.rstrip(b'\0').decode(), rva, raw, raw_size))
        self.fields = {coff + 4: 'TimeDateStamp', opt + 64: 'CheckSum', dirs + 8 * SECURITY: 'Security directory'}

    def dll_flags(self):
        """The DllCharacteristics bits set, by name; an unknown bit by its value."""
        bits = self.dll_characteristics
        names = {name for name, bit in DLL_CHARACTERISTICS.items() if bits & bit}
        rest = bits & ~sum(DLL_CHARACTERISTICS.values())
        return names | {f'{1 << i:#x}' for i in range(16) if rest >> i & 1}

    def file_offset(self, rva):
        for _, start, raw, size in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f'RVA {rva:#x} lies in no section')

    def resource_timestamp(self):
        """TimeDateStamp of the root resource directory."""
        rva, _ = self.directories[RESOURCE]
        return struct.unpack_from('<I', self.data, self.file_offset(rva) + 4)[0]

    def place(self, offset):
        """Where a file offset lies, in words: a header field, a section, or past the last one."""
        for start in sorted(self.fields, reverse=True):
            if start <= offset < start + 4:
                return self.fields[start]
        for name, _, raw, size in self.sections:
            if raw <= offset < raw + size:
                return f'{name}+{offset - raw:#x}'
        if offset < min(raw for _, _, raw, _ in self.sections):
            return 'headers'
        return 'after the last section'


def differences(a, b, limit=16):
    """The first differing bytes of two builds, one line each, named by where they lie in a."""
    lines = [f'sizes {len(a)} and {len(b)}'] if len(a) != len(b) else []
    where = PE(a)
    diffs = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
    for i in diffs[:limit]:
        lines.append(f'offset {i:#08x} ({where.place(i)}): {a[i]:02x} != {b[i]:02x}')
    if len(diffs) > limit:
        lines.append(f'... {len(diffs) - limit} more differing bytes')
    return '\n'.join(lines)
