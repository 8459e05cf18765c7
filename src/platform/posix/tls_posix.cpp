// TLS over OpenSSL, with the trust store the system's OpenSSL is set up
// with (SSL_CERT_FILE and SSL_CERT_DIR override it).
//
// One SSL_CTX serves the whole process and is never freed: OpenSSL frees
// its own one-time state at exit, and every connection's SSL is freed by
// CloseTls.  The socket is switched to non-blocking mode for the session:
// when OpenSSL wants to read or write, the wait is the sliced AwaitSocket
// with the caller's budget, so a stop or a deadline is noticed within a
// slice even while a record trickles in.  A wait that ends without the socket ready is reported as
// the socket's time-out error, like a recv that timed out.
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
};

namespace {

const char MESSAGE_NO_TLS_ANSWER[] = "no TLS answer";

SSL_CTX* context = nullptr;
std::once_flag started;

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
    // OpenSSL writes with write(2), which has no MSG_NOSIGNAL: a peer that
    // reset the connection would end the process with SIGPIPE.  Unless the
    // program chose otherwise, the signal is ignored and the write fails.
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

// After an SSL call returned `result`: true when it only waits for the
// socket and the socket became ready in time (call again); false when it
// failed, or the wait ended first (errno then reads as a time-out).
bool WaitedFor(SSL* ssl, int result, SOCKET socket, const WaitBudget* budget) {
    int kind = SSL_get_error(ssl, result);
    if (kind != SSL_ERROR_WANT_READ && kind != SSL_ERROR_WANT_WRITE) return false;
    ERR_clear_error();
    return AwaitSocket(socket, kind == SSL_ERROR_WANT_WRITE, budget) == SOCKET_READY;
}

// After an SSL call returned `result` for good: a time-out or a socket
// error, with errno set for the caller's LastSocketError().
int FailedIo(TlsConnection* connection, int result, int savedErrno) {
    int kind = SSL_get_error(connection->ssl, result);
    ERR_clear_error();
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

TlsConnection* OpenTls(SOCKET socket, const char* host, char* errorText, size_t errorSize, TlsFailure* failure,
                       bool offerH2, const WaitBudget* budget) {
    *failure = TLS_FAILURE_OTHER;
    if (StartTls() == 0 || host == nullptr) {
        *failure = TLS_FAILURE_NO_TLS;
        std::snprintf(errorText, errorSize, FORMAT_HANDSHAKE_FAILED, host != nullptr ? host : "", "no TLS library");
        return nullptr;
    }
    SSL* ssl = SSL_new(context);
    if (ssl == nullptr || SSL_set_fd(ssl, socket) != 1) {
        char reason[256];
        TakeReason(reason, sizeof reason, "SSL_new");
        std::snprintf(errorText, errorSize, FORMAT_HANDSHAKE_FAILED, host, reason);
        SSL_free(ssl);
        return nullptr;
    }
    X509_VERIFY_PARAM* check = SSL_get0_param(ssl);
    // An address literal, in any spelling the connect reads ("127.1" too),
    // is checked as that address and gets no SNI (which names hosts only).
    sockaddr_storage literal;
    if (ParseAddressLiteral(host, &literal)) {
        if (literal.ss_family == AF_INET6) {
            X509_VERIFY_PARAM_set1_ip(check, reinterpret_cast<const unsigned char*>(
                                                 &reinterpret_cast<const sockaddr_in6*>(&literal)->sin6_addr), 16);
        } else {
            X509_VERIFY_PARAM_set1_ip(check, reinterpret_cast<const unsigned char*>(
                                                 &reinterpret_cast<const sockaddr_in*>(&literal)->sin_addr), 4);
        }
    } else {
        SSL_set_tlsext_host_name(ssl, host);
        X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl, host);
    }
    if (offerH2) {
        SSL_set_alpn_protos(ssl, TLS_H2_OFFER, sizeof TLS_H2_OFFER);
    }
    unsigned long nonBlocking = 1;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
    int result;
    int savedErrno;
    do {
        errno = 0;
        result = SSL_connect(ssl);
        savedErrno = errno;
    } while (result != 1 && WaitedFor(ssl, result, socket, budget));
    if (result != 1 && savedErrno == 0) savedErrno = errno;  // the wait's time-out
    if (result == 1) {
        TlsConnection* connection = new TlsConnection;
        connection->ssl = ssl;
        connection->failed = false;
        return connection;
    }
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
    std::snprintf(errorText, errorSize, *failure == TLS_FAILURE_CERTIFICATE ? FORMAT_CERTIFICATE_REFUSED
                                                                              : FORMAT_HANDSHAKE_FAILED,
                  host, reason);
    SSL_free(ssl);
    return nullptr;
}

int TlsSend(TlsConnection* connection, const char* bytes, int length, const WaitBudget* budget) {
    if (length <= 0) return 0;
    size_t written = 0;
    int result;
    do {
        errno = 0;
        result = SSL_write_ex(connection->ssl, bytes, static_cast<size_t>(length), &written);
    } while (result != 1 && WaitedFor(connection->ssl, result, SSL_get_fd(connection->ssl), budget));
    if (result == 1) return length;  // without partial writes, all or an error
    return FailedIo(connection, result, errno);
}

int TlsReceive(TlsConnection* connection, char* buffer, int size, const WaitBudget* budget) {
    int result;
    do {
        errno = 0;
        result = SSL_read(connection->ssl, buffer, size);
    } while (result <= 0 && WaitedFor(connection->ssl, result, SSL_get_fd(connection->ssl), budget));
    if (result > 0) return result;
    int savedErrno = errno;
    // Only the peer's close_notify is a close; an end of the socket without
    // it (SSL_ERROR_SYSCALL, or SSL_ERROR_SSL "unexpected eof") is an error.
    if (SSL_get_error(connection->ssl, result) == SSL_ERROR_ZERO_RETURN) {
        ERR_clear_error();
        return 0;
    }
    return FailedIo(connection, result, savedErrno);
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
