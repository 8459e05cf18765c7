#!/usr/bin/env python3
"""Writes src/platform/win32/gb18030_table.cpp from the C library's GB18030.

Wine has no code page 54936, so the Windows adapter converts GB18030 by hand
with these tables; taking them from glibc's converter (called through ctypes,
one sequence at a time) makes the two systems agree on every code point.

    tools/make-gb18030-table.py [output.cpp]

The tables:
  - the two-byte codes, lead 0x81-0xFE by trail 0x40-0x7E, 0x80-0xFE
    (126 x 190), each the code point it decodes to, 0 when it decodes to none;
  - the four-byte codes below U+10000 as runs over their linear index
    (((b1-0x81)*10 + b2-0x30)*126 + b3-0x81)*10 + b4-0x30: each run's first
    index and first code point, consecutive within the run; a first code
    point of 0 marks a run of codes that decode to nothing.
Above U+FFFF the four-byte codes are arithmetic from 0x90308130.  The
encoder is the inverse (a two-byte code wins over a four-byte one); the
script checks that this inverse is exactly glibc's encoder for every code
point U+0001-U+10FFFF, and fails otherwise.
"""
import ctypes
import ctypes.util
import struct
import sys

libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
libc.iconv_open.restype = ctypes.c_void_p
libc.iconv_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
libc.iconv.restype = ctypes.c_size_t
libc.iconv.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_size_t),
                       ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_size_t)]
FAILED = ctypes.c_size_t(-1).value


class Converter:
    def __init__(self, to, frm):
        self.cd = libc.iconv_open(to.encode(), frm.encode())
        if self.cd in (None, FAILED):
            sys.exit(f"iconv cannot convert {frm} to {to}")
        self.out = ctypes.create_string_buffer(64)

    def __call__(self, data):
        """The conversion of `data` as a whole, or None when glibc refuses it."""
        libc.iconv(self.cd, None, None, None, None)
        inbuf = ctypes.c_char_p(data)
        inleft = ctypes.c_size_t(len(data))
        outbuf = ctypes.cast(self.out, ctypes.c_char_p)
        outleft = ctypes.c_size_t(64)
        if libc.iconv(self.cd, ctypes.byref(inbuf), ctypes.byref(inleft), ctypes.byref(outbuf),
                      ctypes.byref(outleft)) == FAILED or inleft.value != 0:
            return None
        return self.out.raw[:64 - outleft.value]


def four_byte(linear):
    b4 = linear % 10
    linear //= 10
    b3 = linear % 126
    linear //= 126
    return bytes([0x81 + linear // 10, 0x30 + linear % 10, 0x81 + b3, 0x30 + b4])


TRAILS = list(range(0x40, 0x7F)) + list(range(0x80, 0xFF))
BMP_LINEAR_END = 39420                 # 0x8431A439 + 1
SUPPLEMENTARY_LINEAR = 189000          # linear index of 0x90308130


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else "src/platform/win32/gb18030_table.cpp"
    decode = Converter("UTF-32LE", "GB18030")
    encode = Converter("GB18030", "UTF-32LE")

    def decoded(code):
        text = decode(code)
        if text is None:
            return 0
        assert len(text) == 4, code
        return struct.unpack("<I", text)[0]

    assert all(decoded(bytes([b])) == b for b in range(1, 0x80))
    assert decoded(b"\x80") == 0 and decoded(b"\xff") == 0
    two = [decoded(bytes([lead, trail])) for lead in range(0x81, 0xFF) for trail in TRAILS]
    four = [decoded(four_byte(linear)) for linear in range(BMP_LINEAR_END)]

    runs = []  # (first linear index, first code point)
    for linear, point in enumerate(four):
        if runs and linear > 0:
            first_linear, first_point = runs[-1]
            expected = first_point + (linear - first_linear) if first_point else 0
            if point == expected:
                continue
        runs.append((linear, point))

    # The inverse, as the Windows adapter builds it, against glibc's encoder.
    inverse = {}
    for linear, point in enumerate(four):
        if point:
            inverse.setdefault(point, four_byte(linear))
    for index, point in enumerate(two):
        if point:
            inverse[point] = bytes([0x81 + index // 190, TRAILS[index % 190]])
    mismatches = 0
    for point in range(1, 0x110000):
        if 0xD800 <= point < 0xE000:
            continue
        mine = inverse.get(point)
        if mine is None and point >= 0x10000:
            mine = four_byte(SUPPLEMENTARY_LINEAR + point - 0x10000)
        if mine is None and point < 0x80:
            mine = bytes([point])
        theirs = encode(struct.pack("<I", point))
        if mine != theirs:
            mismatches += 1
            if mismatches < 20:
                print(f"U+{point:04X}: table {mine}, glibc {theirs}", file=sys.stderr)
        if point >= 0x10000 and point % 0x1000 == 0:
            # Above U+FFFF decoding is arithmetic too; sample it.
            if decoded(four_byte(SUPPLEMENTARY_LINEAR + point - 0x10000)) != point:
                mismatches += 1
    if mismatches:
        sys.exit(f"{mismatches} code points differ from glibc")
    unmapped = [p for p in range(0x80, 0x10000) if not 0xD800 <= p < 0xE000 and p not in inverse]

    with open(output, "w") as out:
        out.write("// Generated by tools/make-gb18030-table.py from glibc's GB18030; do not edit.\n")
        out.write(f"// glibc encodes {len(unmapped)} BMP code points to nothing: "
                  + ", ".join(f"U+{p:04X}" for p in unmapped) + ".\n")
        out.write('#include "platform/win32/gb18030_table.h"\n\n')
        out.write("const unsigned GB18030_TWO_BYTE[GB18030_LEADS * GB18030_TRAILS] = {\n")
        for row in range(0, len(two), 10):
            out.write("    " + ", ".join(f"0x{p:X}" for p in two[row:row + 10]) + ",\n")
        out.write("};\n\n")
        out.write(f"const Gb18030Run GB18030_FOUR_BYTE_RUNS[] = {{\n")
        for linear, point in runs:
            out.write(f"    {{{linear}, 0x{point:04X}}},\n")
        out.write(f"    {{{BMP_LINEAR_END}, 0}},\n")
        out.write("};\n\n")
        out.write("const size_t GB18030_FOUR_BYTE_RUN_COUNT = sizeof GB18030_FOUR_BYTE_RUNS / "
                  "sizeof GB18030_FOUR_BYTE_RUNS[0];\n")
    print(f"{output}: {len(runs)} four-byte runs, {len(unmapped)} BMP code points unmapped, "
          f"{sum(1 for p in two if p > 0xFFFF)} two-byte codes above U+FFFF")


main()
