#include "platform/log_line.h"

#include <cstring>

#include "platform/charset.h"
#include "util/charset.h"

std::string FormatLogLine(const char* message, const std::tm& when) {
    char stamp[32];
    std::string line(stamp, std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &when));
    // A two-byte character of the core's form takes three bytes in UTF-8.
    const size_t length = std::strlen(message);
    std::string utf8(length * 2 + 4, '\0');
    size_t written = 0;
    ConvertCharsetLarge(CORE_CHARSET, "UTF-8", message, length, &utf8[0], utf8.size(), &written);
    utf8.resize(written);
    // The core's CR LF, and a lone CR, end lines as LF does here.
    for (size_t i = 0; i < utf8.size(); ++i) {
        if (utf8[i] != '\r') {
            line += utf8[i];
        } else if (i + 1 >= utf8.size() || utf8[i + 1] != '\n') {
            line += '\n';
        }
    }
    return line + "\n";
}
