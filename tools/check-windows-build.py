#!/usr/bin/env python3
"""Checks that a Karvelo.exe is what its build claims to be.

    tools/check-windows-build.py <Karvelo.exe> x86_64|i686

The PE machine type and optional-header kind, the GUI subsystem,
large-address-aware on i686 (asked for there; a 64-bit image has its whole
address space anyway), the manifest's processorArchitecture, and that the
program imports system DLLs only (everything else is linked in statically,
so nothing need ship beside it).
"""
import re
import struct
import sys

EXPECTED = {
    # machine, optional-header magic, manifest architecture
    "x86_64": (0x8664, 0x20B, b"amd64"),
    "i686": (0x14C, 0x10B, b"x86"),
}
LARGE_ADDRESS_AWARE = 0x20
GUI_SUBSYSTEM = 2
# DLLs every Windows has; a runtime DLL of the compiler (libstdc++-6.dll,
# libgcc_s_*.dll, libwinpthread-1.dll) would be missing on a seller's machine.
SYSTEM_DLL = re.compile(
    r"^(kernel32|user32|gdi32|gdiplus|comctl32|comdlg32|shell32|shlwapi|ole32|oleaut32|advapi32|ws2_32|"
    r"secur32|crypt32|version|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+|bcrypt|ntdll|uxtheme|winhttp)\.dll$",
    re.IGNORECASE)


def imports(image, sections, directory_rva):
    """The names of the DLLs the import directory lists."""
    def offset(rva):
        for virtual, size, raw in sections:
            if virtual <= rva < virtual + size:
                return rva - virtual + raw
        raise ValueError("address 0x%x lies in no section" % rva)

    names = []
    at = offset(directory_rva)
    while True:
        lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", image, at)
        if lookup == 0 and name_rva == 0 and thunk == 0:
            return names
        start = offset(name_rva)
        names.append(image[start:image.index(b"\0", start)].decode("ascii"))
        at += 20


def check(path, target):
    machine_expected, magic_expected, architecture = EXPECTED[target]
    image = open(path, "rb").read()
    faults = []
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        return ["not a PE image"]
    machine, section_count, _, _, _, optional_size, characteristics = struct.unpack_from("<HHIIIHH", image, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    if machine != machine_expected:
        faults.append("machine 0x%x, not 0x%x" % (machine, machine_expected))
    if magic != magic_expected:
        faults.append("optional header 0x%x, not 0x%x" % (magic, magic_expected))
    if target == "i686" and not characteristics & LARGE_ADDRESS_AWARE:
        faults.append("not large-address-aware")
    subsystem = struct.unpack_from("<H", image, optional + 68)[0]
    if subsystem != GUI_SUBSYSTEM:
        faults.append("subsystem %d, not the GUI's" % subsystem)

    found = set(re.findall(rb'processorArchitecture="([^"]*)"', image))
    if found != {architecture}:
        faults.append("manifest architectures %s, not %s" % (sorted(found), architecture))

    directories = optional + (96 if magic == 0x10B else 112)
    import_rva = struct.unpack_from("<I", image, directories + 8)[0]
    sections = []
    for index in range(section_count):
        at = optional + optional_size + 40 * index
        virtual_size, virtual, raw_size, raw = struct.unpack_from("<IIII", image, at + 8)
        sections.append((virtual, max(virtual_size, raw_size), raw))
    for name in imports(image, sections, import_rva):
        if not SYSTEM_DLL.match(name):
            faults.append("imports %s, which is not a system DLL" % name)
    return faults


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in EXPECTED:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    faults = check(sys.argv[1], sys.argv[2])
    for fault in faults:
        print("%s: %s" % (sys.argv[1], fault), file=sys.stderr)
    if not faults:
        print("%s: %s, as it should be" % (sys.argv[1], sys.argv[2]))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
