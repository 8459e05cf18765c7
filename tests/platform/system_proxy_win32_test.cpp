// The user's proxy as Karvelo.exe reads it: the Internet options values in
// the current user's registry, through the proxy decision the downloads
// ask.  Runs under Wine with the test prefix's own registry.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "http/proxy_settings.h"

namespace {

const wchar_t SETTINGS_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

struct RegistryRow {
    const char* name;
    DWORD enable;           // ProxyEnable
    const wchar_t* server;  // ProxyServer, null: not set
    const wchar_t* bypass;  // ProxyOverride, null: not set
    bool https;
    const char* host;
    const char* expected;  // "host:port" of the proxy, "" direct, "!" the settings are refused
};

// Sets or removes the three values, and removes them again at the end.
class InternetSettings {
public:
    InternetSettings() {
        RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    }
    ~InternetSettings() {
        Clear();
        RegCloseKey(key_);
    }
    void Set(DWORD enable, const wchar_t* server, const wchar_t* bypass) {
        Clear();
        RegSetValueExW(key_, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof enable);
        SetText(L"ProxyServer", server);
        SetText(L"ProxyOverride", bypass);
    }

private:
    void SetText(const wchar_t* name, const wchar_t* text) {
        if (text == nullptr) return;
        RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
    }
    void Clear() {
        for (const wchar_t* name : {L"ProxyEnable", L"ProxyServer", L"ProxyOverride"}) RegDeleteValueW(key_, name);
    }
    HKEY key_ = nullptr;
};

TEST(SystemProxy, InternetOptionsValuesDecideTheProxy) {
    const RegistryRow rows[] = {
        {"one proxy for every scheme", 1, L"192.0.2.7:3128", nullptr, false, "img.example.com", "192.0.2.7:3128"},
        {"the same for https", 1, L"192.0.2.7:3128", nullptr, true, "img.example.com", "192.0.2.7:3128"},
        {"per-scheme entries, http", 1, L"http=192.0.2.7:8080;https=192.0.2.8:8443", nullptr, false, "a.example",
         "192.0.2.7:8080"},
        {"per-scheme entries, https", 1, L"http=192.0.2.7:8080;https=192.0.2.8:8443", nullptr, true, "a.example",
         "192.0.2.8:8443"},
        {"no port: 80", 1, L"proxy.corp.example", nullptr, false, "a.example", "proxy.corp.example:80"},
        {"turned off", 0, L"192.0.2.7:3128", nullptr, false, "img.example.com", ""},
        {"<local> sends a dotless name direct", 1, L"192.0.2.7:3128", L"<local>", false, "imagehost", ""},
        {"<local> keeps dotted names on the proxy", 1, L"192.0.2.7:3128", L"<local>", false, "img.example.com",
         "192.0.2.7:3128"},
        {"wildcard bypass", 1, L"192.0.2.7:3128", L"*.shop.example;<local>", true, "cdn.shop.example", ""},
        {"loopback always direct", 1, L"192.0.2.7:3128", nullptr, false, "127.0.0.1", ""},
        {"only a socks proxy named", 1, L"socks=192.0.2.7:1080", nullptr, false, "a.example", "!"},
    };
    InternetSettings registry;
    for (const RegistryRow& row : rows) {
        SCOPED_TRACE(row.name);
        registry.Set(row.enable, row.server, row.bypass);
        ProxySettings settings;
        char* failure = nullptr;
        int read = ReadSystemProxySettings(&settings, &failure);
        if (std::string(row.expected) == "!") {
            EXPECT_EQ(0, read);
            ASSERT_NE(nullptr, failure);
            std::free(failure);
            continue;
        }
        ASSERT_EQ(1, read) << (failure != nullptr ? failure : "");
        ProxyEndpoint chosen;
        int proxied = ChooseProxy(&settings, row.https, row.host, row.https ? 443 : 80, &chosen);
        EXPECT_EQ(row.expected, proxied ? std::string(chosen.display) : std::string());
        FreeProxyEndpoint(&chosen);
        FreeProxySettings(&settings);
    }
}

}  // namespace

#endif  // _WIN32
