#include "http/url.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"
#include "base/strings.h"
#include "texts/texts.h"

namespace {

bool Refuse(const char** failureText, const char* message) {
    if (failureText != nullptr) *failureText = message;
    return false;
}

}  // namespace

bool ParseUrl(const char* url, UrlParts* parts, const char** failureText) {
    const char* cannotParse = MESSAGE_URL_CANNOT_PARSE;
    if (url == nullptr || parts == nullptr) return Refuse(failureText, cannotParse);
    if (!StartsWithNoCase(url, "http") && !StartsWith(url, "//")) return Refuse(failureText, cannotParse);
    // Anywhere in the address, also where the parts below would skip it: no
    // such byte may reach a request line or a Host line.
    if (HasControlByte(url)) return Refuse(failureText, MESSAGE_URL_CONTROL_CHARACTER);
    // Only these schemes: "httpx://" or "http:/x" is no address to fetch as http.
    if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://") && !StartsWith(url, "//")) {
        return Refuse(failureText, cannotParse);
    }
    // The host begins two characters after the first '/' ("http://h", "//h").
    const char* firstSlash = std::strchr(url, '/');
    if (firstSlash == nullptr) return Refuse(failureText, cannotParse);
    // "http/" ends right after its slash: the host would start past the
    // terminator.
    if (firstSlash[1] == '\0') return Refuse(failureText, cannotParse);
    const char* hostStart = firstSlash + 2;
    const char* pathStart = std::strchr(hostStart, '/');
    if (pathStart == nullptr) return Refuse(failureText, cannotParse);

    size_t regionLength = static_cast<size_t>(pathStart - hostStart);
    // An IPv6 literal comes in brackets ("[2001:db8::1]:8080"); the host is
    // what is inside them.  A bracket anywhere else makes no host.
    const char* hostEnd = hostStart;
    if (hostStart[0] == '[') {
        const char* close = static_cast<const char*>(std::memchr(hostStart, ']', regionLength));
        if (close == nullptr || (close[1] != ':' && close + 1 != pathStart)) return Refuse(failureText, cannotParse);
        char* literal = CopyBytes(hostStart + 1, static_cast<size_t>(close - hostStart - 1));
        const bool isIpv6 = IsIpv6Literal(literal) != 0;
        std::free(literal);
        if (!isIpv6) return Refuse(failureText, cannotParse);
        hostEnd = close + 1;
    }
    const size_t restLength = static_cast<size_t>(pathStart - hostEnd);
    if (std::memchr(hostEnd, '[', restLength) != nullptr || std::memchr(hostEnd, ']', restLength) != nullptr) {
        return Refuse(failureText, cannotParse);
    }
    const char* colon = static_cast<const char*>(std::memchr(hostEnd, ':', static_cast<size_t>(pathStart - hostEnd)));
    const bool isHttps = StartsWithNoCase(url, "https:");
    int32_t port;
    size_t hostLength = regionLength;
    if (colon != nullptr) {
        hostLength = static_cast<size_t>(colon - hostStart);
        // The port runs to the path's '/'.  An empty one reads as 0, which
        // no connection reaches; anything but digits up to URL_PORT_MAX is
        // refused whole (":65616" would reach port 80 through the low 16 bits).
        const size_t portLength = static_cast<size_t>(pathStart - colon - 1);
        int64_t value = 0;
        if (portLength > 0 && !ParseDecimal(colon + 1, portLength, URL_PORT_MAX, &value)) {
            return Refuse(failureText, MESSAGE_URL_PORT_OUT_OF_RANGE);
        }
        port = static_cast<int32_t>(value);
    } else {
        port = isHttps ? HTTPS_DEFAULT_PORT : HTTP_DEFAULT_PORT;
    }
    char* host = hostStart[0] == '[' ? CopyBytes(hostStart + 1, static_cast<size_t>(hostEnd - hostStart - 2))
                                     : CopyBytes(hostStart, hostLength);
    parts->host = host;
    parts->path = CopyString(pathStart);
    parts->port = port;
    parts->isHttps = isHttps ? 1 : 0;
    return true;
}

void FreeUrlParts(UrlParts* parts) {
    if (parts == nullptr) return;
    std::free(parts->host);
    parts->host = nullptr;
    std::free(parts->path);
    parts->path = nullptr;
}

char* UnescapeAmpersands(const char* url) { return ReplaceAll(url, "&amp;", "&"); }

int FormatHostPort(char* text, size_t size, const char* prefix, const char* host, int port) {
    const bool bracket = std::strchr(host, ':') != nullptr;
    const int length = port < 0 ? std::snprintf(text, size, bracket ? "%s[%s]" : "%s%s", prefix, host)
                                : std::snprintf(text, size, bracket ? "%s[%s]:%d" : "%s%s:%d", prefix, host, port);
    return length >= 0 && static_cast<size_t>(length) < size ? length : -1;
}
