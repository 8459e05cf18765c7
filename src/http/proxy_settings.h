// Which proxy, if any, a connection to an address goes through.
//
// The command line follows the environment as curl does: http_proxy for
// http addresses, https_proxy (or HTTPS_PROXY) for https, all_proxy (or
// ALL_PROXY) for both, no_proxy (or NO_PROXY) for the addresses that go
// direct, and options that override them.  HTTP_PROXY is never read: a CGI
// program gets the client's "Proxy:" request header under that name.  A
// lower-case variable wins over its upper-case form; an empty one counts
// as unset.  Karvelo.exe follows the user's system settings instead
// (platform/system_proxy.h): the static proxy with its bypass list, or the
// auto-configuration script where the settings name one.
//
// Only plain http proxies are supported (CONNECT tunnels https through
// them); https:// and socks proxies are refused with a message rather
// than used as something they are not.  A proxy address without a port
// uses 1080, as curl has it; a system proxy without one uses 80, as
// WinHTTP has it.
//
// Strings are NUL-terminated in the core's form; a proxy host is ASCII.
// Credentials live only in `authorization`: every text meant for the log
// or the screen uses `display` ("host:port") or the redacted address.
#pragma once

#include <cstdint>

struct SystemProxyResolver;

struct ProxyEndpoint {
    char* host;  // owned; an IPv6 literal without brackets; null: no proxy
    int32_t port;
    char* authorization;  // owned or null; the Proxy-Authorization value, "Basic <base64(user:password)>"
    char* display;        // owned; "host:port", an IPv6 host in brackets; no credentials
};

// How a bypass list is written.
const int32_t PROXY_BYPASS_NO_PROXY = 0;  // no_proxy: comma-separated suffixes, addresses, ranges
const int32_t PROXY_BYPASS_SYSTEM = 1;    // Windows: ';'-separated wildcards and <local>

struct ProxySettings {
    ProxyEndpoint http;             // for http addresses; host null: direct
    ProxyEndpoint https;            // for https addresses (through a CONNECT tunnel)
    char* bypass;                   // owned or null; the addresses that go direct
    int32_t bypassForm;             // PROXY_BYPASS_NO_PROXY or PROXY_BYPASS_SYSTEM
    SystemProxyResolver* resolver;  // owned or null; asked first, for every address
};

// The environment, as getenv(3): null for a variable that is not set.
typedef const char* (*EnvironmentGetter)(const char* name);

// Fills `settings` from the environment (`getter`, null for getenv) and the
// command line's options (null when not given): --proxy overrides every
// proxy variable (an empty value means no proxy), --noproxy overrides
// no_proxy.  Returns true, or false with `settings` empty and
// *failureMessage (heap, the caller's) naming the variable or option and
// the address without its credentials: FORMAT_PROXY_CANNOT_PARSE or
// FORMAT_PROXY_UNSUPPORTED.
bool ReadProxyEnvironment(ProxySettings* settings, const char* proxyOption, const char* noProxyOption,
                          char** failureMessage, EnvironmentGetter getter = nullptr);

// Fills `settings` from the user's system settings (none on POSIX).
// Returns true, or false with `settings` empty and *failureMessage (heap) when
// the static proxy cannot be used.
bool ReadSystemProxySettings(ProxySettings* settings, char** failureMessage);

// Frees what the settings own and empties them; calling it twice is harmless.
void FreeProxySettings(ProxySettings* settings);

// The choice for a connection to `host` (a name or an address literal,
// IPv6 with or without brackets) and `port`: false for a direct connection,
// true with `out` filled (a copy the caller frees with FreeProxyEndpoint).
bool ChooseProxy(const ProxySettings* settings, bool isHttps, const char* host, int port, ProxyEndpoint* out);

void FreeProxyEndpoint(ProxyEndpoint* endpoint);

// Reads a proxy address, "[http://][user[:password]@]host[:port][/]",
// with user and password percent-decoded; the password runs to the last
// '@', so it may hold '/', '@' and ':' unencoded.  Returns true with `out` filled,
// or false with *failureFormat set to FORMAT_PROXY_CANNOT_PARSE or
// FORMAT_PROXY_UNSUPPORTED (a scheme other than http).
bool ParseProxyAddress(const char* address, int defaultPort, ProxyEndpoint* out, const char** failureFormat);

// A proxy address (or a list of them, as the system settings hold it) for
// a message, the log or the screen: whatever stands between "scheme://"
// (or the start, without a scheme) and the last '@' is left out, however
// malformed the address.  Heap, the caller's.  Every text that shows an
// address a user gave for a proxy goes through it.
char* RedactProxyAddress(const char* address);

// True when a no_proxy `list` sends `host`:`port` direct.  Entries are
// comma-separated, spaces around them ignored: "*" (every host), a name
// ("example.com" or ".example.com": that host and its subdomains, without
// case), an IPv4 or IPv6 address (IPv6 with or without brackets) or a
// range ("10.0.0.0/8", "fe80::/10"), each optionally with ":port".  Names
// are never resolved: a name entry never matches an address, nor an
// address entry a name.
bool HostBypassesProxy(const char* list, const char* host, int port);

// The proxy a Windows ProxyServer value names for the scheme: a plain
// "host:port" serves every scheme, "http=host:port;https=host:port"
// (separated by ';' or white space) one scheme each.  Returns 1 with `out`
// filled, 0 when none applies (direct), -1 with *failureFormat set when
// the entry for the scheme cannot be used (malformed, or only a socks
// proxy named).
int ParseSystemProxyServer(const char* server, bool isHttps, ProxyEndpoint* out, const char** failureFormat);

// True when a Windows ProxyOverride `list` sends `host`:`port` direct: entries
// separated by ';' or white space, '*' matching any characters ("*.example.com",
// "192.168.*"), an optional ":port", "<local>" matching every host name
// without a dot.  Loopback (localhost, 127.0.0.0/8, ::1) always goes direct,
// as with WinINet.
bool SystemBypassMatches(const char* list, const char* host, int port);

// The default port of a proxy address that names none.
const int32_t PROXY_DEFAULT_PORT = 1080;
const int32_t SYSTEM_PROXY_DEFAULT_PORT = 80;
