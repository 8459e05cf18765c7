// Base64 (RFC 4648, the standard alphabet with '=' padding), for the Basic
// credentials of a proxy.
#pragma once

#include <cstddef>

// A new heap string holding the base64 form of `length` bytes; the caller
// owns it.  Zero bytes give "".
char* EncodeBase64(const unsigned char* bytes, size_t length);
