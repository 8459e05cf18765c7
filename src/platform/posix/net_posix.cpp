#include "platform/net.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int CloseSocket(SocketHandle socket) { return close(socket) == 0 ? 0 : SOCKET_CALL_FAILED; }

int SetSocketNonBlocking(SocketHandle socket, bool nonBlocking) {
    int flags = fcntl(socket, F_GETFL, 0);
    if (flags == -1) return SOCKET_CALL_FAILED;
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(socket, F_SETFL, flags) == 0 ? 0 : SOCKET_CALL_FAILED;
}

int ReceiveWithoutWaiting(SocketHandle socket, char* into, int room) {
    return static_cast<int>(recv(socket, into, static_cast<size_t>(room), MSG_DONTWAIT));
}

int StartNetwork() { return 1; }

void StopNetwork() {}

namespace {

// A descriptor select can watch, close-on-exec: never 0 (which reads as "no
// socket" to the client) and below FD_SETSIZE; else closed and
// NO_SOCKET.
SocketHandle Watchable(int descriptor) {
    if (descriptor == -1) return NO_SOCKET;
    if (descriptor == 0) {
        // Standard input was closed.
        int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, 1);
        close(descriptor);
        if (moved == -1) return NO_SOCKET;
        descriptor = moved;
    }
    if (descriptor >= FD_SETSIZE) {
        close(descriptor);
        errno = EMFILE;
        return NO_SOCKET;
    }
    fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    return descriptor;
}

}  // namespace

SocketHandle OpenTcpSocket(int family) { return Watchable(::socket(family, SOCK_STREAM, IPPROTO_TCP)); }

bool OpenWakeSockets(SocketHandle* receiver, SocketHandle* sender) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) != 0) return false;
    *receiver = Watchable(pair[0]);
    *sender = Watchable(pair[1]);
    if (*receiver == NO_SOCKET || *sender == NO_SOCKET || SetSocketNonBlocking(*receiver, true) != 0 ||
        SetSocketNonBlocking(*sender, true) != 0) {
        if (*receiver != NO_SOCKET) close(*receiver);
        if (*sender != NO_SOCKET) close(*sender);
        return false;
    }
    return true;
}

int ConnectErrorAfterSelect(SocketHandle socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno != 0 ? errno : -1;
    if (error != 0) return error;
    // A connect that failed before it returned has already handed its error
    // over and left the socket unconnected, yet writable: ask for the peer.
    sockaddr_storage peer;
    socklen_t peerLength = sizeof peer;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return errno != 0 ? errno : ENOTCONN;
    return 0;
}

int ConnectErrorAfterException(SocketHandle socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno != 0 ? errno : -1;
    return error != 0 ? error : ECONNREFUSED;
}

void SetSocketTimeouts(SocketHandle socket) {
    int milliseconds = NetworkTimeoutMilliseconds();
    struct timeval wait;
    wait.tv_sec = milliseconds / 1000;
    wait.tv_usec = (milliseconds % 1000) * 1000;
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
}

int LastSocketError() { return errno; }

// What a blocking socket's SO_RCVTIMEO leaves when it runs out.
void SetTimedOutSocketError() { errno = EAGAIN; }

SocketErrorKind ClassifySocketError(int code, bool blocking) {
    if (code == EAGAIN || code == EWOULDBLOCK) return blocking ? SOCKET_TIMED_OUT : SOCKET_WOULD_BLOCK;
    if (code == EINPROGRESS) return SOCKET_WOULD_BLOCK;  // a non-blocking connect under way (WSAEWOULDBLOCK)
    if (code == ETIMEDOUT) return SOCKET_TIMED_OUT;
    if (code == ECONNRESET || code == ECONNABORTED || code == EPIPE) return SOCKET_CONNECTION_RESET;
    return SOCKET_OTHER_ERROR;
}
