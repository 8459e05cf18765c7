// SHA-256 through OpenSSL's EVP interface (libcrypto, linked for TLS).
#include "platform/sha256.h"

#include <openssl/evp.h>

#include <new>

struct Sha256Hasher {
    EVP_MD_CTX* context;
};

Sha256Hasher* NewSha256() {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) {
        return nullptr;
    }
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        return nullptr;
    }
    Sha256Hasher* hasher = new (std::nothrow) Sha256Hasher;
    if (hasher == nullptr) {
        EVP_MD_CTX_free(context);
        return nullptr;
    }
    hasher->context = context;
    return hasher;
}

int UpdateSha256(Sha256Hasher* hasher, const void* bytes, size_t size) {
    return EVP_DigestUpdate(hasher->context, bytes, size) == 1 ? 1 : 0;
}

int FinalSha256(Sha256Hasher* hasher, unsigned char digest[SHA256_DIGEST_BYTES]) {
    unsigned int length = 0;
    return EVP_DigestFinal_ex(hasher->context, digest, &length) == 1 && length == SHA256_DIGEST_BYTES ? 1 : 0;
}

void FreeSha256(Sha256Hasher* hasher) {
    if (hasher != nullptr) {
        EVP_MD_CTX_free(hasher->context);
        delete hasher;
    }
}
