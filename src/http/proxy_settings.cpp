#include "http/proxy_settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/url.h"
#include "platform/system_proxy.h"
#include "texts/texts.h"
#include "util/base64.h"
#include "base/memory.h"
#include "base/strings.h"

namespace {

const ProxyEndpoint NO_ENDPOINT = {nullptr, 0, nullptr, nullptr};
const ProxySettings NO_SETTINGS = {NO_ENDPOINT, NO_ENDPOINT, nullptr, PROXY_BYPASS_NO_PROXY, nullptr};

// The longest host name DNS allows, with room for brackets and a dot.
const size_t HOST_BYTES = 260;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Folded(char c) { return static_cast<char>(FoldAscii(static_cast<unsigned char>(c))); }

// Decimal digits only, 0 to `maximum`; -1 otherwise.
int ReadNumber(const char* text, size_t length, int maximum) {
    int64_t value;
    return ParseDecimal(text, length, maximum, &value) ? static_cast<int>(value) : -1;
}

int ReadPort(const char* text, size_t length) {
    int port = ReadNumber(text, length, 65535);
    return port > 0 ? port : -1;
}

// ---- Address literals --------------------------------------------------
// Our own small parser: no_proxy ranges need the bytes, and the platform's
// inet_pton accepts forms (leading zeros as octal) curl's matching does not.

// A dotted quad, each part 0-255 without leading zeros: 4, or 0.
int ParseIpv4(const char* text, size_t length, unsigned char* bytes) {
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= length || text[at] != '.') return 0;
            ++at;
        }
        size_t start = at;
        while (at < length && IsDigit(text[at]) && at - start < 3) ++at;
        int value = ReadNumber(text + start, at - start, 255);
        if (value < 0 || (at - start > 1 && text[start] == '0')) return 0;
        bytes[part] = static_cast<unsigned char>(value);
    }
    return at == length ? 4 : 0;
}

// Groups of one to four hex digits, "::" once for a run of zero groups,
// and an IPv4 tail in the last 32 bits: 16, or 0.
int ParseIpv6(const char* text, size_t length, unsigned char* bytes) {
    unsigned char parsed[16] = {};
    int filled = 0;  // bytes written to `parsed`
    int gap = -1;    // where "::" stood, in bytes
    size_t at = 0;
    if (length >= 2 && text[0] == ':' && text[1] == ':') {
        gap = 0;
        at = 2;
    } else if (length > 0 && text[0] == ':') {
        return 0;
    }
    while (at < length) {
        if (filled == 16) return 0;
        size_t start = at;
        while (at < length && HexDigitValue(text[at]) >= 0 && at - start < 5) ++at;
        if (at < length && text[at] == '.') {
            // The IPv4 tail ends the address.
            if (filled > 12 || ParseIpv4(text + start, length - start, parsed + filled) != 4) return 0;
            filled += 4;
            at = length;
            break;
        }
        if (at == start || at - start > 4) return 0;
        unsigned group = 0;
        for (size_t i = start; i < at; ++i) group = group * 16 + static_cast<unsigned>(HexDigitValue(text[i]));
        parsed[filled++] = static_cast<unsigned char>(group >> 8);
        parsed[filled++] = static_cast<unsigned char>(group & 0xFF);
        if (at == length) break;
        if (text[at] != ':') return 0;
        ++at;
        if (at < length && text[at] == ':') {
            if (gap >= 0) return 0;
            gap = filled;
            ++at;
        } else if (at == length) {
            return 0;  // a single trailing ':'
        }
    }
    if (gap < 0) {
        if (filled != 16) return 0;
        std::memcpy(bytes, parsed, 16);
        return 16;
    }
    if (filled == 16) return 0;  // "::" must stand for at least one group
    std::memset(bytes, 0, 16);
    std::memcpy(bytes, parsed, static_cast<size_t>(gap));
    std::memcpy(bytes + 16 - (filled - gap), parsed + gap, static_cast<size_t>(filled - gap));
    return 16;
}

// 4 or 16 bytes of an IPv4 or IPv6 literal, or 0 for anything else.
int ParseAddressLiteral(const char* text, size_t length, unsigned char* bytes) {
    if (ParseIpv4(text, length, bytes) == 4) return 4;
    return std::memchr(text, ':', length) != nullptr ? ParseIpv6(text, length, bytes) : 0;
}

bool PrefixMatches(const unsigned char* first, const unsigned char* second, int bits) {
    int whole = bits / 8;
    if (std::memcmp(first, second, static_cast<size_t>(whole)) != 0) return false;
    int rest = bits % 8;
    if (rest == 0) return true;
    unsigned mask = (0xFFu << (8 - rest)) & 0xFFu;
    return (first[whole] & mask) == (second[whole] & mask);
}

// ---- Hosts -------------------------------------------------------------

// A host as the matching sees it: without brackets or a trailing dot,
// lower case, and its address bytes when it is a literal.
struct Host {
    char name[HOST_BYTES];
    size_t length;
    unsigned char address[16];
    int addressBytes;  // 4, 16, or 0 for a name
};

bool ReadHost(const char* host, Host* out) {
    if (host == nullptr) return false;
    size_t length = std::strlen(host);
    if (length >= 2 && host[0] == '[' && host[length - 1] == ']') {
        ++host;
        length -= 2;
    }
    if (length > 0 && host[length - 1] == '.') --length;
    if (length == 0 || length >= HOST_BYTES) return false;
    for (size_t i = 0; i < length; ++i) out->name[i] = Folded(host[i]);
    out->name[length] = '\0';
    out->length = length;
    out->addressBytes = ParseAddressLiteral(out->name, length, out->address);
    return true;
}

bool IsLoopback(const Host& host) {
    static const unsigned char IPV6_LOOPBACK[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (host.addressBytes == 4) return host.address[0] == 127;
    if (host.addressBytes == 16) return std::memcmp(host.address, IPV6_LOOPBACK, 16) == 0;
    return std::strcmp(host.name, "localhost") == 0 || EndsWith(host.name, ".localhost");
}

// One no_proxy entry, spaces already trimmed.
bool NoProxyEntryMatches(const char* entry, size_t length, const Host& host, int port) {
    if (length == 1 && entry[0] == '*') return true;
    // The port: after "]" for a bracketed address, else after the one ':'
    // of a name or IPv4 entry (an IPv6 entry without brackets has several).
    const char* colon = nullptr;
    if (entry[0] == '[') {
        const char* close = static_cast<const char*>(std::memchr(entry, ']', length));
        if (close == nullptr) return false;
        const char* after = close + 1;
        if (after < entry + length && *after == '/') {
            while (after < entry + length && *after != ':') ++after;
        }
        if (after < entry + length) {
            if (*after != ':') return false;
            colon = after;
        }
    } else {
        const char* first = static_cast<const char*>(std::memchr(entry, ':', length));
        size_t rest = first != nullptr ? static_cast<size_t>(entry + length - first - 1) : 0;
        if (first != nullptr && std::memchr(first + 1, ':', rest) == nullptr) colon = first;
    }
    if (colon != nullptr) {
        int entryPort = ReadPort(colon + 1, static_cast<size_t>(entry + length - colon - 1));
        if (entryPort < 0 || entryPort != port) return false;
        length = static_cast<size_t>(colon - entry);
    }
    // Brackets go, wherever the range length stands ("[fe80::]/10" or "[fe80::/10]").
    char text[HOST_BYTES];
    size_t textLength = 0;
    for (size_t i = 0; i < length; ++i) {
        if (entry[i] == '[' || entry[i] == ']') continue;
        if (textLength + 1 >= sizeof text) return false;
        text[textLength++] = Folded(entry[i]);
    }
    text[textLength] = '\0';

    const char* slash = static_cast<const char*>(std::memchr(text, '/', textLength));
    unsigned char address[16];
    int addressBytes = ParseAddressLiteral(text, slash ? static_cast<size_t>(slash - text) : textLength, address);
    if (addressBytes > 0 || slash != nullptr) {
        if (addressBytes == 0 || addressBytes != host.addressBytes) return false;
        int bits = addressBytes * 8;
        if (slash != nullptr) {
            bits = ReadNumber(slash + 1, textLength - static_cast<size_t>(slash + 1 - text), addressBytes * 8);
            if (bits < 0) return false;
        }
        return PrefixMatches(address, host.address, bits);
    }
    if (host.addressBytes != 0) return false;  // names are not resolved
    const char* name = text;
    if (*name == '.') ++name;
    size_t nameLength = std::strlen(name);
    if (nameLength > 0 && name[nameLength - 1] == '.') --nameLength;
    if (nameLength == 0 || nameLength > host.length) return false;
    const char* tail = host.name + host.length - nameLength;
    if (std::memcmp(tail, name, nameLength) != 0) return false;
    return tail == host.name || tail[-1] == '.';
}

// '*' for any run of characters, without case (both sides lower case).
bool WildcardMatches(const char* pattern, size_t patternLength, const char* text) {
    const char* star = nullptr;  // the last '*' seen, and where its run restarts
    const char* resume = nullptr;
    const char* end = pattern + patternLength;
    while (*text != '\0') {
        if (pattern < end && *pattern == '*') {
            star = pattern++;
            resume = text;
        } else if (pattern < end && *pattern == *text) {
            ++pattern;
            ++text;
        } else if (star != nullptr) {
            pattern = star + 1;
            text = ++resume;
        } else {
            return false;
        }
    }
    while (pattern < end && *pattern == '*') ++pattern;
    return pattern == end;
}

bool SystemEntryMatches(const char* entry, size_t length, const Host& host, int port) {
    if (length == 7 && StartsWithNoCase(entry, "<local>")) {
        return host.addressBytes == 0 && std::strchr(host.name, '.') == nullptr;
    }
    // A scheme in front ("http://host") names the host all the same.
    const char* scheme = static_cast<const char*>(FindBytes(entry, length, "://", 3));
    if (scheme != nullptr) {
        length -= static_cast<size_t>(scheme + 3 - entry);
        entry = scheme + 3;
    }
    char pattern[HOST_BYTES];
    if (length == 0 || length >= sizeof pattern) return false;
    for (size_t i = 0; i < length; ++i) pattern[i] = Folded(entry[i]);
    pattern[length] = '\0';
    // ":port" after a name, an IPv4 pattern or "]"; an IPv6 pattern without
    // brackets keeps its colons.
    char* colon = std::strrchr(pattern, ':');
    char* close = std::strrchr(pattern, ']');
    if (colon != nullptr && (close != nullptr ? colon > close : std::strchr(pattern, ':') == colon)) {
        if (!(colon[1] == '*' && colon[2] == '\0')) {
            int entryPort = ReadPort(colon + 1, std::strlen(colon + 1));
            if (entryPort < 0 || entryPort != port) return false;
        }
        *colon = '\0';
        length = static_cast<size_t>(colon - pattern);
    }
    if (pattern[0] == '[' && length >= 2 && pattern[length - 1] == ']') {
        pattern[length - 1] = '\0';
        return WildcardMatches(pattern + 1, length - 2, host.name);
    }
    return WildcardMatches(pattern, length, host.name);
}

// ---- Proxy addresses ---------------------------------------------------

// `length` bytes with %XX sequences decoded, as a heap string; null when a
// sequence is broken or decodes to NUL.
char* PercentDecode(const char* text, size_t length) {
    char* decoded = static_cast<char*>(Allocate(length + 1));
    size_t out = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != '%') {
            decoded[out++] = text[i];
            continue;
        }
        int high = i + 2 < length ? HexDigitValue(text[i + 1]) : -1;
        int low = i + 2 < length ? HexDigitValue(text[i + 2]) : -1;
        if (high < 0 || low < 0 || (high == 0 && low == 0)) {
            std::free(decoded);
            return nullptr;
        }
        decoded[out++] = static_cast<char>(high * 16 + low);
        i += 2;
    }
    decoded[out] = '\0';
    return decoded;
}

bool IsAsciiLetter(char c) { return Folded(c) >= 'a' && Folded(c) <= 'z'; }

bool IsHostNameByte(char c) { return IsDigit(c) || IsAsciiLetter(c) || c == '-' || c == '.' || c == '_'; }

char* MakeDisplay(const char* host, int port) {
    size_t size = std::strlen(host) + 16;
    char* display = static_cast<char*>(Allocate(size));
    FormatHostPort(display, size, "", host, port);
    return display;
}

char* MakeAuthorization(const char* user, const char* password) {
    size_t userLength = std::strlen(user);
    size_t passwordLength = password ? std::strlen(password) : 0;
    char* pair = static_cast<char*>(Allocate(userLength + passwordLength + 2));
    std::memcpy(pair, user, userLength);
    pair[userLength] = ':';
    if (passwordLength > 0) std::memcpy(pair + userLength + 1, password, passwordLength);
    char* encoded = EncodeBase64(reinterpret_cast<const unsigned char*>(pair), userLength + 1 + passwordLength);
    std::free(pair);
    size_t size = std::strlen(encoded) + 7;
    char* value = static_cast<char*>(Allocate(size));
    std::snprintf(value, size, "Basic %s", encoded);
    std::free(encoded);
    return value;
}

ProxyEndpoint CopyEndpoint(const ProxyEndpoint& from) {
    ProxyEndpoint copy = {CopyString(from.host), from.port, nullptr, CopyString(from.display)};
    if (from.authorization != nullptr) copy.authorization = CopyString(from.authorization);
    return copy;
}

// Where the authority of a proxy address begins: past "scheme://" when the
// address starts with a scheme name (a letter, then letters, digits, '+',
// '-' or '.'), else at its start: "user:pa://x@h" has no scheme, so its
// credentials are not taken for one.
const char* AuthorityOf(const char* address) {
    const char* p = address;
    if (!IsAsciiLetter(*p)) return address;
    while (IsAsciiLetter(*p) || IsDigit(*p) || *p == '+' || *p == '-' || *p == '.') ++p;
    return StartsWith(p, "://") ? p + 3 : address;
}

// The message of a proxy address that cannot be used: every byte a
// terminal could misread (controls, non-ASCII) shown as '?'.
char* ProxyFailure(const char* format, const char* source, const char* address) {
    char* redacted = RedactProxyAddress(address);
    for (char* p = redacted; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c >= 0x7F) *p = '?';
    }
    size_t size = std::strlen(format) + std::strlen(source) + std::strlen(redacted) + 1;
    char* message = static_cast<char*>(Allocate(size));
    std::snprintf(message, size, format, source, redacted);
    std::free(redacted);
    return message;
}

// The first variable of `names` that is set and not empty, its name in *name.
const char* ReadVariable(EnvironmentGetter getter, const char* const* names, int count, const char** name) {
    for (int i = 0; i < count; ++i) {
        const char* value = getter(names[i]);
        if (value != nullptr && value[0] != '\0') {
            *name = names[i];
            return value;
        }
    }
    return nullptr;
}

const char* GetEnvironmentVariable(const char* name) { return std::getenv(name); }

// The proxy of one scheme from its source; false with *failureMessage set.
bool ReadEndpoint(const char* address, const char* source, ProxyEndpoint* endpoint, char** failureMessage) {
    if (address == nullptr || address[0] == '\0') return true;
    const char* failureFormat = nullptr;
    if (ParseProxyAddress(address, PROXY_DEFAULT_PORT, endpoint, &failureFormat)) return true;
    *failureMessage = ProxyFailure(failureFormat, source, address);
    return false;
}

}  // namespace

char* RedactProxyAddress(const char* address) {
    const char* authority = AuthorityOf(address);
    const char* at = std::strrchr(authority, '@');
    size_t length = std::strlen(address);
    char* text = static_cast<char*>(Allocate(length + 1));
    size_t out = 0;
    for (const char* p = address; *p != '\0'; ++p) {
        if (at == nullptr || p < authority || p > at) text[out++] = *p;
    }
    text[out] = '\0';
    return text;
}

bool ParseProxyAddress(const char* address, int defaultPort, ProxyEndpoint* out, const char** failureFormat) {
    *out = NO_ENDPOINT;
    *failureFormat = FORMAT_PROXY_CANNOT_PARSE;
    if (address == nullptr || address[0] == '\0') return false;
    for (const char* p = address; *p != '\0'; ++p) {
        if (static_cast<unsigned char>(*p) <= 0x20 || *p == 0x7F) return false;
    }
    const char* authority = AuthorityOf(address);
    if (authority != address && !(authority - address == 7 && StartsWithNoCase(address, "http"))) {
        *failureFormat = FORMAT_PROXY_UNSUPPORTED;
        return false;
    }
    // The credentials run to the last '@', as curl reads them: a '/', '@'
    // or ':' in an unencoded password stays in the password.
    const char* at = std::strrchr(authority, '@');
    const char* hostStart = at != nullptr ? at + 1 : authority;
    const char* end = hostStart + std::strcspn(hostStart, "/?#");
    // Only a lone '/' may follow: a path means something else was meant.
    if (*end != '\0' && !(end[0] == '/' && end[1] == '\0')) return false;

    char* user = nullptr;
    char* password = nullptr;
    if (at != nullptr) {
        const char* colon = static_cast<const char*>(std::memchr(authority, ':', static_cast<size_t>(at - authority)));
        const char* userEnd = colon != nullptr ? colon : at;
        user = PercentDecode(authority, static_cast<size_t>(userEnd - authority));
        if (colon != nullptr) password = PercentDecode(colon + 1, static_cast<size_t>(at - colon - 1));
        if (user == nullptr || (colon != nullptr && password == nullptr)) {
            std::free(user);
            std::free(password);
            return false;
        }
    }

    const char* hostEnd;
    const char* portStart;
    char host[HOST_BYTES];
    size_t hostLength;
    unsigned char address6[16];
    if (*hostStart == '[') {
        const char* close = static_cast<const char*>(std::memchr(hostStart, ']', static_cast<size_t>(end - hostStart)));
        hostEnd = close;
        portStart = close != nullptr ? close + 1 : nullptr;
        hostLength = close != nullptr ? static_cast<size_t>(close - hostStart - 1) : 0;
        if (close == nullptr || hostLength >= sizeof host || ParseIpv6(hostStart + 1, hostLength, address6) != 16) {
            hostEnd = nullptr;
        } else {
            std::memcpy(host, hostStart + 1, hostLength);
        }
    } else {
        hostEnd = hostStart;
        while (hostEnd < end && IsHostNameByte(*hostEnd)) ++hostEnd;
        portStart = hostEnd;
        hostLength = static_cast<size_t>(hostEnd - hostStart);
        // No longer than an image's host, so its display fits every pool key.
        if (hostLength == 0 || hostLength > static_cast<size_t>(HOST_NAME_MAX_BYTES)) {
            hostEnd = nullptr;
        } else {
            std::memcpy(host, hostStart, hostLength);
        }
    }
    int port = defaultPort;
    bool ok = hostEnd != nullptr;
    if (ok && portStart < end) {
        // "host:" keeps the default port, as an empty port does in a URL.
        ok = *portStart == ':';
        if (ok && portStart + 1 < end) {
            port = ReadPort(portStart + 1, static_cast<size_t>(end - portStart - 1));
            ok = port > 0;
        }
    }
    if (!ok) {
        std::free(user);
        std::free(password);
        return false;
    }
    host[hostLength] = '\0';
    for (size_t i = 0; i < hostLength; ++i) host[i] = Folded(host[i]);
    out->host = CopyString(host);
    out->port = port;
    out->display = MakeDisplay(host, port);
    if (user != nullptr && (user[0] != '\0' || password != nullptr)) {
        out->authorization = MakeAuthorization(user, password);
    }
    std::free(user);
    std::free(password);
    *failureFormat = nullptr;
    return true;
}

void FreeProxyEndpoint(ProxyEndpoint* endpoint) {
    std::free(endpoint->host);
    std::free(endpoint->authorization);
    std::free(endpoint->display);
    *endpoint = NO_ENDPOINT;
}

void FreeProxySettings(ProxySettings* settings) {
    FreeProxyEndpoint(&settings->http);
    FreeProxyEndpoint(&settings->https);
    std::free(settings->bypass);
    CloseSystemProxyResolver(settings->resolver);
    *settings = NO_SETTINGS;
}

bool HostBypassesProxy(const char* list, const char* host, int port) {
    Host parsed;
    if (list == nullptr || !ReadHost(host, &parsed)) return false;
    const char* at = list;
    while (*at != '\0') {
        size_t length = std::strcspn(at, ",");
        const char* start = at;
        const char* end = at + length;
        while (start < end && std::strchr(" \t", *start) != nullptr) ++start;
        while (end > start && std::strchr(" \t", end[-1]) != nullptr) --end;
        if (end > start && NoProxyEntryMatches(start, static_cast<size_t>(end - start), parsed, port)) return true;
        at += length;
        if (*at == ',') ++at;
    }
    return false;
}

bool SystemBypassMatches(const char* list, const char* host, int port) {
    Host parsed;
    if (!ReadHost(host, &parsed)) return false;
    if (IsLoopback(parsed)) return true;
    if (list == nullptr) return false;
    static const char SEPARATORS[] = "; \t\r\n";
    const char* at = list;
    while (*at != '\0') {
        at += std::strspn(at, SEPARATORS);
        size_t length = std::strcspn(at, SEPARATORS);
        if (length > 0 && SystemEntryMatches(at, length, parsed, port)) return true;
        at += length;
    }
    return false;
}

int ParseSystemProxyServer(const char* server, bool isHttps, ProxyEndpoint* out, const char** failureFormat) {
    *out = NO_ENDPOINT;
    *failureFormat = nullptr;
    if (server == nullptr) return 0;
    static const char SEPARATORS[] = "; \t\r\n";
    const char* wanted = isHttps ? "https=" : "http=";
    const char* chosen = nullptr;  // the scheme's own entry
    size_t chosenLength = 0;
    const char* plain = nullptr;  // the first entry without "scheme="
    size_t plainLength = 0;
    bool socks = false;
    for (const char* at = server + std::strspn(server, SEPARATORS); *at != '\0'; at += std::strspn(at, SEPARATORS)) {
        size_t length = std::strcspn(at, SEPARATORS);
        const char* equals = static_cast<const char*>(std::memchr(at, '=', length));
        if (equals == nullptr) {
            if (plain == nullptr) {
                plain = at;
                plainLength = length;
            }
        } else if (chosen == nullptr && StartsWithNoCase(at, wanted)) {
            chosen = equals + 1;
            chosenLength = length - static_cast<size_t>(equals + 1 - at);
        } else if (StartsWithNoCase(at, "socks=")) {
            socks = true;
        }
        at += length;
    }
    if (chosen == nullptr) {
        chosen = plain;
        chosenLength = plainLength;
    }
    if (chosen == nullptr) {
        // Windows would send everything through the socks proxy: going
        // direct instead would pass by what the user set.
        if (socks) *failureFormat = FORMAT_PROXY_UNSUPPORTED;
        return socks ? -1 : 0;
    }
    if (chosenLength == 0) return 0;  // "https=" with nothing: that scheme goes direct
    char* entry = CopyBytes(chosen, chosenLength);
    int parsed = ParseProxyAddress(entry, SYSTEM_PROXY_DEFAULT_PORT, out, failureFormat);
    std::free(entry);
    return parsed ? 1 : -1;
}

bool ReadProxyEnvironment(ProxySettings* settings, const char* proxyOption, const char* noProxyOption,
                          char** failureMessage, EnvironmentGetter getter) {
    static const char* const HTTP_NAMES[] = {"http_proxy"};  // never HTTP_PROXY: see the header
    static const char* const HTTPS_NAMES[] = {"https_proxy", "HTTPS_PROXY"};
    static const char* const ALL_NAMES[] = {"all_proxy", "ALL_PROXY"};
    static const char* const NO_PROXY_NAMES[] = {"no_proxy", "NO_PROXY"};
    *settings = NO_SETTINGS;
    *failureMessage = nullptr;
    if (getter == nullptr) getter = GetEnvironmentVariable;

    const char* name = nullptr;
    const char* bypass = noProxyOption != nullptr ? noProxyOption : ReadVariable(getter, NO_PROXY_NAMES, 2, &name);
    if (bypass != nullptr) settings->bypass = CopyString(bypass);

    bool ok;
    if (proxyOption != nullptr) {
        ok = ReadEndpoint(proxyOption, "--proxy", &settings->http, failureMessage) &&
             ReadEndpoint(proxyOption, "--proxy", &settings->https, failureMessage);
    } else {
        const char* allName = nullptr;
        const char* all = ReadVariable(getter, ALL_NAMES, 2, &allName);
        const char* httpName = allName;
        const char* http = ReadVariable(getter, HTTP_NAMES, 1, &httpName);
        const char* httpsName = allName;
        const char* https = ReadVariable(getter, HTTPS_NAMES, 2, &httpsName);
        ok = ReadEndpoint(http != nullptr ? http : all, httpName, &settings->http, failureMessage) &&
             ReadEndpoint(https != nullptr ? https : all, httpsName, &settings->https, failureMessage);
    }
    if (!ok) FreeProxySettings(settings);
    return ok;
}

bool ReadSystemProxySettings(ProxySettings* settings, char** failureMessage) {
    *settings = NO_SETTINGS;
    *failureMessage = nullptr;
    settings->bypassForm = PROXY_BYPASS_SYSTEM;
    SystemProxyConfig config;
    if (!ReadSystemProxyConfig(&config)) return true;
    bool ok = true;
    const char* failureFormat = nullptr;
    if (ParseSystemProxyServer(config.proxyServer, false, &settings->http, &failureFormat) < 0 ||
        ParseSystemProxyServer(config.proxyServer, true, &settings->https, &failureFormat) < 0) {
        *failureMessage = ProxyFailure(failureFormat, TEXT_SYSTEM_PROXY_SETTINGS, config.proxyServer);
        FreeProxySettings(settings);
        ok = false;
    } else {
        if (config.proxyBypass != nullptr) settings->bypass = CopyString(config.proxyBypass);
        settings->bypassForm = PROXY_BYPASS_SYSTEM;
        settings->resolver = OpenSystemProxyResolver(&config);
    }
    FreeSystemProxyConfig(&config);
    return ok;
}

bool ChooseProxy(const ProxySettings* settings, bool isHttps, const char* host, int port, ProxyEndpoint* out) {
    *out = NO_ENDPOINT;
    bool system = settings->bypassForm == PROXY_BYPASS_SYSTEM;
    if (system && SystemBypassMatches(nullptr, host, port)) return false;  // loopback
    Host parsed;
    if (settings->resolver != nullptr && ReadHost(host, &parsed)) {
        size_t size = parsed.length + 32;
        char* url = static_cast<char*>(Allocate(size));
        const int length = FormatHostPort(url, size - 1, isHttps ? "https://" : "http://", parsed.name, port);
        if (length >= 0) std::memcpy(url + length, "/", 2);
        char* proxyList = nullptr;
        char* bypassList = nullptr;
        int answer = ResolveSystemProxy(settings->resolver, url, &proxyList, &bypassList);
        std::free(url);
        int chosen = -1;
        if (answer == 0) {
            chosen = 0;
        } else if (answer == 1) {
            const char* failureFormat = nullptr;
            chosen = 0;
            if (!SystemBypassMatches(bypassList, host, port)) {
                chosen = ParseSystemProxyServer(proxyList, isHttps, out, &failureFormat);
            }
        }
        std::free(proxyList);
        std::free(bypassList);
        // A script's answer we cannot use leaves the static settings to decide.
        if (chosen >= 0) return chosen == 1;
        FreeProxyEndpoint(out);
    }
    const ProxyEndpoint& endpoint = isHttps ? settings->https : settings->http;
    if (endpoint.host == nullptr) return false;
    bool bypassed =
        system ? SystemBypassMatches(settings->bypass, host, port) : HostBypassesProxy(settings->bypass, host, port);
    if (bypassed) return false;
    *out = CopyEndpoint(endpoint);
    return true;
}
