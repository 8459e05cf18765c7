// No TLS on Windows yet: every handshake reports that nothing speaking TLS
// answered, so an https address is fetched over plain HTTP as before.
#include "platform/tls.h"

#include <cstdio>

int StartTls() { return 0; }

TlsConnection* OpenTls(SOCKET, const char* host, char* errorText, size_t errorSize, TlsFailure* failure) {
    *failure = TLS_FAILURE_NO_TLS;
    std::snprintf(errorText, errorSize, "TLS (%s): not available", host != nullptr ? host : "");
    return nullptr;
}

int TlsSend(TlsConnection*, const char*, int) { return -1; }

int TlsReceive(TlsConnection*, char*, int) { return -1; }

void CloseTls(TlsConnection*) {}
