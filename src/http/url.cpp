#include "http/url.h"

#include <cstdlib>
#include <cstring>

#include "util/strings.h"

const char MESSAGE_URL_CANNOT_PARSE[] =
    "\xce\xde\xb7\xa8parse\xcf\xc2\xd4\xd8\xcd\xbc\xc6\xac\xb5\xd8\xd6\xb7";  // 无法parse下载图片地址

int ParseUrl(const char* url, UrlParts* parts) {
    if (url == nullptr || parts == nullptr) return 0;
    if (!StartsWithNoCase(url, "http") && !StartsWith(url, "//")) return 0;
    // The host begins two characters after the first '/' ("http://h", "//h").
    const char* firstSlash = std::strchr(url, '/');
    if (firstSlash == nullptr) return 0;
    // "http/" ends right after its slash: the host would start past the
    // terminator.
    if (firstSlash[1] == '\0') return 0;
    const char* hostStart = firstSlash + 2;
    const char* pathStart = std::strchr(hostStart, '/');
    if (pathStart == nullptr) return 0;

    size_t regionLength = static_cast<size_t>(pathStart - hostStart);
    const char* colon = static_cast<const char*>(std::memchr(hostStart, ':', regionLength));
    int32_t port;
    char* host;
    if (colon != nullptr) {
        host = CopyBytes(hostStart, static_cast<size_t>(colon - hostStart));
        // Digits stop at the path's '/', so the number cannot run past it.
        port = ReadDecimalInt32(colon + 1);
    } else {
        host = CopyBytes(hostStart, regionLength);
        port = StartsWith(url, "https:") ? 443 : 80;
    }
    parts->host = host;
    parts->path = CopyString(pathStart);
    parts->port = port;
    return 1;
}

void FreeUrlParts(UrlParts* parts) {
    if (parts == nullptr) return;
    std::free(parts->host);
    parts->host = nullptr;
    std::free(parts->path);
    parts->path = nullptr;
}

char* UnescapeAmpersands(const char* url) { return ReplaceAll(url, "&amp;", "&"); }
