#include "platform/log_line.h"

#include <cstring>

#include "platform/charset.h"

std::string FormatLogLine(const char* message, const std::tm& when) {
    char stamp[32];
    std::string line(stamp, std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &when));
    // A two-byte character of the core's form takes three bytes in UTF-8.
    const size_t length = std::strlen(message);
    std::string utf8(length * 2 + 4, '\0');
    TextConversion converted;
    ConvertText(CORE_CHARSET, ENCODING_UTF8, MISSING_DROP, message, length, &utf8[0], utf8.size(), &converted);
    utf8.resize(converted.written);
    // One entry, one line: every line then starts with its date for the
    // tools that read the log a line at a time.  A run of line breaks in
    // the message (CR LF, CR or LF) is written as one space; breaks at its
    // end are left out.
    bool inBreak = false;
    for (const char byte : utf8) {
        if (byte == '\r' || byte == '\n') {
            inBreak = true;
            continue;
        }
        if (inBreak) line += ' ';
        inBreak = false;
        line += byte;
    }
    return line + "\n";
}
