// Connections for the HTTP client: a bounded connect, TLS over it for https,
// a proxy and its tunnel where the address goes through one, a per scheme,
// host and port count of consecutive failures, and one pooled keep-alive
// connection per scheme, host, port and proxy, all of them the HttpClient's
// of the Transfer each call takes first (http_client.h).
//
// The pool is keyed by the ConnectionKey: "%s:%d" for plain HTTP (host text
// as written, case included, and the port; an IPv6 literal in brackets,
// "[::1]:8080"), "https://%s:%d" over TLS, held in CONNECTION_KEY_BYTES.  A
// host longer than HOST_NAME_MAX_BYTES is refused, never cut into another
// host's key.
// A connection through a proxy is pooled as "<ConnectionKey> via <proxy's
// display>".  The failure counts are keyed the same way by each address the
// host resolved to (the connection's failureKey, an IPv6 address in
// brackets), so every spelling of one host ("127.1", "0x7f000001",
// "LOCALHOST") shares one count.  A host of several addresses races them (IPv6 first, the
// families taking turns); each address refused or silent counts on its own,
// one at the cut-off is left out, and the host is refused when all are.
#pragma once

#include "http/http_common.h"
#include "platform/net.h"
#include "platform/tls.h"
#include "base/hash_map.h"

struct HttpClient;
struct ProxyEndpoint;
struct Transfer;

// Our own web service's domain suffix.  When a host under it cannot be
// resolved, the client connects to OWN_SERVICE_FALLBACK_ADDRESS instead; it
// is this machine, so a failed lookup of our own host never sends traffic
// elsewhere.
const char OWN_DOMAIN_SUFFIX[] = ".karvelo.example";
const char OWN_SERVICE_FALLBACK_ADDRESS[] = "127.0.0.1";

const int CONNECTION_KEY_BYTES = 8 + HOST_PORT_BYTES + 1;  // "https://", the host and port
// A pool key: the ConnectionKey and, through a proxy, " via " and its
// display (a proxy's host is no longer than any other).
const int POOL_KEY_BYTES = CONNECTION_KEY_BYTES + 5 + HOST_PORT_BYTES;
// Consecutive failures to answer after which a host and port is refused at
// once.  A failure is a connect that is refused or times out, a TLS port
// where nothing speaks TLS, or a connection on which no byte of a response
// comes within the network time-out; the count clears when the host answers
// (a response byte, or a TLS handshake).
const int CONNECT_FAILURE_LIMIT = 5;
// Idle keep-alive connections one pool keeps; opening one more closes the
// least recently used, so many hosts never exhaust the descriptors.
const int POOL_CONNECTION_LIMIT = 16;

// Forgets every failure count and every failed name of the client, so a
// host is no longer refused.  The pools are kept.
void ResetConnectFailureCounts(HttpClient* client);

// The client's count of consecutive failures under `failureKey`.
int ConnectFailureCount(HttpClient* client, const char* failureKey);
// Makes the client's counts a copy of `counts` (NewFailureCounts); the
// failed names stay.
void ReplaceConnectFailureCounts(HttpClient* client, const HashMap* counts);

// A map of failure counts of the caller's own, in the client's form
// (failure key -> count stored as the value, an absent key counting 0; it
// owns its keys), for a Transfer's failureCounts; FreeHashMap(counts, 0)
// frees it.  No lock: one thread uses it at a time.
HashMap* NewFailureCounts();
int FailureCountIn(const HashMap* counts, const char* failureKey);
void SetFailureCountIn(HashMap* counts, const char* failureKey, int count);

// What a failure-count observer is told (http_client.h).
enum FailureUse {
    FAILURE_LIMIT_PASSED,   // the count was looked at and below CONNECT_FAILURE_LIMIT
    FAILURE_LIMIT_REACHED,  // it was at the limit: the address was left out
    FAILURE_COUNTED,        // one more failure
    FAILURE_CLEARED,        // the peer answered
};

// A new connected socket with the network time-outs set, or 0 with a
// message in `error`.  A connect that times out
// or is refused counts toward CONNECT_FAILURE_LIMIT.  `failureKey` (when
// given, FAILURE_KEY_BYTES) receives the key the peer's failures count under:
// the address connected to, or after a failure the first one tried.
SocketHandle OpenConnection(Transfer* transfer, const char* host, int port, ErrorText error,
                            char* failureKey = nullptr);

// Whether the peer of `failureKey` is at CONNECT_FAILURE_LIMIT: a new
// connection to it would be refused at once.
bool FailureLimitReached(Transfer* transfer, const char* failureKey);

// After a request on `connection`: whether the host answered (any response
// byte), which clears its count, or stayed silent for the whole network
// time-out, which counts toward CONNECT_FAILURE_LIMIT like a failed connect.
void NoteHostAnswer(Transfer* transfer, const HttpConnection* connection, bool answered);
// The same for a bare socket that OpenConnection gave with `failureKey`.
void NoteAnswerForKey(Transfer* transfer, const char* failureKey, bool answered);

// A new connection of its own, over TLS when `secure` (the handshake checks
// the certificate against the system's trust store and the host name), or
// null with the message in `error` and *result (when given) saying why:
// TRANSPORT_NO_TLS when nothing answered on the TLS port (the connect was
// refused or timed out, or was not tried after CONNECT_FAILURE_LIMIT such
// failures, or the handshake met no TLS byte), TRANSPORT_CERTIFICATE or
// TRANSPORT_FAILED from the handshake; TRANSPORT_UNANSWERED or
// TRANSPORT_FAILED for a plain connection.  The caller closes it with
// CloseHttpConnection.
//
// With a `proxy` the socket goes to the proxy (its failures count under the
// proxy's address and port), and an https address is reached through the
// proxy's CONNECT tunnel, the certificate checked for `host`.  A proxy that
// cannot be reached fails with a message naming the proxy's display;
// one that answers the tunnel with anything but 200 fails with
// TRANSPORT_PROXY_REFUSED.  Nothing is ever fetched direct or in plain text
// instead.
//
// With `offerH2` a TLS handshake offers HTTP/2 as well; the connection's
// isH2 tells whether the server took it.
HttpConnection* OpenHttpConnection(Transfer* transfer, const char* host, int port, bool secure, ErrorText error,
                                   TransportResult* result, const ProxyEndpoint* proxy = nullptr, bool offerH2 = false);

// The pooled connection for scheme, host, port and proxy in the
// transfer's pool (its slot's, else the client's pool 0), or a new one
// (logged as "<key> --- new socket()") that is added to the pool; a pool
// that holds POOL_CONNECTION_LIMIT connections first closes its least
// recently used.  A pooled connection is looked at first (TransportAlive):
// one its peer has closed, reset or written to while idle is closed and
// silently replaced in its place.  Null with `error` filled, as
// OpenHttpConnection, when no connection could be opened.
HttpConnection* AcquirePooledConnection(Transfer* transfer, const char* host, int port, ErrorText error,
                                        bool secure = false, TransportResult* result = nullptr,
                                        const ProxyEndpoint* proxy = nullptr, bool offerH2 = false);

// Takes the entry for scheme, host, port and proxy out of the pool; the
// caller closes the connection.  `noted` false keeps it from the client's
// pool observer: a kept-alive connection the host closed meanwhile is
// replaced in the same place of the pool, as if it had never been dropped,
// so a replayed log does not depend on which worker held which connection.
void ReleasePooledConnection(Transfer* transfer, const char* host, int port, bool secure = false, bool noted = true,
                             const ProxyEndpoint* proxy = nullptr);

// Ends the TLS session (if any), closes the socket and frees the record.
// Null does nothing.
void CloseHttpConnection(HttpConnection* connection);

// Closes every connection in the client's pools and empties them.
void ClosePooledConnections(HttpClient* client);

// What a pool observer is told about a use of a pool key.
enum PoolUse {
    POOL_TAKEN,       // a connection was asked for (pooled or new)
    POOL_NOT_OPENED,  // the new one could not be opened
    POOL_RELEASED,    // it left the pool
};

// Tells the client's pool observer (if any) of a use of `poolKey`: for a
// download that takes no pooled connection but is logged as if it had.
void NotePoolKeyUse(Transfer* transfer, PoolUse use, const char* poolKey);

// The pool key of scheme, host, port and proxy into `key`
// (POOL_KEY_BYTES); false with the message in `error` for a host too long.
bool FormatPoolKey(const char* host, int port, bool secure, const ProxyEndpoint* proxy, char* key, ErrorText error);

// Logs "<poolKey> --- new socket()" into the transfer's log (null: app.log).
void LogNewSocket(const Transfer* transfer, const char* poolKey);

// The key of `map` whose value has the least stamp (`stampOf`): a pool's
// least recently used entry.  Copied into `oldest` (POOL_KEY_BYTES); false
// for an empty map.
bool LeastRecentKey(const HashMap* map, uint64_t (*stampOf)(const void* value), char* oldest);
