#!/bin/sh
# Exits 0 when this machine starts 32-bit (i386) programs, 1 when it does
# not (a kernel with its 32-bit emulation off answers "Exec format error").
# It asks the kernel directly: a 93-byte i386 program that only exits 0,
# written afresh each time, so nothing 32-bit need be installed to know.
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
python3 - "$work/exit0" <<'PROGRAM' || exit 1
import struct, sys
base = 0x08048000
code = bytes([0xB8, 1, 0, 0, 0,   # mov eax, 1 (exit)
              0x31, 0xDB,         # xor ebx, ebx (status 0)
              0xCD, 0x80])        # int 0x80
size = 52 + 32 + len(code)
header = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack(
    "<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0)
segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
with open(sys.argv[1], "wb") as out:
    out.write(header + segment + code)
PROGRAM
chmod +x "$work/exit0"
"$work/exit0" 2>/dev/null || exit 1
