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

int CloseSocket(SocketHandle socket) { return closesocket(socket); }

int SetSocketNonBlocking(SocketHandle socket, bool nonBlocking) {
    unsigned long argument = nonBlocking ? 1 : 0;
    return ioctlsocket(socket, FIONBIO, &argument);
}

int ReceiveWithoutWaiting(SocketHandle, char*, int) {
    WSASetLastError(WSAEWOULDBLOCK);
    return SOCKET_CALL_FAILED;
}

SOCKET OpenTcpSocket(int family) { return socket(family, SOCK_STREAM, IPPROTO_TCP); }

// select on Windows watches sockets only: the wake is a datagram the socket
// sends to itself on loopback.
bool OpenWakeSockets(SOCKET* receiver, SOCKET* sender) {
    SOCKET wake = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (wake == INVALID_SOCKET) return false;
    sockaddr_in address = LoopbackAddress(0);
    int length = sizeof address;
    unsigned long nonBlocking = 1;
    if (bind(wake, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(wake, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        connect(wake, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ioctlsocket(wake, FIONBIO, &nonBlocking) != 0) {
        closesocket(wake);
        return false;
    }
    *receiver = *sender = wake;
    return true;
}

// Winsock marks a socket whose non-blocking connect failed only in select's
// exception set; a socket in the write set is connected.
int ConnectErrorAfterSelect(SOCKET socket) { return 0; }

int ConnectErrorAfterException(SOCKET socket) {
    int error = 0;
    int length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        return WSAGetLastError() != 0 ? WSAGetLastError() : -1;
    }
    return error != 0 ? error : WSAECONNREFUSED;
}

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
