// TLS over OpenSSL, with the trust store the system's OpenSSL is set up
// with (SSL_CERT_FILE and SSL_CERT_DIR override it).
//
// One SSL_CTX serves the whole process and is never freed: OpenSSL frees
// its own one-time state at exit, and every connection's SSL is freed by
// CloseTls.  OpenSSL reads and writes through a BIO of our own whose read
// and write are the TlsIo's receive and send, with the call at hand: the
// layer below waits in slices that ask the caller's budget, so a stop or a
// deadline is noticed within a slice even while a record trickles in, and
// the bytes go straight between OpenSSL's buffers and the layer below.  A
// wait that ends without bytes reads as a retry to OpenSSL (a time-out, as
// a non-blocking socket's would), never as a broken session.
#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include "texts/texts.h"

struct TlsConnection {
    SSL* ssl;
    bool failed;  // after a fatal error OpenSSL must not be asked to shut down
    TlsIo io;
    void* call;   // the running TLS call's argument, for the BIO
    int ioError;  // LastSocketError() of the last receive or send below that failed
};

namespace {

const char MESSAGE_NO_TLS_ANSWER[] = "no TLS answer";

SSL_CTX* context = nullptr;
BIO_METHOD* layerBio = nullptr;
std::once_flag started;

// The BIO's read: one receive of the layer below.  A wait that ran out is
// a retry, so the call ends as WANT_READ with the time-out's error.
int LayerRead(BIO* bio, char* into, int room) {
    TlsConnection* connection = static_cast<TlsConnection*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const int got = connection->io.receive(connection->io.context, connection->call, into, room);
    if (got < 0) {
        connection->ioError = LastSocketError();
        if (ClassifySocketError(connection->ioError, true) == SOCKET_TIMED_OUT) BIO_set_retry_read(bio);
    } else if (got == 0) {
        connection->ioError = 0;
    }
    return got;
}

// The BIO's write: all of it after the sliced wait for room, so a peer
// that stops reading holds a send no longer than the budget allows.
// CloseTls's close_notify has no call and no wait: the send time-out
// bounds it.
int LayerWrite(BIO* bio, const char* bytes, int length) {
    TlsConnection* connection = static_cast<TlsConnection*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const TlsIo& io = connection->io;
    if (connection->call != nullptr && io.await(io.context, connection->call, true) != SOCKET_READY) {
        // As a time-out of a non-blocking socket: WANT_WRITE, not a broken session.
        connection->ioError = LastSocketError();
        BIO_set_retry_write(bio);
        return -1;
    }
    if (!io.send(io.context, connection->call, bytes, length)) {
        connection->ioError = LastSocketError();
        return -1;
    }
    return length;
}

long LayerControl(BIO*, int command, long, void*) {
    // Writes go out at once, so a flush has nothing left to do.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int LayerCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

void Start() {
    SSL_CTX* made = SSL_CTX_new(TLS_client_method());
    if (made == nullptr) return;
    SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
    SSL_CTX_set_verify(made, SSL_VERIFY_PEER, nullptr);
    // A missing store is no error here: every handshake then fails its
    // verification, which is the right outcome.
    SSL_CTX_set_default_verify_paths(made);
    // No SSL_OP_IGNORE_UNEXPECTED_EOF: a peer that closes without
    // close_notify must not read as a clean close, or a body that only the
    // close ends would be taken whole when cut off mid-record.
    SSL_CTX_set_mode(made, SSL_MODE_AUTO_RETRY);
    BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "karvelo layer");
    if (method == nullptr || BIO_meth_set_read(method, LayerRead) != 1 || BIO_meth_set_write(method, LayerWrite) != 1 ||
        BIO_meth_set_ctrl(method, LayerControl) != 1 || BIO_meth_set_create(method, LayerCreate) != 1) {
        BIO_meth_free(method);
        SSL_CTX_free(made);
        return;
    }
    layerBio = method;
    // The session's own writes go below with MSG_NOSIGNAL, but the process
    // has always run with SIGPIPE ignored once TLS started (a write to a
    // peer or pipe that went away fails instead of ending the process), and
    // keeps it: unless the program chose otherwise, the signal is ignored.
    struct sigaction current;
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) signal(SIGPIPE, SIG_IGN);
    context = made;
}

// The first reason OpenSSL queued for this thread, or `fallback`; clears
// the queue so the next connection starts clean.
void TakeReason(char* into, size_t size, const char* fallback) {
    unsigned long code = ERR_get_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    std::snprintf(into, size, "%s", reason != nullptr ? reason : fallback);
    ERR_clear_error();
}

// After an SSL call returned `result` for good: a time-out or an error
// below, with errno set for the caller's LastSocketError().
int FailedIo(TlsConnection* connection, int result) {
    int kind = SSL_get_error(connection->ssl, result);
    ERR_clear_error();
    const int savedErrno = connection->ioError;
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
        errno = savedErrno != 0 ? savedErrno : EAGAIN;
    } else if (kind == SSL_ERROR_SYSCALL) {
        connection->failed = true;
        errno = savedErrno;
    } else {
        connection->failed = true;
        errno = 0;  // a TLS error, not the socket's
    }
    return -1;
}

}  // namespace

int StartTls() {
    std::call_once(started, Start);
    return context != nullptr ? 1 : 0;
}

TlsConnection* OpenTls(const TlsIo* io, void* call, const char* host, char* errorText, size_t errorSize,
                       TlsFailure* failure, bool offerH2) {
    *failure = TLS_FAILURE_OTHER;
    if (StartTls() == 0 || host == nullptr) {
        *failure = TLS_FAILURE_NO_TLS;
        std::snprintf(errorText, errorSize, FORMAT_HANDSHAKE_FAILED, host != nullptr ? host : "", "no TLS library");
        return nullptr;
    }
    SSL* ssl = SSL_new(context);
    BIO* below = ssl != nullptr ? BIO_new(layerBio) : nullptr;
    if (below == nullptr) {
        char reason[256];
        TakeReason(reason, sizeof reason, "SSL_new");
        std::snprintf(errorText, errorSize, FORMAT_HANDSHAKE_FAILED, host, reason);
        SSL_free(ssl);
        return nullptr;
    }
    TlsConnection* connection = new TlsConnection;
    connection->ssl = ssl;
    connection->failed = false;
    connection->io = *io;
    connection->call = call;
    connection->ioError = 0;
    BIO_set_data(below, connection);
    SSL_set_bio(ssl, below, below);
    X509_VERIFY_PARAM* check = SSL_get0_param(ssl);
    // An address literal, in any spelling the connect reads ("127.1" too),
    // is checked as that address and gets no SNI (which names hosts only).
    sockaddr_storage literal;
    if (ParseAddressLiteral(host, &literal)) {
        if (literal.ss_family == AF_INET6) {
            X509_VERIFY_PARAM_set1_ip(
                check,
                reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in6*>(&literal)->sin6_addr),
                16);
        } else {
            X509_VERIFY_PARAM_set1_ip(
                check,
                reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(&literal)->sin_addr), 4);
        }
    } else {
        SSL_set_tlsext_host_name(ssl, host);
        X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl, host);
    }
    if (offerH2) {
        SSL_set_alpn_protos(ssl, TLS_H2_OFFER, sizeof TLS_H2_OFFER);
    }
    // The BIO's receive waits itself: one call runs the whole handshake,
    // or ends with the wait that ran out.
    const int result = SSL_connect(ssl);
    connection->call = nullptr;
    const int savedErrno = connection->ioError;
    if (result == 1) return connection;
    char reason[256];
    long verified = SSL_get_verify_result(ssl);
    if (verified != X509_V_OK) {
        *failure = TLS_FAILURE_CERTIFICATE;
        std::snprintf(reason, sizeof reason, "%s", X509_verify_cert_error_string(verified));
        ERR_clear_error();
    } else if (BIO_number_read(SSL_get_rbio(ssl)) == 0) {
        // Closed, reset or silent before a single byte came back.
        *failure = TLS_FAILURE_NO_TLS;
        std::snprintf(reason, sizeof reason, "%s (errno %d)", MESSAGE_NO_TLS_ANSWER, savedErrno);
        ERR_clear_error();
    } else {
        TakeReason(reason, sizeof reason, savedErrno != 0 ? std::strerror(savedErrno) : "handshake");
    }
    std::snprintf(errorText, errorSize,
                  *failure == TLS_FAILURE_CERTIFICATE ? FORMAT_CERTIFICATE_REFUSED : FORMAT_HANDSHAKE_FAILED, host,
                  reason);
    SSL_free(ssl);
    delete connection;
    return nullptr;
}

int TlsSend(TlsConnection* connection, void* call, const char* bytes, int length) {
    if (length <= 0) return 0;
    size_t written = 0;
    connection->call = call;
    connection->ioError = 0;
    const int result = SSL_write_ex(connection->ssl, bytes, static_cast<size_t>(length), &written);
    connection->call = nullptr;
    if (result == 1) return length;  // without partial writes, all or an error
    return FailedIo(connection, result);
}

int TlsReceive(TlsConnection* connection, void* call, char* buffer, int size) {
    connection->call = call;
    connection->ioError = 0;
    const int result = SSL_read(connection->ssl, buffer, size);
    connection->call = nullptr;
    if (result > 0) return result;
    // Only the peer's close_notify is a close; an end of the socket without
    // it (SSL_ERROR_SYSCALL, or SSL_ERROR_SSL "unexpected eof") is an error.
    if (SSL_get_error(connection->ssl, result) == SSL_ERROR_ZERO_RETURN) {
        ERR_clear_error();
        return 0;
    }
    return FailedIo(connection, result);
}

bool TlsNegotiatedH2(const TlsConnection* connection) {
    const unsigned char* name = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(connection->ssl, &name, &length);
    return length == 2 && std::memcmp(name, "h2", 2) == 0;
}

bool TlsHasBufferedBytes(const TlsConnection* connection) {
    // Without read-ahead OpenSSL reads no further than the record it
    // decrypts, so what it holds is that record's rest.
    return SSL_pending(connection->ssl) > 0 || SSL_has_pending(connection->ssl) != 0;
}

void CloseTls(TlsConnection* connection) {
    if (connection == nullptr) return;
    if (!connection->failed && (SSL_get_shutdown(connection->ssl) & SSL_SENT_SHUTDOWN) == 0) {
        // One try, no wait for the peer's answer; the socket's send
        // time-out bounds it.
        SSL_shutdown(connection->ssl);
    }
    ERR_clear_error();
    SSL_free(connection->ssl);
    delete connection;
}
