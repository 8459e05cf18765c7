// What the image download, the chunked decoder and the text fetch share:
// the fixed sizes, the request text, the connection with its one send and
// one receive, and the body sink.
#pragma once

#include <cstdint>
#include <cstdio>

#include "http/http_limits.h"
#include "http/transport.h"
#include "http/url.h"
#include "platform/net.h"
#include "platform/sha256.h"
#include "platform/tls.h"
#include "texts/texts.h"

// One connection of the client: the top of its transport stack (TCP, a
// proxy tunnel, TLS).  Every byte sent or received goes through SendBytes
// and ReceiveSome, so the readers above never ask which layers it has.
// Room for the key the failure count of a connection's peer goes under:
// "https://" and the address and port, an IPv6 address in brackets
// ("https://[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535", or the longer
// mixed form inet_ntop may write).
const int FAILURE_KEY_BYTES = 72;

struct HttpConnection {
    Transport* transport;
    uint64_t lastUse;   // when its pool last handed it out; the least recent is closed first
    uint32_t requests;  // how often a pool handed it out: above 1, it served a request before
    // The peer's address, port and scheme that its failures count under (see
    // HttpClient::failureCounts), the proxy's when it goes through one; empty:
    // not counted.
    char failureKey[FAILURE_KEY_BYTES];
    bool isH2;  // TLS settled on HTTP/2: the connection belongs to an HTTP/2 session, not a pool
};

// The largest body the client accepts ("10M" in the messages).
const uint32_t HTTP_BODY_SIZE_LIMIT = 10485760;
// The Host line is assembled in HOST_LINE_BYTES, terminator included (the
// request's own room is REQUEST_TEXT_BYTES, in http_limits.h).
const int HOST_LINE_BYTES = 8 + HOST_PORT_BYTES + 1;  // "\r\nHost: " and the authority

// False, with FORMAT_HOST_TOO_LONG in `error`, for a host longer than
// HOST_NAME_MAX_BYTES: refused whole, so no key or line ever holds a host
// cut into another.
bool HostNameFits(const char* host, ErrorText error);

// The first two body bytes, which decide whether the body is an image.
// Bytes not captured read as 0.
struct ImageSignature {
    unsigned char bytes[2];
    int32_t captured;  // 0, 1 or 2
};

// Where body bytes go: the target file, with the signature taken on the way.
// The running SHA-256 of what a download wrote and how many bytes, when its
// caller asks for it (Transfer::bodyHash): identical images are told apart
// by it without reading the file back.  Each attempt that empties the file
// starts it again.  A hasher that failed is freed and left null.
struct BodyHash {
    Sha256Hasher* hasher;
    long long bytes;
};

struct BodySink {
    FILE* file;
    ImageSignature signature;
    BodyHash* hash;  // null: not hashed
};

// Copies the first still missing signature bytes from `bytes`.
void CaptureSignature(ImageSignature* signature, const char* bytes, int count);

// Captures the signature, then writes the block in one write (and hashes it).  False when
// the write failed.  Writing nothing always succeeds.
bool WriteToSink(BodySink* sink, const char* bytes, int count);

// Sends all `length` bytes on the connection; false when a send failed.
struct Transfer;
bool SendBytes(Transfer* transfer, HttpConnection* connection, const char* bytes, int length);

// Builds the GET request for `parts` into `request` (REQUEST_TEXT_BYTES):
// HTTP/1.1 with "Connection: keep-alive" when `keepAlive`, else HTTP/1.0
// with "Connection: close".  The Host line (an IPv6 literal in brackets)
// names the port unless it is the scheme's own (80, or 443 for https).  A space in the path goes out as "%20".  Returns
// its length, or 0 with a message in `error`
// when the host is too long (HostNameFits), when the request or its Host
// line would not fit, or when host or path hold
// a control character (MESSAGE_URL_CONTROL_CHARACTER); nothing is ever cut
// short, split or sent half.
//
// With a `proxy`, a plain http address is asked for in absolute form ("GET
// http://host[:port]/path"), with "Proxy-Authorization" when the proxy has
// credentials; an https address's request is the origin's, as it goes
// through a tunnel.
struct ProxyEndpoint;
int BuildGetRequest(const UrlParts* parts, bool keepAlive, char* request, ErrorText error,
                    const ProxyEndpoint* proxy = nullptr);

// The pieces of an HTTP/2 request for `parts`: the target (the path, a
// space as "%20") into `target` (REQUEST_TEXT_BYTES) and the authority, the
// Host line's value, into `authority` (HOST_LINE_BYTES), refused as
// BuildGetRequest refuses them.  False with the message in `error`.
bool BuildRequestFields(const UrlParts* parts, char* target, char* authority, ErrorText error);

// The User-Agent every request sends.
const char* RequestUserAgent();

// One receive of at most `room` bytes into `into`: the count received, or
// 0 when the peer closed, or less when the receive failed (or its time-out
// ran out, or the transfer's budget gave up: then it reads as a
// time-out).  On 0 or less, *socketError is LastSocketError() taken at once,
// for the messages that show it.  The wait runs in slices (AwaitSocket), and
// the bytes count toward the download's average rate.
int ReceiveSome(Transfer* transfer, HttpConnection* connection, char* into, int room, int* socketError);

// The received bytes shown in a wrong-status message: at most this many.
const int STATUS_EXCERPT_BYTES = 256;
