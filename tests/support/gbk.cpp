#include "support/gbk.h"

#include <cstdio>
#include <cstdlib>
#include <regex>

#include "support/temp_dir.h"

#include "util/charset.h"

namespace {

std::string Convert(TextEncoding from, TextEncoding to, const std::string& text, size_t factor) {
    if (text.empty()) return std::string();
    std::string out(text.size() * factor + 4, '\0');
    size_t written = 0;
    long long result = ConvertCharsetLarge(from, to, text.data(), text.size(), &out[0], out.size(), &written);
    if (result != 0) {
        std::fprintf(stderr, "test text conversion %d -> %d failed (%lld)\n", from, to, result);
        std::abort();
    }
    out.resize(written);
    return out;
}

}  // namespace

std::string Gbk(const std::string& utf8) { return Convert(ENCODING_UTF8, ENCODING_GBK, utf8, 1); }
std::string Core(const std::string& utf8) { return Convert(ENCODING_UTF8, CORE_CHARSET, utf8, 2); }
std::string Utf8(const std::string& text) { return Convert(CORE_CHARSET, ENCODING_UTF8, text, 2); }
std::string Ucs2le(const std::string& text) { return Convert(CORE_CHARSET, PACKAGE_WRITE_CHARSET, text, 2); }

#ifdef _WIN32
const char LOGGED_BREAK[] = "\r\n";
#else
const char LOGGED_BREAK[] = " ";
#endif

std::string ReadAppLog(const std::string& path) {
    const std::string bytes = ReadWholeFile(path);
#ifdef _WIN32
    return bytes;
#else
    static const std::regex stamp("^\\d{4}-\\d{2}-\\d{2} (?=\\d{2}:\\d{2}:\\d{2} )");
    std::string log;
    for (size_t at = 0; at < bytes.size();) {
        size_t end = bytes.find('\n', at);
        if (end == std::string::npos) end = bytes.size();
        log += std::regex_replace(bytes.substr(at, end - at), stamp, "", std::regex_constants::format_first_only) +
               (end < bytes.size() ? "\r\n" : "");
        at = end + 1;
    }
    return Core(log);
#endif
}
