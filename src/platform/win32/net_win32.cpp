#include "platform/net.h"

#include <windows.h>

#include <cstring>

int StartNetwork() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        // Started, but not the version the client is written for.
        WSACleanup();
        return 0;
    }
    return 1;
}

void StopNetwork() { WSACleanup(); }

SOCKET OpenTcpSocket() { return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

int LookUpHostIpv4(const char* host, in_addr* address) {
    if (host == nullptr || host[0] == '\0') return 0;
    // ResolveHostIpv4 reads a dotted quad itself (older Winsock does not
    // resolve one by name).
    // Winsock keeps gethostbyname's result per thread, so this is safe from
    // the worker and the start-up thread at once.
    hostent* entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
        entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
        return 0;
    }
    std::memcpy(address, entry->h_addr_list[0], sizeof(in_addr));
    return 1;
}

// Winsock marks a socket whose non-blocking connect failed only in select's
// exception set; a socket in the write set is connected.
int ConnectErrorAfterSelect(SOCKET socket) { return 0; }

void SetSocketTimeouts(SOCKET socket) {
    // Winsock takes the time-outs as a DWORD of milliseconds, not a timeval.
    DWORD milliseconds = static_cast<DWORD>(NetworkTimeoutMilliseconds());
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&milliseconds), sizeof milliseconds);
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds), sizeof milliseconds);
}

int LastSocketError() { return WSAGetLastError(); }

void SetTimedOutSocketError() { WSASetLastError(WSAETIMEDOUT); }

SocketErrorKind ClassifySocketError(int code, bool blocking) {
    if (code == WSAETIMEDOUT) return SOCKET_TIMED_OUT;
    if (code == WSAECONNRESET || code == WSAECONNABORTED) return SOCKET_CONNECTION_RESET;
    if (code == WSAEWOULDBLOCK) return SOCKET_WOULD_BLOCK;
    return SOCKET_OTHER_ERROR;
}
