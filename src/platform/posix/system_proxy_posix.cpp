// POSIX systems keep no proxy settings of their own: the environment
// (http_proxy and the rest) is read by the core.
#include "platform/system_proxy.h"

int ReadSystemProxyConfig(SystemProxyConfig* config) {
    *config = SystemProxyConfig{nullptr, nullptr, nullptr, 0};
    return 0;
}

void FreeSystemProxyConfig(SystemProxyConfig* config) { *config = SystemProxyConfig{nullptr, nullptr, nullptr, 0}; }

SystemProxyResolver* OpenSystemProxyResolver(const SystemProxyConfig*) { return nullptr; }

int ResolveSystemProxy(SystemProxyResolver*, const char*, char** proxyList, char** bypassList) {
    *proxyList = nullptr;
    *bypassList = nullptr;
    return -1;
}

void CloseSystemProxyResolver(SystemProxyResolver*) {}
