// HTTP/2 for the image download: one connection per scheme, host, port and
// proxy (its pool key), shared by every download of the HttpClient that
// goes there, with many requests in flight on it at once.  Each client has
// a registry of its own (H2Registry): which keys speak which protocol, and
// the sessions whose reading threads run.
//
// nghttp2 does the framing, HPACK and flow control; this client decides what
// to ask for and where the answers go.  A session owns its connection and a
// thread of its own, the only one that touches nghttp2 and sends and
// receives on it: it writes each body to its file as the bytes come and
// wakes the asking thread once, when the exchange ends.  The askers only
// queue requests (and the rare cancel) for it and wait.  The session's lock
// guards the queues and what the askers read of their exchanges, and is
// never held across a network wait, nghttp2's processing or a file write,
// so whatever the server does, an asker sees its deadlines in time; a stop
// reaches the askers through the session's thread, which ends the session.
//
// Which protocol a key speaks is learnt from its first TLS handshake, which
// offers "h2" (ALPN): one thread probes while the others that want the same
// key wait for its answer, so one connection is made, not one per thread.
#pragma once

#include <chrono>
#include <cstdint>

#include "http/http_common.h"
#include "http/response_head.h"

struct H2Registry;
struct H2Session;
struct HttpClient;
struct Semaphore;
struct Transfer;

// The client's registry, with its settings' stream limit, stop flag and
// session start hook; freed after CloseH2Sessions.
H2Registry* NewH2Registry(const HttpClient* client);
void FreeH2Registry(H2Registry* registry);

// How an exchange ended.
enum H2End {
    H2_RUNNING = 0,
    H2_COMPLETE,     // the server ended the stream with END_STREAM: the response is whole
    H2_RESET,        // reset (of any code) or cut by GOAWAY or a lost connection before END_STREAM
    H2_UNPROCESSED,  // the server did not process the request (refused, after GOAWAY, never sent): ask again
};

// One request and its response.  The asking thread owns it; the session's
// thread fills it in under the session's lock (read it with ReadH2Exchange)
// and keeps its own working copy of the stream, so nothing here is written
// outside that lock.
struct H2Stream;
struct H2Exchange {
    BodySink* sink;  // where a 200 response's body goes; the asker opened it
    int status;      // the final :status, 0 until the head came
    bool headDone;
    HttpHeader header;   // content-length, content-encoding, location
    int end;             // H2End
    bool endStream;      // the server ended the stream (END_STREAM): only then is the answer whole
    uint32_t errorCode;  // the stream's or the connection's error code, when reset
    int32_t received;    // body bytes received
    bool writeFailed;    // a write to the sink failed: the stream was reset
    bool overLimit;      // more bytes than HTTP_BODY_SIZE_LIMIT or than announced: not written, stream reset
    // When the head or the last body bytes came: the network time-out counts from here.
    std::chrono::steady_clock::time_point progressAt;
    // The asker's, for the session's thread to send (kept until it ends):
    const char* authority;
    const char* target;
    // The session's:
    H2Stream* stream;    // its stream once requested, until it ends or is let go
    Semaphore* changed;  // posted once, when the exchange ends
    bool endSeen;        // the asker took that post (AwaitH2Exchange)
    H2Session* session;
    H2Exchange* next;  // the requests waiting for the session's thread to send them
};

// What FindH2Session says of a pool key.
enum H2Route {
    H2_ROUTE_SESSION,   // *session is an open session (a reference the caller releases)
    H2_ROUTE_PROBE,     // nothing is known: the caller opens a connection offering h2, then calls EndH2Probe
    H2_ROUTE_HTTP1,     // the server answered without h2: HTTP/1.1 as always
    H2_ROUTE_GIVEN_UP,  // the transfer's limit was reached while waiting for another thread's probe
};
H2Route FindH2Session(Transfer* transfer, const char* poolKey, H2Session** session);

// After H2_ROUTE_PROBE: the connection the caller opened (null: none could
// be opened, and the next asker probes again).  One that speaks h2 now
// belongs to a new session, returned with a reference for the caller; any
// other leaves the key to HTTP/1.1 and null is returned.
H2Session* EndH2Probe(Transfer* transfer, const char* poolKey, HttpConnection* connection);

void ReleaseH2Session(H2Session* session);

// Takes no new streams from now on (the next request opens a new
// connection); those in flight go on.
void RetireH2Session(H2Session* session);

// The key the failures of the session's server count under (see
// HttpClient::failureCounts).
const char* H2SessionFailureKey(const H2Session* session);

// How StartH2Exchange went.
enum H2Start { H2_STARTED, H2_SESSION_GONE, H2_START_GIVEN_UP };

// Sends GET `target` for `authority` on the session, once one of its
// stream slots is free (the client's h2Streams).  H2_SESSION_GONE when the
// session takes no new streams (GOAWAY, a lost connection): the caller asks
// FindH2Session again.  H2_START_GIVEN_UP when the transfer's limit came
// first.  Once started, the exchange is ended with EndH2Exchange.
H2Start StartH2Exchange(Transfer* transfer, H2Session* session, H2Exchange* exchange, const char* authority,
                        const char* target);

// Waits at most `milliseconds` for the exchange to end.  The session's
// thread ends it at its end, at a head that refuses the body, when the
// connection ends and at a stop, so the asker sleeps through the body.
// True when it has ended: from then on the exchange is the asker's alone,
// to read as it is.
bool AwaitH2Exchange(H2Exchange* exchange, unsigned milliseconds);
// A copy of the exchange as it stands, taken under the session's lock:
// what a wait that ran out reads.
void ReadH2Exchange(const H2Exchange* exchange, H2Exchange* copy);
// Ends the exchange: a stream still open is reset (CANCEL) and nothing more
// reaches the sink.  Frees its slot; the exchange's reference to the
// session is kept until ReleaseH2Session.
void EndH2Exchange(H2Exchange* exchange);

// Ends every session of the client (GOAWAY, then the connection closes),
// forgets which keys speak which protocol, and waits until the sessions'
// threads have ended.  Exchanges still running end as H2_RESET.
void CloseH2Sessions(HttpClient* client);
