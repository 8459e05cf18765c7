// TCP connections for the HTTP client: a bounded connect, a per host and
// port count of consecutive failures, and one pooled keep-alive connection
// per host and port.
//
// Both tables are keyed by the ConnectionKey "%s:%d" (host text as written,
// case included, and the port), held in CONNECTION_KEY_BYTES.  A host too
// long for the key is refused, never cut into another host's key.
#pragma once

#include "platform/net.h"
#include "util/hash_map.h"

// Our own web service's domain suffix.  When a host under it cannot be
// resolved, the client connects to OWN_SERVICE_FALLBACK_ADDRESS instead; it
// is this machine, so a failed lookup of our own host never sends traffic
// elsewhere.
const char OWN_DOMAIN_SUFFIX[] = ".karvelo.example";
const char OWN_SERVICE_FALLBACK_ADDRESS[] = "127.0.0.1";

const int CONNECTION_KEY_BYTES = 128;
// Consecutive failed connects after which a host and port is refused at once.
const int CONNECT_FAILURE_LIMIT = 5;

// ConnectionKey -> open socket, stored as the pointer-sized value.  Owns its
// keys, not the sockets.  Used by one download worker at a time.
extern HashMap* ConnectionPool;
// ConnectionKey -> count of consecutive failed connects, stored directly as
// the value; an absent key means none.  Owns its keys.  Reached by the
// download workers and the start-up thread, always under its own lock, so a
// host refused for one worker is refused for all.
extern HashMap* ConnectFailureCounts;

// Creates both tables (and the lock); later calls do nothing.  After
// StartNetwork, before anything below.
void InitHttpClient();

// Forgets every failure count, so the next run starts with no host refused.
// The pool is kept.
void ResetConnectFailureCounts();

// A new connected socket with the network time-outs set, or 0 with a
// message in `errorText` (HTTP_ERROR_TEXT_BYTES).  A connect that times out
// or is refused counts toward CONNECT_FAILURE_LIMIT; a successful
// non-blocking connect clears the count.
SOCKET OpenConnection(const char* host, int port, char* errorText);

// The pooled socket for host and port, or a new one (logged as
// "%s:%d --- new socket()") that is added to the pool.  There is no check
// that the peer still holds a pooled connection open.  0 with `errorText`
// filled when no connection could be opened.
SOCKET AcquirePooledConnection(const char* host, int port, char* errorText);

// Takes the entry for host and port out of the pool; the caller closes the
// socket.
void ReleasePooledConnection(const char* host, int port);

// Download workers each keep their own keep-alive connections.  While a
// thread uses its own pool (null: ConnectionPool again), the two calls above
// work on it, and when the thread's log is captured (CaptureLogLines) they
// note each use of a host and port there instead of logging "new socket()".
void UseThreadConnectionPool(HashMap* pool);

// Writes a download's captured lines to the log in order and frees them.
// The pool notes become "new socket()" exactly where one pool shared by all
// downloads, used in this order, would have opened a connection, so the log
// does not depend on which worker fetched what.  Run thread only.
struct Vector;
void LogCapturedLines(Vector* lines);
