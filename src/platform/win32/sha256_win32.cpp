// SHA-256 through the system's Cryptography API: Next Generation (bcrypt.dll).
// The hash object's memory is BCrypt's own (a null buffer, Windows 7 and
// later), so nothing here sizes it.
#include "platform/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <new>

struct Sha256Hasher {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
};

static bool Succeeded(NTSTATUS status) { return status >= 0; }

Sha256Hasher* NewSha256() {
    Sha256Hasher* hasher = new (std::nothrow) Sha256Hasher();
    if (hasher == nullptr) {
        return nullptr;
    }
    if (!Succeeded(BCryptOpenAlgorithmProvider(&hasher->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        delete hasher;
        return nullptr;
    }
    if (!Succeeded(BCryptCreateHash(hasher->algorithm, &hasher->hash, nullptr, 0, nullptr, 0, 0))) {
        BCryptCloseAlgorithmProvider(hasher->algorithm, 0);
        delete hasher;
        return nullptr;
    }
    return hasher;
}

int UpdateSha256(Sha256Hasher* hasher, const void* bytes, size_t size) {
    // BCryptHashData counts in ULONG: a larger piece goes in slices.
    const unsigned char* at = static_cast<const unsigned char*>(bytes);
    while (size > 0) {
        ULONG slice = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (!Succeeded(BCryptHashData(hasher->hash, const_cast<PUCHAR>(at), slice, 0))) {
            return 0;
        }
        at += slice;
        size -= slice;
    }
    return 1;
}

int FinalSha256(Sha256Hasher* hasher, unsigned char digest[SHA256_DIGEST_BYTES]) {
    return Succeeded(BCryptFinishHash(hasher->hash, digest, SHA256_DIGEST_BYTES, 0)) ? 1 : 0;
}

void FreeSha256(Sha256Hasher* hasher) {
    if (hasher != nullptr) {
        BCryptDestroyHash(hasher->hash);
        BCryptCloseAlgorithmProvider(hasher->algorithm, 0);
        delete hasher;
    }
}
