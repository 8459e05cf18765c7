// Byte-string helpers over NUL-terminated text in the core's form (GB18030).
//
// They work on bytes and never decode multi-byte characters; case folding is
// ASCII only.  CharacterBytes (below) is the one place that knows how long a
// character is, for the walks that must not split one: a GBK trail byte can
// be a backslash, and a four-byte character's second and fourth bytes are
// digits.
#pragma once

#include <cstddef>
#include <cstdint>

// The system's one string equality predicate: 1 when both are the same
// pointer or hold equal bytes, else 0.  It has the shape of both MatchFn and
// the hash map's EqualsFn; string-keyed maps are recognised by its address.
int StringEquals(const void* first, const void* second);

// ASCII case folding of one byte: 'A' to 'Z' become 'a' to 'z'; every other
// byte, GB18030 lead and trail bytes included, stays as it is.
inline unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// The value of a hexadecimal digit of either case, or -1.
int HexDigitValue(char c);

int StartsWith(const char* text, const char* prefix);
int StartsWithNoCase(const char* text, const char* prefix);
int EndsWith(const char* text, const char* suffix);
int EndsWithNoCase(const char* text, const char* suffix);

// strsep(3): returns the token at *cursor and cuts it at the first byte of
// `delimiters` (overwritten with NUL); consecutive delimiters yield empty
// tokens.  Returns null once the cursor is null.  The string is modified.
char* NextToken(char** cursor, const char* delimiters);

// A new heap string with every non-overlapping occurrence of `pattern`
// replaced, or null when there is nothing to do (empty/null text or pattern,
// null replacement, no occurrence).  The caller owns the result.
char* ReplaceAll(const char* text, const char* pattern, const char* replacement);

// ReplaceAll with an empty replacement, done in place on the `length` bytes
// at `text` (the same left-to-right, non-overlapping occurrences), for texts
// too large to copy.  The buffer holds at least length + 1 bytes; the result
// is NUL-terminated and its length returned.
size_t RemoveAllInPlace(char* text, size_t length, const char* pattern);

// A heap copy of `length` bytes of `text`, NUL-terminated.
char* CopyBytes(const char* text, size_t length);
// A heap copy of a NUL-terminated string.
char* CopyString(const char* text);

// The first occurrence of `needle` in the `length` bytes at `haystack`, or
// null.  memmem(3) where the C library has it, a memchr scan elsewhere.
const char* FindBytes(const char* haystack, size_t length, const char* needle, size_t needleLength);

// The one reading of a decimal number in text the program is given (header
// values, ports, counts): the `length` bytes at `text` are decimal digits
// and nothing else (no sign, no space: a caller that allows spaces trims
// them first), at least one, and their value is at most `max` (>= 0).
// True with the value in *value; false, *value untouched, otherwise.
bool ParseDecimal(const char* text, size_t length, int64_t max, int64_t* value);

// The length of the character at `at` in the core's form: 4 for a lead byte
// (0x81-0xFE) followed by a digit, a lead byte and a digit; 2 for a lead
// byte followed by a GBK trail byte (0x40-0xFE but 0x7F); otherwise 1 (ASCII,
// and any byte that starts no whole character, so a walk never passes the
// terminating NUL).
int CharacterBytes(const char* at);

// The length of the well-formed UTF-8 sequence at `at` (of `left` bytes),
// or 0 when it is not one (a stray or bad byte, or a sequence cut short).
size_t Utf8SequenceLength(const unsigned char* at, size_t left);

// 1 when `text` holds a control character: a byte below 0x20 or the byte
// 0x7F.  Neither is ever part of a multi-byte character, so a byte scan
// finds exactly the control characters.
int HasControlByte(const char* text);
