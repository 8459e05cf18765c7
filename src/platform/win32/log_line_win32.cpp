#include "platform/log_line.h"

#include <cstring>

std::string FormatLogLine(const char* message, const std::tm& when) {
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S ", &when);
    return std::string(stamp) + message + "\r\n";
}
