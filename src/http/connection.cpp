#include "http/connection.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/http_client.h"
#include "http/http_common.h"
#include "http/proxy_settings.h"
#include "http/transfer.h"
#include "http/transport.h"
#include "platform/thread.h"
#include "util/app_log.h"
#include "base/memory.h"
#include "base/strings.h"
#include "texts/texts.h"

namespace {

const char MESSAGE_INVALID_SOCKET[] = "NO_SOCKET";
const char MESSAGE_BLOCKING_CONNECT_FAILED[] = "socket bio connect() failed";
const char FORMAT_NEW_SOCKET[] = "%s --- new socket()";
const char FORMAT_VIA_PROXY[] = "%s via %s";

// The ConnectionKey of scheme, host and port; false, with the message, when
// the host is too long.
bool FormatConnectionKey(const char* host, int port, bool secure, char* key, ErrorText error) {
    if (!HostNameFits(host, error)) return false;
    // An IPv6 literal keeps its brackets, so the port stays apart: "[::1]:8080".
    return FormatHostPort(key, CONNECTION_KEY_BYTES, secure ? "https://" : "", host, port) >= 0;
}

// The client's counts and failed names are under its failureLock: its
// download workers all count failures.  A transfer with counts of its own
// (Transfer::failureCounts) goes by those instead, without the lock.
int FailureCount(Transfer* transfer, const char* key) {
    if (transfer->failureCounts != nullptr) return FailureCountIn(transfer->failureCounts, key);
    return ConnectFailureCount(transfer->client, key);
}

void NoteFailureUse(Transfer* transfer, FailureUse use, const char* key) {
    const FailureCountObserver& observer = transfer->client->settings.failureObserver;
    if (observer.note != nullptr) observer.note(transfer, use, key);
}

// Whether the address of `key` is at CONNECT_FAILURE_LIMIT for the
// transfer; the observer is told either way.
bool AtFailureLimit(Transfer* transfer, const char* key) {
    const bool reached = FailureCount(transfer, key) >= CONNECT_FAILURE_LIMIT;
    NoteFailureUse(transfer, reached ? FAILURE_LIMIT_REACHED : FAILURE_LIMIT_PASSED, key);
    return reached;
}

bool NameFailed(HttpClient* client, const char* host) {
    LockMutex(client->failureLock);
    bool failed = HashMapGet(client->failedNames, host) != nullptr;
    UnlockMutex(client->failureLock);
    return failed;
}

void NoteNameFailed(HttpClient* client, const char* host) {
    HashMap* failedNames = client->failedNames;
    LockMutex(client->failureLock);
    if (HashMapGet(failedNames, host) == nullptr) HashMapAdd(failedNames, CopyString(host), failedNames);
    UnlockMutex(client->failureLock);
}

// The failure key of an address and port: the ConnectionKey's form with
// the address (dotted, or an IPv6 address in brackets) in place of the
// host's text.
void FormatFailureKey(const sockaddr_storage* address, int port, bool secure, char* key) {
    char text[INET6_ADDRSTRLEN];
    FormatAddress(address, text, sizeof text);
    FormatHostPort(key, FAILURE_KEY_BYTES, secure ? "https://" : "", text, port & 0xFFFF);
}

HashMap* CurrentPool(const Transfer* transfer) {
    return transfer->pool != nullptr ? transfer->pool : HttpClientPool(transfer->client, 0);
}

}  // namespace

// The pool key (POOL_KEY_BYTES): the ConnectionKey, and the proxy it goes
// through.  False, with the message, when the host does not fit.
bool FormatPoolKey(const char* host, int port, bool secure, const ProxyEndpoint* proxy, char* key, ErrorText error) {
    char connectionKey[CONNECTION_KEY_BYTES];
    if (!FormatConnectionKey(host, port, secure, connectionKey, error)) return false;
    int length = proxy == nullptr ? std::snprintf(key, POOL_KEY_BYTES, "%s", connectionKey)
                                  : std::snprintf(key, POOL_KEY_BYTES, FORMAT_VIA_PROXY, connectionKey, proxy->display);
    return length >= 0 && length < POOL_KEY_BYTES;
}

bool LeastRecentKey(const HashMap* map, uint64_t (*stampOf)(const void* value), char* oldest) {
    KeyList* keys = HashMapKeys(map);
    bool found = false;
    uint64_t least = 0;
    for (KeyList* at = keys; at != nullptr; at = at->next) {
        uint64_t stamp = stampOf(HashMapGet(map, at->key));
        if (!found || stamp < least) {
            found = true;
            least = stamp;
            std::snprintf(oldest, POOL_KEY_BYTES, "%s", static_cast<const char*>(at->key));
        }
    }
    FreeKeyList(keys);
    return found;
}

void LogNewSocket(const Transfer* transfer, const char* poolKey) {
    char line[POOL_KEY_BYTES + 32];
    std::snprintf(line, sizeof line, FORMAT_NEW_SOCKET, poolKey);
    TransferLog(transfer, line);
}

namespace {

uint64_t ConnectionStamp(const void* value) { return static_cast<const HttpConnection*>(value)->lastUse; }

// Before a new connection joins a full pool, its least recently used one
// is closed.
void CloseLeastRecentlyUsed(HashMap* pool) {
    char oldest[POOL_KEY_BYTES];
    if (pool->count < POOL_CONNECTION_LIMIT || !LeastRecentKey(pool, ConnectionStamp, oldest)) return;
    CloseHttpConnection(static_cast<HttpConnection*>(HashMapRemove(pool, oldest)));
}

bool ObservesPool(const Transfer* transfer) { return transfer->client->settings.poolObserver.note != nullptr; }

}  // namespace

void NotePoolKeyUse(Transfer* transfer, PoolUse use, const char* poolKey) {
    if (ObservesPool(transfer)) transfer->client->settings.poolObserver.note(transfer, use, poolKey);
}

namespace {

// How a connect on a new socket ended.
enum ConnectResult {
    CONNECT_DONE = 0,        // connected, in blocking mode
    CONNECT_FAILED,          // failed; does not count toward CONNECT_FAILURE_LIMIT
    CONNECT_FAILED_COUNTED,  // timed out or refused: counts toward CONNECT_FAILURE_LIMIT
};

// The race's bookkeeping of what went wrong, for the message, the reason
// and the counts.
struct RaceFailures {
    ConnectResult result;              // of the last failure, CONNECT_FAILED before any
    FailureKind kind;                  // the last failure's reason
    bool counted[HOST_ADDRESS_LIMIT];  // attempts whose failure counts toward CONNECT_FAILURE_LIMIT
};

// A connect that failed with `socketError`: a time-out, or else refused
// (a reset, no route: nobody takes the connection).
FailureKind ConnectFailureKind(int socketError) {
    return ClassifySocketError(socketError, /*blocking=*/true) == SOCKET_TIMED_OUT ? FAILURE_TIMED_OUT
                                                                                   : FAILURE_CONNECTION_REFUSED;
}

// Records a failure of the race: its message, result and reason.
#if defined(__GNUC__)
__attribute__((format(printf, 5, 6)))
#endif
ConnectResult
FailConnect(RaceFailures* failures, ErrorText error, ConnectResult result, FailureKind kind, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PutErrorList(error, format, arguments);
    va_end(arguments);
    failures->result = result;
    failures->kind = kind;
    return result;
}

// Resolves the host (a host under our own domain falls back to our
// address), orders its addresses for the connect race and leaves out each
// that failed too often at that port; when none is left the host is
// refused (then *unanswered is set).  A name whose lookup failed or ran out
// of time is remembered for the run and fails at once from then on, with
// the same message; a lookup cut short by a stop or a deadline says nothing
// about the name.  False with the message when there is nothing to connect
// to.
bool ChooseAddress(Transfer* transfer, const char* host, int port, bool secure, HostAddresses* addresses,
                   ErrorText error, bool* unanswered) {
    char key[CONNECTION_KEY_BYTES];
    FailureReason* reason = &transfer->reason;
    if (host == nullptr) {
        PutError(error, "%s", MESSAGE_HOST_NULL);
        SetFailureReason(reason, FAILURE_OTHER);
        return false;
    }
    if (!FormatConnectionKey(host, port, secure, key, error)) {
        SetFailureAt(reason, FAILURE_OTHER, host, port);
        return false;
    }
    HttpClient* client = transfer->client;
    bool resolved = !NameFailed(client, host) && ResolveHost(host, addresses, TransferBudget(transfer));
    if (!resolved && std::strstr(host, OWN_DOMAIN_SUFFIX) != nullptr) {
        resolved = ParseAddressLiteral(OWN_SERVICE_FALLBACK_ADDRESS, &addresses->items[0]) != 0;
        addresses->count = resolved ? 1 : 0;
    }
    if (!resolved) {
        if (!TransferGivenUp(transfer)) NoteNameFailed(client, host);
        PutError(error, FORMAT_CANNOT_RESOLVE, host);
        SetFailureAt(reason, FAILURE_NAME_NOT_FOUND, host, -1);
        return false;
    }
    OrderAddressesForRace(addresses);
    int kept = 0;
    for (int i = 0; i < addresses->count; ++i) {
        char failureKey[FAILURE_KEY_BYTES];
        FormatFailureKey(&addresses->items[i], port, secure, failureKey);
        if (!AtFailureLimit(transfer, failureKey)) addresses->items[kept++] = addresses->items[i];
    }
    addresses->count = kept;
    if (kept == 0) {
        PutError(error, FORMAT_TOO_MANY_FAILURES, key);
        SetFailureAt(reason, FAILURE_HOST_CUT_OFF, host, port);
        *unanswered = true;
        return false;
    }
    return true;
}

// How long the connect race lets one attempt go before it starts the next
// address alongside.
const int RACE_STAGGER_MILLISECONDS = 250;

// The connects of a race still under way: sockets and their addresses'
// places.
struct PendingConnects {
    SocketHandle sockets[HOST_ADDRESS_LIMIT];
    int indexes[HOST_ADDRESS_LIMIT];
    int count;
};

// Starts the connect to addresses->items[index]: a non-blocking one joins
// `pending`; where the socket cannot be made non-blocking it connects at
// once, blocking.  A connected socket is returned; NO_SOCKET when the
// attempt is under way or failed (noted in `failures` with its message).
SocketHandle StartConnect(Transfer* transfer, const HostAddresses* addresses, int index, int port,
                          PendingConnects* pending, RaceFailures* failures, ErrorText error) {
    sockaddr_storage peer = addresses->items[index];
    SetAddressPort(&peer, port);
    SocketHandle socket = OpenTcpSocket(peer.ss_family);
    if (socket == NO_SOCKET) {
        // Another family may still work; this one says nothing of the host.
        return NO_SOCKET;
    }
    int switched = SetSocketNonBlocking(socket, true);
    if (switched != 0) {
        char line[256];
        std::snprintf(line, sizeof line, FORMAT_NON_BLOCKING_UNAVAILABLE, switched);
        TransferLog(transfer, line);
    }
    int connected = ConnectSocket(socket, &peer);
    if (switched != 0) {
        if (connected != SOCKET_CALL_FAILED) return socket;
        const int blockingError = LastSocketError();
        CloseSocket(socket);
        failures->counted[index] = true;
        FailConnect(failures, error, CONNECT_FAILED_COUNTED, ConnectFailureKind(blockingError), "%s",
                    MESSAGE_BLOCKING_CONNECT_FAILED);
        return NO_SOCKET;
    }
    int socketError = connected == SOCKET_CALL_FAILED ? LastSocketError() : 0;
    if (connected == SOCKET_CALL_FAILED && ClassifySocketError(socketError, /*blocking=*/false) != SOCKET_WOULD_BLOCK) {
        // Failed before it returned (a refusal, a family without a route).
        CloseSocket(socket);
        failures->counted[index] = true;
        FailConnect(failures, error, CONNECT_FAILED_COUNTED, ConnectFailureKind(socketError), FORMAT_CONNECT_REFUSED,
                    socketError);
        return NO_SOCKET;
    }
    // Under way (or connected already): select tells which.
    pending->sockets[pending->count] = socket;
    pending->indexes[pending->count] = index;
    ++pending->count;
    return NO_SOCKET;
}

void ClosePending(PendingConnects* pending, int except) {
    for (int i = 0; i < pending->count; ++i) {
        if (i != except) CloseSocket(pending->sockets[i]);
    }
    pending->count = 0;
}

// Connects to one of the addresses (with `port`), racing them: the first
// is tried, and while no attempt has connected, the next starts when the
// last one has gone RACE_STAGGER_MILLISECONDS without connecting, or at once
// when an attempt failed.  The first to connect wins and is switched back to
// blocking mode; the others are closed.  The whole race is bounded by the
// network time-out, in slices that a stop or a deadline cuts short.  A
// connected host has not answered yet, so its failure count stays until it
// does (NoteHostAnswer).  *winner is the winning address's place;
// failures->counted tells which attempts were refused or timed out.
ConnectResult Connect(Transfer* transfer, const HostAddresses* addresses, int port, SocketHandle* connected,
                      int* winner, RaceFailures* failures, ErrorText error) {
    PendingConnects pending;
    pending.count = 0;
    failures->result = CONNECT_FAILED;
    failures->kind = FAILURE_OTHER;
    PutError(error, "%s", MESSAGE_INVALID_SOCKET);
    const auto start = std::chrono::steady_clock::now();
    const int timeout = NetworkTimeoutMilliseconds();
    auto lastStart = start;
    int next = 0;
    bool startNext = true;
    SocketHandle won = NO_SOCKET;
    int wonAt = -1;
    while (won == NO_SOCKET) {
        if (next < addresses->count && (startNext || MillisecondsSince(lastStart) >= RACE_STAGGER_MILLISECONDS)) {
            lastStart = std::chrono::steady_clock::now();
            const int before = pending.count;
            won = StartConnect(transfer, addresses, next, port, &pending, failures, error);
            if (won != NO_SOCKET) {
                wonAt = next;
                ClosePending(&pending, -1);
                break;
            }
            ++next;
            startNext = pending.count == before;  // it failed at once: the next goes now
            continue;
        }
        if (pending.count == 0) return failures->result;  // every address failed
        if (TransferGivenUp(transfer)) {
            ClosePending(&pending, -1);
            return FailConnect(failures, error, CONNECT_FAILED, FAILURE_TIMED_OUT, "%s", MESSAGE_CONNECT_TIMED_OUT);
        }
        int left = timeout - MillisecondsSince(start);
        if (left <= 0) {
            for (int i = 0; i < pending.count; ++i) failures->counted[pending.indexes[i]] = true;
            ClosePending(&pending, -1);
            return FailConnect(failures, error, CONNECT_FAILED_COUNTED, FAILURE_TIMED_OUT, "%s",
                               MESSAGE_CONNECT_TIMED_OUT);
        }
        int slice = left < NETWORK_WAIT_SLICE_MILLISECONDS ? left : NETWORK_WAIT_SLICE_MILLISECONDS;
        if (next < addresses->count) {
            int untilNext = RACE_STAGGER_MILLISECONDS - MillisecondsSince(lastStart);
            if (untilNext < slice) slice = untilNext > 0 ? untilNext : 0;
        }
        int outcomes[HOST_ADDRESS_LIMIT];
        if (!AwaitConnects(pending.sockets, pending.count, slice, outcomes)) {
            ClosePending(&pending, -1);
            return FailConnect(failures, error, CONNECT_FAILED, FAILURE_OTHER, FORMAT_SELECT_FAILED, -1);
        }
        int first = -1;
        for (int i = 0; i < pending.count && first < 0; ++i) {
            if (outcomes[i] == CONNECT_SUCCEEDED) first = i;
        }
        int kept = 0;
        for (int i = 0; i < pending.count; ++i) {
            if (i == first) continue;
            if (outcomes[i] == 0 || outcomes[i] == CONNECT_SUCCEEDED) {
                if (first >= 0) {
                    CloseSocket(pending.sockets[i]);  // lost the race
                } else {
                    pending.sockets[kept] = pending.sockets[i];
                    pending.indexes[kept++] = pending.indexes[i];
                }
                continue;
            }
            // A refused connect, reported at once: the next address goes now.
            CloseSocket(pending.sockets[i]);
            failures->counted[pending.indexes[i]] = true;
            FailConnect(failures, error, CONNECT_FAILED_COUNTED, ConnectFailureKind(outcomes[i]),
                        FORMAT_CONNECT_REFUSED, outcomes[i]);
            startNext = true;
        }
        pending.count = kept;
        if (first >= 0) {
            won = pending.sockets[first];
            wonAt = pending.indexes[first];
        }
    }
    int reset = SetSocketNonBlocking(won, false);
    if (reset != 0) {
        CloseSocket(won);
        return FailConnect(failures, error, CONNECT_FAILED, FAILURE_OTHER, FORMAT_BLOCKING_RESET_FAILED, reset);
    }
    *connected = won;
    *winner = wonAt;
    return CONNECT_DONE;
}

// A connected socket for scheme, host and port, or 0 with the message;
// *unanswered tells a connect that was refused or timed out (or not tried
// after too many of those).  Each address whose attempt was refused or timed
// out counts a failure under its own key.  `key` (FAILURE_KEY_BYTES)
// receives the failure key of the address connected to, or of the first
// one tried; empty when no address was found.  A failure records its
// reason, at host and port.
SocketHandle ConnectSocket(Transfer* transfer, const char* host, int port, bool secure, ErrorText error,
                           bool* unanswered, char* key) {
    HostAddresses addresses;
    *unanswered = false;
    key[0] = '\0';
    if (!ChooseAddress(transfer, host, port, secure, &addresses, error, unanswered)) return 0;
    FormatFailureKey(&addresses.items[0], port, secure, key);
    RaceFailures failures;
    std::memset(&failures, 0, sizeof failures);
    SocketHandle socket = 0;
    int winner = 0;
    ConnectResult result = Connect(transfer, &addresses, port, &socket, &winner, &failures, error);
    for (int i = 0; i < addresses.count; ++i) {
        if (!failures.counted[i]) continue;
        char failureKey[FAILURE_KEY_BYTES];
        FormatFailureKey(&addresses.items[i], port, secure, failureKey);
        NoteAnswerForKey(transfer, failureKey, /*answered=*/false);
    }
    if (result != CONNECT_DONE) {
        *unanswered = result == CONNECT_FAILED_COUNTED;
        SetFailureAt(&transfer->reason, failures.kind, host, port);
        return 0;
    }
    FormatFailureKey(&addresses.items[winner], port, secure, key);
    SetSocketTimeouts(socket);
    return socket;
}

}  // namespace

void ResetConnectFailureCounts(HttpClient* client) {
    LockMutex(client->failureLock);
    HashMapClear(client->failureCounts, /*freeValues=*/false);
    HashMapClear(client->failedNames, /*freeValues=*/false);
    UnlockMutex(client->failureLock);
}

int ConnectFailureCount(HttpClient* client, const char* failureKey) {
    LockMutex(client->failureLock);
    int count = FailureCountIn(client->failureCounts, failureKey);
    UnlockMutex(client->failureLock);
    return count;
}

void ReplaceConnectFailureCounts(HttpClient* client, const HashMap* counts) {
    KeyList* keys = HashMapKeys(counts);
    LockMutex(client->failureLock);
    HashMapClear(client->failureCounts, /*freeValues=*/false);
    for (KeyList* at = keys; at != nullptr; at = at->next) {
        const char* key = static_cast<const char*>(at->key);
        SetFailureCountIn(client->failureCounts, key, FailureCountIn(counts, key));
    }
    UnlockMutex(client->failureLock);
    FreeKeyList(keys);
}

HashMap* NewFailureCounts() { return NewStringHashMap(&STRING_KEYS); }

int FailureCountIn(const HashMap* counts, const char* failureKey) {
    return static_cast<int>(reinterpret_cast<intptr_t>(HashMapGet(counts, failureKey)));
}

// A count of 0 is never stored (the entry is removed instead), so a present
// key always holds a count above 0 and a lookup of 0 means "absent".  That
// tells whether the key needs a copy of its own; a present key's count is
// replaced, the map keeping its stored key.
void SetFailureCountIn(HashMap* counts, const char* failureKey, int count) {
    const bool present = FailureCountIn(counts, failureKey) != 0;
    if (count == 0) {
        if (present) HashMapRemove(counts, failureKey);
        return;
    }
    void* storedKey = present ? const_cast<char*>(failureKey) : static_cast<void*>(CopyString(failureKey));
    HashMapReplace(counts, storedKey, reinterpret_cast<void*>(static_cast<intptr_t>(count)));
}

SocketHandle OpenConnection(Transfer* transfer, const char* host, int port, ErrorText error, char* failureKey) {
    bool unanswered;
    char key[FAILURE_KEY_BYTES];
    SocketHandle socket = ConnectSocket(transfer, host, port, /*secure=*/false, error, &unanswered, key);
    if (failureKey != nullptr) std::snprintf(failureKey, FAILURE_KEY_BYTES, "%s", key);
    return socket;
}

namespace {

HttpConnection* NewHttpConnection(Transport* transport, const char* failureKey) {
    HttpConnection* connection = static_cast<HttpConnection*>(AllocateZeroed(1, sizeof(HttpConnection)));
    connection->transport = transport;
    connection->isH2 = TransportIsH2(transport);
    std::snprintf(connection->failureKey, sizeof connection->failureKey, "%s", failureKey);
    return connection;
}

// The reason of a TLS layer that did not open: a refused certificate, or
// a handshake that broke down.
void NoteTlsFailure(Transfer* transfer, TransportResult result, const char* host, int port) {
    SetFailureAt(&transfer->reason, result == TRANSPORT_CERTIFICATE ? FAILURE_CERTIFICATE_UNTRUSTED : FAILURE_OTHER,
                 host, port);
}

// The connection through `proxy`: to the proxy itself for plain HTTP (the
// request names the address), through its tunnel for https.
HttpConnection* OpenThroughProxy(Transfer* transfer, const char* host, int port, bool secure, ErrorText error,
                                 TransportResult* result, const ProxyEndpoint* proxy, bool offerH2) {
    *result = TRANSPORT_FAILED;
    bool unanswered = false;
    char key[FAILURE_KEY_BYTES];
    char reason[HTTP_ERROR_TEXT_BYTES];
    const ErrorText reasonText = {reason, sizeof reason};
    SocketHandle socket =
        ConnectSocket(transfer, proxy->host, proxy->port, /*secure=*/false, reasonText, &unanswered, key);
    if (socket == 0) {
        PutProxyUnreachable(error, proxy, reason);
        SetFailureReason(&transfer->reason, FAILURE_PROXY_UNREACHABLE, proxy->display);
        return nullptr;
    }
    Transport* transport = NewTcpTransport(socket);
    if (secure) {
        bool answered;
        transport = OpenProxyTunnel(transfer, transport, host, port, proxy, error, result, &answered);
        // The proxy's answer (or its silence for the whole time-out) is what
        // its failure count goes by; a cut-short wait says nothing.
        if (answered || (*result == TRANSPORT_UNANSWERED && !TransferGivenUp(transfer))) {
            NoteAnswerForKey(transfer, key, answered);
        }
        if (transport == nullptr) return nullptr;
        transport = OpenTlsTransport(transfer, transport, host, error, result, offerH2, proxy);
        if (transport == nullptr) {
            NoteTlsFailure(transfer, *result, host, port);
            return nullptr;
        }
    }
    *result = TRANSPORT_OPEN;
    return NewHttpConnection(transport, key);
}

}  // namespace

HttpConnection* OpenHttpConnection(Transfer* transfer, const char* host, int port, bool secure, ErrorText error,
                                   TransportResult* result, const ProxyEndpoint* proxy, bool offerH2) {
    TransportResult ignored;
    if (result == nullptr) result = &ignored;
    if (proxy != nullptr) return OpenThroughProxy(transfer, host, port, secure, error, result, proxy, offerH2);
    *result = TRANSPORT_FAILED;
    bool unanswered = false;
    char key[FAILURE_KEY_BYTES];
    SocketHandle socket = ConnectSocket(transfer, host, port, secure, error, &unanswered, key);
    if (socket == 0) {
        // Nothing answered on the TLS port: for the caller as good as no TLS.
        if (unanswered) *result = secure ? TRANSPORT_NO_TLS : TRANSPORT_UNANSWERED;
        return nullptr;
    }
    Transport* transport = NewTcpTransport(socket);
    if (secure) {
        transport = OpenTlsTransport(transfer, transport, host, error, result, offerH2);
        // A handshake is an answer; a TLS port where nothing speaks TLS
        // counts like a refused connect.
        // A stop or a deadline that cut the handshake short says nothing.
        if (transport != nullptr || (*result == TRANSPORT_NO_TLS && !TransferGivenUp(transfer))) {
            NoteAnswerForKey(transfer, key, transport != nullptr);
        }
        if (transport == nullptr) {
            NoteTlsFailure(transfer, *result, host, port);
            return nullptr;
        }
    }
    *result = TRANSPORT_OPEN;
    return NewHttpConnection(transport, key);
}

bool FailureLimitReached(Transfer* transfer, const char* failureKey) {
    return failureKey[0] != '\0' && AtFailureLimit(transfer, failureKey);
}

void NoteAnswerForKey(Transfer* transfer, const char* failureKey, bool answered) {
    if (failureKey == nullptr || failureKey[0] == '\0') return;
    NoteFailureUse(transfer, answered ? FAILURE_CLEARED : FAILURE_COUNTED, failureKey);
    HashMap* own = transfer->failureCounts;
    HttpClient* client = transfer->client;
    if (own == nullptr) LockMutex(client->failureLock);
    HashMap* counts = own != nullptr ? own : client->failureCounts;
    SetFailureCountIn(counts, failureKey, answered ? 0 : FailureCountIn(counts, failureKey) + 1);
    if (own == nullptr) UnlockMutex(client->failureLock);
}

void NoteHostAnswer(Transfer* transfer, const HttpConnection* connection, bool answered) {
    if (connection != nullptr) NoteAnswerForKey(transfer, connection->failureKey, answered);
}

HttpConnection* AcquirePooledConnection(Transfer* transfer, const char* host, int port, ErrorText error, bool secure,
                                        TransportResult* result, const ProxyEndpoint* proxy, bool offerH2) {
    if (host == nullptr) return OpenHttpConnection(transfer, host, port, secure, error, result, proxy, offerH2);
    char key[POOL_KEY_BYTES];
    if (!FormatPoolKey(host, port, secure, proxy, key, error)) {
        if (result != nullptr) *result = TRANSPORT_FAILED;
        SetFailureAt(&transfer->reason, FAILURE_OTHER, host, port);
        return nullptr;
    }
    HashMap* pool = CurrentPool(transfer);
    NotePoolKeyUse(transfer, POOL_TAKEN, key);
    HttpConnection* pooled = static_cast<HttpConnection*>(HashMapGet(pool, key));
    if (pooled != nullptr && TransportAlive(pooled->transport)) {
        pooled->lastUse = ++transfer->client->useClock;
        ++pooled->requests;
        return pooled;
    }
    if (pooled != nullptr) {
        // The peer let it go while it was idle: a new one takes its place,
        // unlogged, as after a stale connection.
        CloseHttpConnection(static_cast<HttpConnection*>(HashMapRemove(pool, key)));
    } else {
        if (!ObservesPool(transfer)) LogNewSocket(transfer, key);
        CloseLeastRecentlyUsed(pool);
    }
    HttpConnection* connection = OpenHttpConnection(transfer, host, port, secure, error, result, proxy, offerH2);
    if (connection == nullptr) {
        NotePoolKeyUse(transfer, POOL_NOT_OPENED, key);
        return nullptr;
    }
    connection->lastUse = ++transfer->client->useClock;
    connection->requests = 1;
    HashMapAdd(pool, CopyString(key), connection);  // the key's idle connection, if any, was closed above
    return connection;
}

void ReleasePooledConnection(Transfer* transfer, const char* host, int port, bool secure, bool noted,
                             const ProxyEndpoint* proxy) {
    if (host == nullptr) return;
    char key[POOL_KEY_BYTES];
    if (!FormatPoolKey(host, port, secure, proxy, key, ErrorText{nullptr, 0})) return;  // such a host is never pooled
    if (noted) NotePoolKeyUse(transfer, POOL_RELEASED, key);
    HashMapRemove(CurrentPool(transfer), key);
}

void CloseHttpConnection(HttpConnection* connection) {
    if (connection == nullptr) return;
    CloseTransport(connection->transport);
    std::free(connection);
}

void ClosePooledConnections(HttpClient* client) {
    for (int slot = 0; slot < HTTP_CLIENT_POOL_LIMIT; ++slot) {
        HashMap* pool = client->pools[slot];
        if (pool == nullptr) continue;
        KeyList* keys = HashMapKeys(pool);
        for (KeyList* key = keys; key != nullptr; key = key->next) {
            CloseHttpConnection(static_cast<HttpConnection*>(HashMapGet(pool, static_cast<const char*>(key->key))));
        }
        FreeKeyList(keys);
        HashMapClear(pool, /*freeValues=*/false);
    }
}
