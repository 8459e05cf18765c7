// Character-set conversion with GNU libiconv's names and behaviour.
//
// The core converts through these three calls.  On POSIX they sit over the C
// library's iconv, which differs from GNU libiconv in ways the core depends
// on, so this adapter supplies them:
//   - source "UCS-2" consumes a leading mark (FF FE little-endian, FE FF
//     big-endian) and reads big-endian without one; a U+FFFE met later swaps
//     the byte order, a later U+FEFF is dropped;
//   - source "UTF-16" consumes only a leading mark (big-endian without one)
//     and decodes surrogate pairs; a later U+FEFF is a character, but a
//     later U+FFFE stops the conversion (-1, EILSEQ, even under "//IGNORE",
//     the input left at it): the byte order is in doubt.  "UTF-16LE" reads
//     every unit as a character; as a target it writes pairs and no mark.
//     "UTF-16" is not a target;
//   - "GB18030" is glibc's mapping on both systems (glibc lacks 24 private
//     use code points, such as U+E78D-U+E796: characters the target lacks);
//   - a target suffixed "//IGNORE" drops characters the target lacks and
//     counts them: the result is that count, not -1;
//   - invalid input (a lone surrogate in UCS-2, a bad UTF-8 or GBK byte) is
//     skipped under "//IGNORE", and so is a lone surrogate in UTF-16 and a
//     bad GB18030 byte; a well-formed GBK or GB18030 code that maps to no
//     character is dropped and counted;
//   - a full output buffer gives -1 (E2BIG) with what fitted;
//   - incomplete input at the end gives -1 (EINVAL).
// On Windows the same behaviour is built over the code-page API and by hand.
#pragma once

#include <cstddef>

// The core's own form of text: every path and string it hands the platform
// layer is NUL-terminated GB18030.  GB18030 keeps every GBK character's
// bytes (so GBK texts and byte rules stay as they are) and gives every other
// Unicode character a code, so no character of a package is lost between
// reading and writing it back.  The file layers convert from it.
const char CORE_CHARSET[] = "GB18030";

typedef void* libiconv_t;

// (libiconv_t)-1 when either name is not supported.
libiconv_t libiconv_open(const char* tocode, const char* fromcode);
size_t libiconv(libiconv_t cd, char** inbuf, size_t* inbytesleft, char** outbuf, size_t* outbytesleft);
int libiconv_close(libiconv_t cd);
