// What a file that is not the listing tool's export is, by its first bytes:
// sellers open a package in Excel or WPS and save it as UTF-8 or GBK, or
// convert it with another tool, and the reader then finds no header.  Pure:
// it reads no file, and the reader's results do not depend on it.
#pragma once

#include <cstddef>

enum PackageEncoding {
    PACKAGE_ENCODING_UTF16LE,      // FF FE: the listing tool's own form
    PACKAGE_ENCODING_UTF16BE,      // FE FF, or NUL bytes first in each pair
    PACKAGE_ENCODING_UTF8_MARKED,  // EF BB BF
    PACKAGE_ENCODING_UTF8,         // valid UTF-8 with multi-byte characters
    PACKAGE_ENCODING_GB18030,      // bytes over 0x7F that are not UTF-8: GBK or GB18030
    PACKAGE_ENCODING_PLAIN,        // ASCII only
    PACKAGE_ENCODING_UNKNOWN,      // anything else (empty, NUL bytes out of pattern)
};

// The encoding the first `size` bytes of a file suggest; a character cut
// at the end of them counts as whole.
PackageEncoding GuessPackageEncoding(const unsigned char* bytes, size_t size);
