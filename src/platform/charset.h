// Character-set conversion with GNU libiconv's names and behaviour.
//
// The core converts through these three calls.  On POSIX they sit over the C
// library's iconv, which differs from GNU libiconv in ways the core depends
// on, so this adapter supplies them:
//   - source "UCS-2" consumes a leading mark (FF FE little-endian, FE FF
//     big-endian) and reads big-endian without one; a U+FFFE met later swaps
//     the byte order, a later U+FEFF is dropped;
//   - a target suffixed "//IGNORE" drops characters the target lacks and
//     counts them: the result is that count, not -1;
//   - invalid input (a lone surrogate in UCS-2, a bad UTF-8 or GBK byte) is
//     skipped under "//IGNORE";
//   - a full output buffer gives -1 (E2BIG) with what fitted;
//   - incomplete input at the end gives -1 (EINVAL).
// On Windows the same behaviour is built over the code-page API.
#pragma once

#include <cstddef>

typedef void* libiconv_t;

// (libiconv_t)-1 when either name is not supported.
libiconv_t libiconv_open(const char* tocode, const char* fromcode);
size_t libiconv(libiconv_t cd, char** inbuf, size_t* inbytesleft, char** outbuf, size_t* outbytesleft);
int libiconv_close(libiconv_t cd);
