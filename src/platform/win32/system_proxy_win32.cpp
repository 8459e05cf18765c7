// The user's proxy settings through WinHTTP: the Internet options of the
// current user, and the auto-configuration script (named, or found by
// auto-detection) run for each address.  WinHTTP decides the proxy only;
// Karvelo's own client makes the connections.
#include "platform/system_proxy.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/win32/wide_path.h"
#include "base/memory.h"

struct SystemProxyResolver {
    HINTERNET session;
    wchar_t* autoConfigUrl;  // owned or null
    BOOL autoDetect;
    // Set once no script could be found or fetched: auto-detection is on
    // by default on Windows, and a network without WPAD would otherwise
    // make every connection wait for it again.
    volatile LONG noScript;
};

namespace {

// The settings are short ASCII texts; a value that does not convert counts
// as not set.  GlobalFree is WinHTTP's way to return its strings.
char* TakeWinHttpText(LPWSTR text) {
    if (text == nullptr) return nullptr;
    size_t units = std::wcslen(text);
    char* core = nullptr;
    if (units > 0 && units < 65536) {
        int size = static_cast<int>(units * 4 + 1);  // no unit gives more than four bytes
        core = static_cast<char*>(Allocate(static_cast<size_t>(size)));
        if (!CorePathFromWide(text, units, core, size)) {
            std::free(core);
            core = nullptr;
        }
    }
    GlobalFree(text);
    return core;
}

// An ASCII core text as UTF-16 on the heap (the script's address).
wchar_t* WidenAscii(const char* text) {
    size_t length = std::strlen(text);
    wchar_t* wide = static_cast<wchar_t*>(Allocate((length + 1) * sizeof(wchar_t)));
    for (size_t i = 0; i <= length; ++i) wide[i] = static_cast<unsigned char>(text[i]);
    return wide;
}

// The classic Internet options values, which the options dialog, group
// policy and many setup scripts write: WinHTTP reads only the binary
// DefaultConnectionSettings record beside them (and Wine only that), so a
// proxy set through these values alone would otherwise go unseen.
const wchar_t INTERNET_SETTINGS_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// A REG_SZ value of the key as a core text, or null.
char* ReadSettingsText(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_SZ || bytes == 0 ||
        bytes > 65536) {
        return nullptr;
    }
    DWORD units = bytes / sizeof(wchar_t);
    wchar_t* wide = static_cast<wchar_t*>(Allocate((units + 1) * sizeof(wchar_t)));
    char* core = nullptr;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(wide), &bytes) == ERROR_SUCCESS) {
        wide[std::min<DWORD>(units, bytes / sizeof(wchar_t))] = L'\0';
        size_t length = std::wcslen(wide);
        int size = static_cast<int>(length * 4 + 1);
        core = static_cast<char*>(Allocate(static_cast<size_t>(size)));
        if (length == 0 || !CorePathFromWide(wide, length, core, size)) {
            std::free(core);
            core = nullptr;
        }
    }
    std::free(wide);
    return core;
}

// ProxyServer and ProxyOverride when ProxyEnable is 1.
void ReadInternetSettingsValues(SystemProxyConfig* config) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, INTERNET_SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
    DWORD enabled = 0;
    DWORD type = 0;
    DWORD bytes = sizeof enabled;
    if (RegQueryValueExW(key, L"ProxyEnable", nullptr, &type, reinterpret_cast<BYTE*>(&enabled), &bytes) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && enabled == 1) {
        config->proxyServer = ReadSettingsText(key, L"ProxyServer");
        if (config->proxyServer != nullptr && config->proxyBypass == nullptr) {
            config->proxyBypass = ReadSettingsText(key, L"ProxyOverride");
        }
    }
    RegCloseKey(key);
}

// Running a script may fetch it, and auto-detection asks DHCP and DNS:
// bounded, so a missing WPAD server does not hold up every download.
const int AUTO_PROXY_TIMEOUT_MS = 5000;

}  // namespace

int ReadSystemProxyConfig(SystemProxyConfig* config) {
    *config = SystemProxyConfig{nullptr, nullptr, nullptr, 0};
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie = {};
    if (WinHttpGetIEProxyConfigForCurrentUser(&ie)) {
        config->proxyServer = TakeWinHttpText(ie.lpszProxy);
        config->proxyBypass = TakeWinHttpText(ie.lpszProxyBypass);
        config->autoConfigUrl = TakeWinHttpText(ie.lpszAutoConfigUrl);
        config->autoDetect = ie.fAutoDetect ? 1 : 0;
    }
    if (config->proxyServer == nullptr) ReadInternetSettingsValues(config);
    if (config->proxyServer != nullptr || config->autoConfigUrl != nullptr || config->autoDetect) return 1;
    FreeSystemProxyConfig(config);  // a bypass list alone names no proxy
    return 0;
}

void FreeSystemProxyConfig(SystemProxyConfig* config) {
    std::free(config->proxyServer);
    std::free(config->proxyBypass);
    std::free(config->autoConfigUrl);
    *config = SystemProxyConfig{nullptr, nullptr, nullptr, 0};
}

SystemProxyResolver* OpenSystemProxyResolver(const SystemProxyConfig* config) {
    if (config->autoConfigUrl == nullptr && !config->autoDetect) return nullptr;
    HINTERNET session =
        WinHttpOpen(L"Karvelo", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr) return nullptr;
    WinHttpSetTimeouts(session, AUTO_PROXY_TIMEOUT_MS, AUTO_PROXY_TIMEOUT_MS, AUTO_PROXY_TIMEOUT_MS,
                       AUTO_PROXY_TIMEOUT_MS);
    SystemProxyResolver* resolver = static_cast<SystemProxyResolver*>(Allocate(sizeof(SystemProxyResolver)));
    resolver->session = session;
    resolver->autoConfigUrl = config->autoConfigUrl != nullptr ? WidenAscii(config->autoConfigUrl) : nullptr;
    resolver->autoDetect = config->autoDetect ? TRUE : FALSE;
    resolver->noScript = 0;
    return resolver;
}

int ResolveSystemProxy(SystemProxyResolver* resolver, const char* url, char** proxyList, char** bypassList) {
    *proxyList = nullptr;
    *bypassList = nullptr;
    if (resolver == nullptr || InterlockedCompareExchange(&resolver->noScript, 0, 0) != 0) return -1;
    WidePath wideUrl(url);
    if (!wideUrl.ok) return -1;
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (resolver->autoConfigUrl != nullptr) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = resolver->autoConfigUrl;
    }
    if (resolver->autoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    // Without the user's logon first, as WinHTTP advises; with it only when
    // the script's server asks.
    options.fAutoLogonIfChallenged = FALSE;
    WINHTTP_PROXY_INFO info = {};
    BOOL ok = WinHttpGetProxyForUrl(resolver->session, wideUrl.text, &options, &info);
    if (!ok && GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE) {
        options.fAutoLogonIfChallenged = TRUE;
        ok = WinHttpGetProxyForUrl(resolver->session, wideUrl.text, &options, &info);
    }
    if (!ok) {
        DWORD error = GetLastError();
        if (error == ERROR_WINHTTP_AUTODETECTION_FAILED || error == ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT) {
            InterlockedExchange(&resolver->noScript, 1);
        }
        return -1;
    }
    char* proxy = TakeWinHttpText(info.lpszProxy);
    char* bypass = TakeWinHttpText(info.lpszProxyBypass);
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || proxy == nullptr) {
        std::free(proxy);
        std::free(bypass);
        return 0;
    }
    *proxyList = proxy;
    *bypassList = bypass;
    return 1;
}

void CloseSystemProxyResolver(SystemProxyResolver* resolver) {
    if (resolver == nullptr) return;
    WinHttpCloseHandle(resolver->session);
    std::free(resolver->autoConfigUrl);
    std::free(resolver);
}
