#include "support/gbk.h"

#include <cstdio>
#include <cstdlib>

#include "util/charset.h"

namespace {

std::string Convert(const char* from, const char* to, const std::string& text, size_t factor) {
    if (text.empty()) return std::string();
    std::string out(text.size() * factor + 4, '\0');
    size_t written = 0;
    long long result = ConvertCharsetLarge(from, to, text.data(), text.size(), &out[0], out.size(), &written);
    if (result != 0) {
        std::fprintf(stderr, "test text conversion %s -> %s failed (%lld)\n", from, to, result);
        std::abort();
    }
    out.resize(written);
    return out;
}

}  // namespace

std::string Gbk(const std::string& utf8) { return Convert("UTF-8", "GBK", utf8, 1); }
std::string Core(const std::string& utf8) { return Convert("UTF-8", CORE_CHARSET, utf8, 2); }
std::string Utf8(const std::string& text) { return Convert(CORE_CHARSET, "UTF-8", text, 2); }
std::string Ucs2le(const std::string& text) { return Convert(CORE_CHARSET, PACKAGE_WRITE_CHARSET, text, 2); }
