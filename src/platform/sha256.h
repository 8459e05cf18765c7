// SHA-256 of a stream of bytes, from the system's own cryptography: OpenSSL's
// EVP digests on POSIX (the library TLS already links), BCrypt on Windows.
// The image library tells identical images apart by it.
#pragma once

#include <cstddef>

const size_t SHA256_DIGEST_BYTES = 32;
// The digest in lower-case hexadecimal with its terminator.
const size_t SHA256_HEX_SIZE = 2 * SHA256_DIGEST_BYTES + 1;

// One hash in progress; each belongs to one thread at a time.
struct Sha256Hasher;

// A hasher ready for the first bytes; null when the system's hash cannot be
// had (no memory, no provider).
Sha256Hasher* NewSha256();
// Adds `size` bytes; 1 on success.  Any number of pieces of any sizes give
// the hash of their concatenation.
int UpdateSha256(Sha256Hasher* hasher, const void* bytes, size_t size);
// The digest of everything added; 1 on success.  The hasher takes no more
// bytes afterwards, only FreeSha256.
int FinalSha256(Sha256Hasher* hasher, unsigned char digest[SHA256_DIGEST_BYTES]);
// Releases the hasher, finished or not; null does nothing.
void FreeSha256(Sha256Hasher* hasher);

// The digest's hexadecimal form (lower case, NUL-terminated).
void Sha256Hex(const unsigned char digest[SHA256_DIGEST_BYTES], char hex[SHA256_HEX_SIZE]);
