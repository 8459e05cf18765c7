// Sockets at the operating system's edge.
//
// The core names a socket in its own words: a SocketHandle (NO_SOCKET for
// none), closed with CloseSocket, switched with SetSocketNonBlocking, a
// failed call returning SOCKET_CALL_FAILED.  Each system supplies them: Winsock
// on Windows (platform/win32), BSD sockets on POSIX.  Connecting, sending,
// receiving and waiting go through the calls below, never the system's own.
// Core code includes this header, never a system socket header.
//
// Where the two systems really differ, the difference is settled here:
//   - A refused non-blocking connect: Linux marks the socket writable at once
//     and keeps the error in SO_ERROR; Winsock reports it only in select's
//     exception set.  AwaitConnects watches both sets; see
//     ConnectErrorAfterSelect and ConnectErrorAfterException.
//   - A send on a connection the peer has reset raises SIGPIPE on POSIX and
//     would end the process; every send passes MSG_NOSIGNAL (0 on Windows,
//     where no signal exists).
//   - Names are looked up with getaddrinfo on both (any family), which is
//     safe from several threads; the client resolves through ResolveHost.
//   - A POSIX descriptor of FD_SETSIZE or more cannot go into an fd_set
//     (FD_SET would write past it), and descriptor 0 would read as "no
//     socket"; OpenTcpSocket never hands out either.
//   - A failed socket call leaves its error in WSAGetLastError() under
//     Winsock, in errno on POSIX; errno on Windows says nothing about
//     sockets.  Core code reads it only through LastSocketError and tells
//     the cases apart only through ClassifySocketError.
#pragma once

#include <chrono>
#include <climits>
#include <cstddef>

#ifdef _WIN32

#include <winsock2.h>
// getaddrinfo, inet_pton, inet_ntop and the IPv6 socket address.
#include <ws2tcpip.h>

// Winsock raises no signal for a broken connection.
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

#else

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

#endif

#ifdef _WIN32
typedef SOCKET SocketHandle;
const SocketHandle NO_SOCKET = INVALID_SOCKET;
#else
typedef int SocketHandle;
const SocketHandle NO_SOCKET = -1;
#endif
// What a failed socket call returns on both systems (Winsock's SOCKET_ERROR).
const int SOCKET_CALL_FAILED = -1;

// Closes the socket; 0 or SOCKET_CALL_FAILED.
int CloseSocket(SocketHandle socket);
// Switches the socket to non-blocking mode, or back to blocking; 0 or
// SOCKET_CALL_FAILED.
int SetSocketNonBlocking(SocketHandle socket, bool nonBlocking);

// The bound of every wait on the network: the connect wait and the send and
// receive time-outs of each socket.
const int NETWORK_TIMEOUT_MILLISECONDS = 10000;

// What a long network wait may spend besides the network time-out: the
// caller's own check, asked between slices on the waiting thread (a
// download's deadlines and the run's stop flag, an HTTP/2 session's end).
// The budget is an argument of every wait, never the thread's hidden state.
struct WaitBudget {
    bool (*givenUp)(void* context);  // true: give up the wait now; null: never
    void* context;
};

// What the budget says now; false for a null budget or one without a check.
bool BudgetGivenUp(const WaitBudget* budget);

// WSAStartup asking for version 2.2 on Windows; nothing to do on POSIX.
// 1 on success.
int StartNetwork();
// WSACleanup on Windows; nothing on POSIX.
void StopNetwork();

// socket(family, SOCK_STREAM, IPPROTO_TCP), or NO_SOCKET.  The socket
// it returns is never 0 and can always be watched with select.
SocketHandle OpenTcpSocket(int family = AF_INET);

// The addresses a host has, in the resolver's order, IPv4 and IPv6 alike;
// each sockaddr_in or sockaddr_in6 has port 0.  Addresses past
// HOST_ADDRESS_LIMIT are left out.
const int HOST_ADDRESS_LIMIT = 16;
struct HostAddresses {
    int count;
    sockaddr_storage items[HOST_ADDRESS_LIMIT];
};

// Appends an AF_INET or AF_INET6 address (port cleared); false when the
// list is full or the family is another.
bool AddHostAddress(HostAddresses* addresses, const sockaddr* address);

// `host` read as an address literal into *address (port 0): an IPv4 address
// in any of the forms inet_addr reads ("127.1", "0x7f000001"), or an IPv6
// address without brackets ("2001:db8::1").  1 when it is one, else 0.
int ParseAddressLiteral(const char* host, sockaddr_storage* address);

// 1 when `text` is an IPv6 address literal (without brackets), else 0.
int IsIpv6Literal(const char* text);

// The addresses of `host` (a name or an address literal) into *addresses;
// 1 with at least one address, 0 when the name cannot be resolved.  Any
// thread.  A literal is read at once; a name is looked up on a helper thread
// of its own, because the system's lookup has no time-out: the caller waits
// for at most the network time-out, in slices that ask `budget` (null:
// none), and a lookup that outlives its wait finishes on its own and frees
// its record.
int ResolveHost(const char* host, HostAddresses* addresses, const WaitBudget* budget);

// The system's own lookup of a name (getaddrinfo, any family, stream
// sockets), which may block for as long as the resolver likes.  ResolveHost
// runs it on its helper thread.
int LookUpHost(const char* host, HostAddresses* addresses);

// Test seam: names are looked up with `lookup` in place of LookUpHost (null
// restores it), so a test can play a resolver that does not answer, or
// give a made-up name the addresses it needs.
typedef int (*HostLookupFn)(const char* host, HostAddresses* addresses);
void SetHostLookupForTests(HostLookupFn lookup);

// Reorders the addresses for a connection race: IPv6 first, then the
// families alternate (the resolver's order kept within each family), so a
// broken path of one family delays the other by one attempt at most.
void OrderAddressesForRace(HostAddresses* addresses);

// The address as text: dotted for IPv4, the short form for IPv6
// ("2001:db8::1"), without brackets (FormatHostPort adds them beside a
// port); the text is cut to `size` like snprintf.
void FormatAddress(const sockaddr_storage* address, char* text, size_t size);

// The size of the sockaddr_in or sockaddr_in6 that `address` holds.
int AddressLength(const sockaddr_storage* address);

// Sets the port of an AF_INET or AF_INET6 address.
void SetAddressPort(sockaddr_storage* address, int port);

// Starts (non-blocking socket) or makes (blocking) the connect of `socket`
// to `peer`, its port set: 0 or SOCKET_CALL_FAILED, LastSocketError() then
// telling (a non-blocking start under way reads as SOCKET_WOULD_BLOCK).
int ConnectSocket(SocketHandle socket, const sockaddr_storage* peer);

// What AwaitConnects gives a socket that connected; no error code is this.
const int CONNECT_SUCCEEDED = INT_MIN;

// One wait of at most `milliseconds` over `count` non-blocking connects
// under way.  For each, outcomes[i] is 0 while it is still under way,
// CONNECT_SUCCEEDED when it connected, or the error code of its failure
// (the two systems report a refusal differently; see above).  False when
// the wait itself failed.
bool AwaitConnects(const SocketHandle* sockets, int count, int milliseconds, int* outcomes);

// After select reported a non-blocking connect's socket writable: 0 when it
// is connected, else the system's error code for the failed connect (e.g.
// ECONNREFUSED on Linux).  Always 0 on Windows (see above).
int ConnectErrorAfterSelect(SocketHandle socket);

// After select reported a non-blocking connect's socket in its exception
// set (how Winsock reports a failed connect): the error code of the failed
// connect (SO_ERROR), never 0.
int ConnectErrorAfterException(SocketHandle socket);

// The error code the calling thread's last failed socket call left:
// WSAGetLastError() under Winsock, errno on POSIX.  Read it right after the
// call (a receive that returned 0 or less, a failed send), before anything
// else can overwrite it.  After a receive that returned 0 (the peer closed)
// it is whatever an earlier call left; the HTTP client's messages show it
// all the same, as they always have.
int LastSocketError();

// What a socket error code means, where the client tells cases apart.
enum SocketErrorKind {
    SOCKET_OTHER_ERROR = 0,
    SOCKET_TIMED_OUT,         // the send or receive time-out of a blocking socket ran out
    SOCKET_CONNECTION_RESET,  // the peer reset (or the system aborted) the connection
    SOCKET_WOULD_BLOCK,       // a non-blocking socket has nothing to give or take yet
};

// Classifies a LastSocketError code.  Winsock has a code of its own for
// each case (WSAETIMEDOUT, WSAECONNRESET or WSAECONNABORTED, WSAEWOULDBLOCK);
// POSIX reports a blocking socket's SO_RCVTIMEO/SO_SNDTIMEO time-out and a
// non-blocking socket that is not ready with the same EAGAIN (EWOULDBLOCK),
// so `blocking` tells which the socket was.
SocketErrorKind ClassifySocketError(int code, bool blocking);

// 127.0.0.1 at `port` (0: bind picks a free port).
sockaddr_in LoopbackAddress(int port);

// A TCP socket listening on 127.0.0.1 at `port` (0: a free port, see
// BoundPort), or NO_SOCKET.  On POSIX a port whose last connections
// linger in TIME_WAIT can be listened on again at once (SO_REUSEADDR); on
// Windows that option would let another socket take a port in use, so there
// it is not set.  For the command line's demo server and the test peers.
SocketHandle ListenOnLoopback(int port, int backlog);

// The local port a bound socket has, or 0.
int BoundPort(SocketHandle socket);

// 1 when `socket` has something to read (or its peer has closed) within
// `milliseconds` (under one second), else 0.
int WaitReadable(SocketHandle socket, int milliseconds);

// Long network waits (a connect, a receive, a TLS handshake or record, a
// name lookup) run in slices of at most NETWORK_WAIT_SLICE_MILLISECONDS.
// Between two slices the wait asks its WaitBudget, and gives up at once
// when the budget says so: a stop request or a download's deadline
// is noticed within a slice, whatever the peer does.
const int NETWORK_WAIT_SLICE_MILLISECONDS = 250;

// Milliseconds on the steady clock since `since` (at most INT_MAX): how far
// a network wait has come.
int MillisecondsSince(std::chrono::steady_clock::time_point since);

// How a sliced wait ended.
enum SocketWait {
    SOCKET_READY = 1,
    SOCKET_WAIT_TIMED_OUT = 0,  // the network time-out ran out
    SOCKET_WAIT_GIVEN_UP = -1,  // the wait's budget said to give up
    SOCKET_WAIT_FAILED = -2,    // select itself failed
    SOCKET_WOKEN = 2,           // the wait's WakeSignal was signalled (AwaitSocketOrWake)
};

// Waits until `socket` is readable (or its peer closed) or, with
// `forWrite`, writable, for at most the network time-out, in slices.  After
// a time-out or a give-up, LastSocketError() reads as a timed-out receive
// would (ClassifySocketError gives SOCKET_TIMED_OUT for a blocking socket).
// `budget` (null: none) is asked between slices.
SocketWait AwaitSocket(SocketHandle socket, bool forWrite, const WaitBudget* budget);

// A wake-up for a thread that waits on a socket: another thread signals it,
// and the wait returns at once instead of at its next slice.  Signals that
// come before the wait are kept; several count as one.  Beneath it a pair of
// sockets select can watch: on POSIX a local datagram socket pair, on
// Windows (where select watches sockets only) a UDP socket on loopback
// connected to itself.
struct WakeSignal;
// Null when the system gives no sockets for it.
WakeSignal* NewWakeSignal();
// Any thread, any time; never waits.
void SignalWake(WakeSignal* wake);
// Null does nothing.
void FreeWakeSignal(WakeSignal* wake);
// The pair beneath a WakeSignal, each end non-blocking (the same socket
// twice where one socket is both); false when none could be made.
bool OpenWakeSockets(SocketHandle* receiver, SocketHandle* sender);

// AwaitSocket that also ends, as SOCKET_WOKEN, when `wake` (null: none) is
// signalled; the signal is taken.
SocketWait AwaitSocketOrWake(SocketHandle socket, bool forWrite, WakeSignal* wake, const WaitBudget* budget);

// Leaves the error code of a timed-out receive for LastSocketError().
void SetTimedOutSocketError();

// Sends each write at once, not held back to join the next (TCP_NODELAY):
// for a protocol whose small frames answer the peer.
void SendSmallWritesAtOnce(SocketHandle socket);

// One receive of at most `room` bytes, as recv(2): the count, 0 when the
// peer closed, SOCKET_CALL_FAILED on an error (LastSocketError() tells).
int ReceiveFromSocket(SocketHandle socket, char* into, int room);

// A receive that never waits: what has arrived, as ReceiveFromSocket, or
// SOCKET_CALL_FAILED with a would-block error (SOCKET_WOULD_BLOCK when
// classified as non-blocking) when nothing has.  A reader takes what is
// there without a wait first and waits only on would-block.  POSIX:
// recv(2) with MSG_DONTWAIT, the socket's own mode untouched.  Winsock has
// no such flag for a blocking socket: there nothing is tried (no call) and
// the answer is would-block, so a Windows reader waits first as it always
// has.
int ReceiveWithoutWaiting(SocketHandle socket, char* into, int room);

// Sends all `length` bytes, however the system splits them; 1 on success, 0
// when a send fails.
int SendAll(SocketHandle socket, const char* bytes, size_t length);

// The current network time-out, NETWORK_TIMEOUT_MILLISECONDS unless a test
// shortened it.
int NetworkTimeoutMilliseconds();

// Sets SO_SNDTIMEO and SO_RCVTIMEO to the network time-out (milliseconds as
// a 4-byte integer on Windows, a timeval on POSIX).  Results are ignored: a
// socket without time-outs still works, only less boundedly.
void SetSocketTimeouts(SocketHandle socket);

// Test seam: shortens every network wait to `milliseconds` so a time-out
// test ends quickly; 0 restores NETWORK_TIMEOUT_MILLISECONDS.  Production
// code never calls it.
void SetNetworkTimeoutForTests(int milliseconds);
