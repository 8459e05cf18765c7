#include "platform/sha256.h"

void Sha256Hex(const unsigned char digest[SHA256_DIGEST_BYTES], char hex[SHA256_HEX_SIZE]) {
    static const char DIGITS[] = "0123456789abcdef";
    for (size_t i = 0; i < SHA256_DIGEST_BYTES; i++) {
        hex[2 * i] = DIGITS[digest[i] >> 4];
        hex[2 * i + 1] = DIGITS[digest[i] & 0x0F];
    }
    hex[2 * SHA256_DIGEST_BYTES] = '\0';
}
