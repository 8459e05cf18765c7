// nghttp2 as the build links it: the system's shared library, or the static
// one the Windows builds make (tools/build-nghttp2-windows.sh).
#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <string>

TEST(Nghttp2Library, MatchesItsHeadersAndStartsAClientSessionWithThePreface) {
    ASSERT_NE(nullptr, nghttp2_version(NGHTTP2_VERSION_NUM)) << "the library is older than its headers";

    nghttp2_session_callbacks* callbacks = nullptr;
    ASSERT_EQ(0, nghttp2_session_callbacks_new(&callbacks));
    nghttp2_session* session = nullptr;
    ASSERT_EQ(0, nghttp2_session_client_new(&session, callbacks, nullptr));
    nghttp2_session_callbacks_del(callbacks);
    ASSERT_EQ(0, nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0));
    std::string sent;
    const uint8_t* bytes = nullptr;
    for (auto length = nghttp2_session_mem_send(session, &bytes); length > 0;
         length = nghttp2_session_mem_send(session, &bytes)) {
        sent.append(reinterpret_cast<const char*>(bytes), length);
    }
    nghttp2_session_del(session);
    // The preface, then an empty SETTINGS frame: length 0, type 4, no flags, stream 0.
    EXPECT_EQ(std::string(NGHTTP2_CLIENT_MAGIC) + std::string("\0\0\0\4\0\0\0\0\0", 9), sent);
}
