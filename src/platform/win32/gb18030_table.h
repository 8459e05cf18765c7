// GB18030 as glibc maps it, for the Windows adapter (Wine has no code page
// 54936).  Generated into gb18030_table.cpp by tools/make-gb18030-table.py.
#pragma once

#include <cstddef>

const int GB18030_LEADS = 126;   // 0x81-0xFE
const int GB18030_TRAILS = 190;  // 0x40-0x7E, 0x80-0xFE

// The code point of each two-byte code, by (lead - 0x81) * 190 + trail
// index; 0 for a code that decodes to nothing.
extern const unsigned GB18030_TWO_BYTE[GB18030_LEADS * GB18030_TRAILS];

// The four-byte codes below U+10000, as runs over their linear index: the
// codes from `firstLinear` up to the next run's decode to consecutive code
// points from `firstCodePoint`, or to nothing when it is 0.  The last entry
// only ends the table (its index is one past the area's last code).
struct Gb18030Run {
    unsigned firstLinear;
    unsigned firstCodePoint;
};
extern const Gb18030Run GB18030_FOUR_BYTE_RUNS[];
extern const size_t GB18030_FOUR_BYTE_RUN_COUNT;
