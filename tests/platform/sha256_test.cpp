#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The hex digest of `text` fed in pieces of the sizes in `pieces`, in turn
// and over again (a 0 piece is an empty update), until all of it is in.
std::string HashInPieces(const std::string& text, const std::vector<size_t>& pieces) {
    Sha256Hasher* hasher = NewSha256();
    EXPECT_NE(hasher, nullptr);
    if (hasher == nullptr) {
        return "";
    }
    size_t at = 0;
    for (size_t turn = 0; at < text.size() || turn == 0; turn++) {
        size_t piece = pieces[turn % pieces.size()];
        if (piece > text.size() - at) {
            piece = text.size() - at;
        }
        EXPECT_EQ(UpdateSha256(hasher, text.data() + at, piece), 1);
        at += piece;
    }
    unsigned char digest[SHA256_DIGEST_BYTES];
    EXPECT_EQ(FinalSha256(hasher, digest), 1);
    FreeSha256(hasher);
    char hex[SHA256_HEX_SIZE];
    Sha256Hex(digest, hex);
    return hex;
}

// The known vectors of FIPS 180-2 and the empty message, whole and in
// uneven pieces, so the streaming joins pieces as one message.
TEST(Sha256Test, KnownVectorsInAnyPieces) {
    struct Vector {
        std::string text;
        const char* digest;
    };
    const Vector vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    const std::vector<size_t> piecings[] = {{1000000}, {1}, {0, 3, 64, 7, 0, 129, 1000}, {63, 65, 4093}};
    for (const Vector& vector : vectors) {
        for (const std::vector<size_t>& pieces : piecings) {
            if (vector.text.size() > 100000 && pieces[0] == 1) {
                continue;  // a million single bytes proves nothing more
            }
            EXPECT_EQ(HashInPieces(vector.text, pieces), vector.digest)
                << vector.text.size() << " bytes, first piece " << pieces[0];
        }
    }
}

}  // namespace
