// The user's system proxy settings (Windows: what the Internet options
// hold for the current user, read through WinHTTP).  POSIX systems have no
// such settings: there the environment and the command line decide
// (http/proxy_settings.h), and these functions report none.
//
// Only the decision which proxy to use goes through WinHTTP; downloads
// stay on Karvelo's own client.  Strings are in the core's form.
#pragma once

#include <cstdint>

struct SystemProxyConfig {
    char* proxyServer;    // owned or null; "host:port" or "http=host:port;https=host:port"
    char* proxyBypass;    // owned or null; entries separated by ';' or white space
    char* autoConfigUrl;  // owned or null; the address of an auto-configuration script
    int32_t autoDetect;   // 1: find the script by auto-detection (WPAD)
};

// Fills `config` and returns 1 when the system names any proxy settings,
// else returns 0 with every field null or 0.
int ReadSystemProxyConfig(SystemProxyConfig* config);
// Frees the strings and nulls them; calling it twice is harmless.
void FreeSystemProxyConfig(SystemProxyConfig* config);

// Runs the auto-configuration script of a config for one address at a
// time; usable from several threads at once.
struct SystemProxyResolver;

// A resolver for the config's script or auto-detection, or null when the
// config names neither (always null on POSIX).
SystemProxyResolver* OpenSystemProxyResolver(const SystemProxyConfig* config);
// The script's answer for `url`: 1 with *proxyList (heap; the ProxyServer
// form above) and *bypassList (heap or null), 0 for a direct connection, or
// -1 when there is no answer (no script found, a script that fails), when
// the static settings apply.  A script that cannot be found or fetched is
// not looked for again by the same resolver.
int ResolveSystemProxy(SystemProxyResolver* resolver, const char* url, char** proxyList, char** bypassList);
// Null is harmless.
void CloseSystemProxyResolver(SystemProxyResolver* resolver);
