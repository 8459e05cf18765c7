// TLS over Schannel (SSPI), the system's own TLS, with the Windows
// certificate store as the trust store.
//
// The certificate is checked twice: Schannel's own validation stays on (no
// SCH_CRED_MANUAL_CRED_VALIDATION), and after the handshake the chain is
// built with CertGetCertificateChain and judged by the SSL policy for the
// host name.  On Windows both give the same answer; Wine's Schannel (over
// GnuTLS) checks neither chain nor name, so there only the second guards.
//
// SCHANNEL_CRED rather than SCH_CREDENTIALS: Wine knows only the former, and
// without TLS 1.3 no post-handshake message (SEC_I_RENEGOTIATE) comes.
#include "platform/tls.h"

#define SECURITY_WIN32
#include <windows.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/charset.h"
#include "texts/texts.h"

namespace {

// Holds a whole TLS record (16 KiB of data with its header, padding and
// MAC) and then some, during the handshake and after it.
const int INCOMING_CAPACITY = 0x4000 + 0x1000;
// The content types of TLS records (the first byte of each).
const char RECORD_CHANGE_CIPHER_SPEC = 0x14;
const char RECORD_ALERT = 0x15;
const char RECORD_HANDSHAKE = 0x16;
// The longest host name the certificate check takes.
const int HOST_UNITS = 256;
// SEC_APPLICATION_PROTOCOLS (carrying TLS_H2_OFFER) with its one list of names: the list's head
// after the record's, then the names.
const size_t ALPN_LIST_AT = offsetof(SEC_APPLICATION_PROTOCOLS, ProtocolLists);
const size_t ALPN_NAMES_AT = ALPN_LIST_AT + offsetof(SEC_APPLICATION_PROTOCOL_LIST, ProtocolList);
const size_t ALPN_RECORD_SIZE = ALPN_NAMES_AT + sizeof TLS_H2_OFFER;

const ULONG CONTEXT_REQUEST = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                              ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

CredHandle credentials;

SECURITY_STATUS AcquireCredentials() {
    SCHANNEL_CRED data;
    std::memset(&data, 0, sizeof data);
    data.dwVersion = SCHANNEL_CRED_VERSION;
    // The system's protocols; no client certificate offered on its own.
    data.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_AUTO_CRED_VALIDATION;
    TimeStamp expiry;
    return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &data,
                                     nullptr, nullptr, &credentials, &expiry);
}

// The status StartTls ended with, for the text of a later failure.
SECURITY_STATUS StartStatus() {
    static const SECURITY_STATUS status = AcquireCredentials();
    return status;
}

// A refusal of the peer's certificate, as Schannel or the chain check
// reports it: never worth a plain retry.
bool IsCertificateStatus(SECURITY_STATUS status) {
    switch (status) {
        case SEC_E_UNTRUSTED_ROOT:
        case SEC_E_CERT_EXPIRED:
        case SEC_E_WRONG_PRINCIPAL:
        case SEC_E_CERT_UNKNOWN:
        case SEC_E_CERT_WRONG_USAGE:
        case CRYPT_E_REVOKED:
        case CRYPT_E_NO_REVOCATION_CHECK:
        case CRYPT_E_REVOCATION_OFFLINE: return true;
        default:
            // CERT_E_* and TRUST_E_*: the certificate facility.
            return HRESULT_FACILITY(status) == FACILITY_CERT;
    }
}

// Schannel knows ALPN from Windows 8.1 (6.3) on; on older systems the query
// of the pick fails, or the handshake with the offer (others' reports for
// Windows 7 and 8).  The true version comes from ntdll: GetVersionEx and
// VerifyVersionInfo say 6.2 to a program whose manifest names no later
// system.  Wine's Schannel has ALPN whichever Windows its prefix claims to
// be (Debian's Wine 8 claims 7), and ntdll tells Wine by wine_get_version.
bool SystemHasAlpn() {
    typedef LONG(WINAPI * GetVersionFunction)(OSVERSIONINFOW*);
    static const bool has = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (GetProcAddress(ntdll, "wine_get_version") != nullptr) return true;
        FARPROC found = GetProcAddress(ntdll, "RtlGetVersion");
        if (found == nullptr) return false;
        OSVERSIONINFOW version;
        std::memset(&version, 0, sizeof version);
        version.dwOSVersionInfoSize = sizeof version;
        if (reinterpret_cast<GetVersionFunction>(reinterpret_cast<void (*)(void)>(found))(&version) != 0) return false;
        return version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 3);
    }();
    return has;
}

// Writes the SECBUFFER_APPLICATION_PROTOCOLS record of the offer into
// `record` (ALPN_RECORD_SIZE bytes).  Field by field, because the names run
// on past the one byte the header gives the list's array.
void WriteAlpnOffer(unsigned char* record) {
    const ULONG listsSize = ALPN_RECORD_SIZE - ALPN_LIST_AT;
    const SEC_APPLICATION_PROTOCOL_NEGOTIATION_EXT kind = SecApplicationProtocolNegotiationExt_ALPN;
    const unsigned short namesSize = sizeof TLS_H2_OFFER;
    std::memcpy(record + offsetof(SEC_APPLICATION_PROTOCOLS, ProtocolListsSize), &listsSize, sizeof listsSize);
    std::memcpy(record + ALPN_LIST_AT + offsetof(SEC_APPLICATION_PROTOCOL_LIST, ProtoNegoExt), &kind, sizeof kind);
    std::memcpy(record + ALPN_LIST_AT + offsetof(SEC_APPLICATION_PROTOCOL_LIST, ProtocolListSize), &namesSize,
                sizeof namesSize);
    std::memcpy(record + ALPN_NAMES_AT, TLS_H2_OFFER, sizeof TLS_H2_OFFER);
}

// Whether the finished handshake picked "h2".  Any failure of the query
// reads as HTTP/1.1, which every server speaks.
bool PickedH2(CtxtHandle* context) {
    SecPkgContext_ApplicationProtocol picked;
    std::memset(&picked, 0, sizeof picked);
    return QueryContextAttributesW(context, SECPKG_ATTR_APPLICATION_PROTOCOL, &picked) == SEC_E_OK &&
           picked.ProtoNegoStatus == SecApplicationProtocolNegotiationStatus_Success && picked.ProtocolIdSize == 2 &&
           std::memcmp(picked.ProtocolId, "h2", 2) == 0;
}

// An IPv4 or IPv6 address literal gets no SNI (which names hosts only).
bool IsAddressLiteral(const char* host) {
    sockaddr_storage literal;
    return ParseAddressLiteral(host, &literal) != 0;
}

bool WideHost(const char* host, wchar_t* wide) {
    TextConversion converted;
    size_t length = std::strlen(host);
    if (length == 0 ||
        ConvertText(CORE_CHARSET, SYSTEM_WIDE_CHARSET, MISSING_DROP, host, length, reinterpret_cast<char*>(wide),
                    (HOST_UNITS - 1) * sizeof(wchar_t), &converted) != CONVERSION_DONE ||
        converted.missing != 0) {
        return false;
    }
    wide[converted.written / sizeof(wchar_t)] = L'\0';
    return true;
}

// Whether `certificate` lists the address literal `host` (IPv4 or IPv6)
// among its subjectAltName addresses.  Wine's SSL policy compares DNS names
// only, so an address is matched here.
bool NamesAddress(PCCERT_CONTEXT certificate, const char* host) {
    sockaddr_storage literal;
    if (!ParseAddressLiteral(host, &literal)) return false;
    const bool v6 = literal.ss_family == AF_INET6;
    const void* address = v6 ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&literal)->sin6_addr)
                             : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&literal)->sin_addr);
    const DWORD length = v6 ? 16 : 4;
    PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                                                  certificate->pCertInfo->rgExtension);
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (extension == nullptr ||
        !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
        return false;
    }
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == length &&
                std::memcmp(entry.IPAddress.pbData, address, length) == 0;
    }
    LocalFree(names);
    return found;
}

// The peer's certificate judged against the system's store for `host`
// (`wideHost` in UTF-16): SEC_E_OK, or why not (CERT_E_* from the SSL
// policy).
SECURITY_STATUS CheckCertificate(CtxtHandle* context, const char* host, wchar_t* wideHost) {
    PCCERT_CONTEXT certificate = nullptr;
    SECURITY_STATUS status = QueryContextAttributesW(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (status != SEC_E_OK) return status;
    if (certificate == nullptr) return SEC_E_CERT_UNKNOWN;

    char serverAuthentication[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuthentication};
    CERT_CHAIN_PARA chainPara;
    std::memset(&chainPara, 0, sizeof chainPara);
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    // The intermediates the server sent are in the certificate's own store.
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara, 0, nullptr,
                                 &chain)) {
        status = static_cast<SECURITY_STATUS>(HRESULT_FROM_WIN32(GetLastError()));
        CertFreeCertificateContext(certificate);
        return status != SEC_E_OK ? status : SEC_E_CERT_UNKNOWN;
    }

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    std::memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = wideHost;
    // Everything else is still the policy's to judge.
    const DWORD IGNORE_NAME = 0x00001000;  // SECURITY_FLAG_IGNORE_CERT_CN_INVALID, a <wininet.h> flag
    if (NamesAddress(certificate, host)) ssl.fdwChecks = IGNORE_NAME;
    CERT_CHAIN_POLICY_PARA policyPara;
    std::memset(&policyPara, 0, sizeof policyPara);
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS policyStatus;
    std::memset(&policyStatus, 0, sizeof policyStatus);
    policyStatus.cbSize = sizeof policyStatus;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policyStatus)) {
        status = SEC_E_CERT_UNKNOWN;
    } else {
        status = static_cast<SECURITY_STATUS>(policyStatus.dwError);
    }
    // Wine's SSL policy passes a chain that ends short of any root in the
    // store, so the chain's own verdict is read as well.  No revocation
    // check is asked for, so no revocation bit can be set.
    DWORD chainErrors = chain->TrustStatus.dwErrorStatus;
    if (status == SEC_E_OK && chainErrors != CERT_TRUST_NO_ERROR) {
        if (chainErrors & CERT_TRUST_IS_NOT_TIME_VALID) {
            status = CERT_E_EXPIRED;
        } else if (chainErrors & CERT_TRUST_IS_UNTRUSTED_ROOT) {
            status = CERT_E_UNTRUSTEDROOT;
        } else if (chainErrors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
            status = CERT_E_WRONG_USAGE;
        } else {
            status = CERT_E_CHAINING;
        }
    }
    CertFreeCertificateChain(chain);
    CertFreeCertificateContext(certificate);
    return status;
}

}  // namespace

struct TlsConnection {
    TlsIo io;  // the layer below: every byte goes through it
    CtxtHandle context;
    SecPkgContext_StreamSizes sizes;
    // Received bytes not yet decrypted (the start of a record, or several).
    char incoming[INCOMING_CAPACITY];
    int incomingLength;
    // Decrypted bytes not yet handed out: never more than one decryption
    // gives, which is never more than was received.
    char plain[INCOMING_CAPACITY];
    int plainStart;
    int plainLength;
    // One record's header, data and trailer for EncryptMessage.
    char* outgoing;
    bool closed;
    // The server picked "h2" from the ALPN offer.
    bool h2;
};

int StartTls() { return StartStatus() == SEC_E_OK ? 1 : 0; }

namespace {

// Ends a failed OpenTls: frees what there is and reports.
TlsConnection* Fail(TlsConnection* connection, bool contextMade, TlsFailure kind, TlsFailure* failure) {
    if (contextMade) DeleteSecurityContext(&connection->context);
    std::free(connection);
    *failure = kind;
    return nullptr;
}

// Sends and frees a token InitializeSecurityContext allocated; false when
// the send failed.
bool SendToken(const TlsIo& io, void* call, SecBuffer* token) {
    if (token->pvBuffer == nullptr) return true;
    bool sent = token->cbBuffer == 0 ||
                io.send(io.context, call, static_cast<const char*>(token->pvBuffer), static_cast<int>(token->cbBuffer));
    FreeContextBuffer(token->pvBuffer);
    token->pvBuffer = nullptr;
    return sent;
}

}  // namespace

TlsConnection* OpenTls(const TlsIo* io, void* call, const char* host, char* errorText, size_t errorSize,
                       TlsFailure* failure, bool offerH2) {
    *failure = TLS_FAILURE_NONE;
    if (errorSize > 0) errorText[0] = '\0';
    if (!StartTls()) {
        std::snprintf(errorText, errorSize, FORMAT_TLS_UNAVAILABLE, static_cast<unsigned long>(StartStatus()));
        *failure = TLS_FAILURE_OTHER;
        return nullptr;
    }
    wchar_t wideHost[HOST_UNITS];
    if (host == nullptr || !WideHost(host, wideHost)) {
        std::snprintf(errorText, errorSize, FORMAT_HOST_UNCONVERTIBLE, host != nullptr ? host : "");
        *failure = TLS_FAILURE_OTHER;
        return nullptr;
    }
    TlsConnection* connection = static_cast<TlsConnection*>(std::calloc(1, sizeof(TlsConnection)));
    if (connection == nullptr) {
        std::snprintf(errorText, errorSize, FORMAT_HANDSHAKE_FAILED_STATUS, host,
                      static_cast<unsigned long>(SEC_E_INSUFFICIENT_MEMORY));
        *failure = TLS_FAILURE_OTHER;
        return nullptr;
    }
    connection->io = *io;
    wchar_t* target = IsAddressLiteral(host) ? nullptr : wideHost;

    // The offer goes into the ClientHello, so only the first step takes it.
    const bool offer = offerH2 && SystemHasAlpn();
    alignas(SEC_APPLICATION_PROTOCOLS) unsigned char alpnRecord[ALPN_RECORD_SIZE];
    if (offer) WriteAlpnOffer(alpnRecord);
    SecBuffer alpn = {static_cast<ULONG>(sizeof alpnRecord), SECBUFFER_APPLICATION_PROTOCOLS, alpnRecord};
    SecBufferDesc alpnDesc = {SECBUFFER_VERSION, 1, &alpn};
    SecBuffer outToken = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &outToken};
    ULONG attributes = 0;
    SECURITY_STATUS status =
        InitializeSecurityContextW(&credentials, nullptr, target, CONTEXT_REQUEST, 0, 0, offer ? &alpnDesc : nullptr, 0,
                                   &connection->context, &outDesc, &attributes, nullptr);
    if (status != SEC_I_CONTINUE_NEEDED) {
        if (outToken.pvBuffer != nullptr) FreeContextBuffer(outToken.pvBuffer);
        std::snprintf(errorText, errorSize, FORMAT_HANDSHAKE_FAILED_STATUS, host, static_cast<unsigned long>(status));
        return Fail(connection, false, TLS_FAILURE_OTHER, failure);
    }

    bool anyReceived = false;
    bool needInput = true;
    for (;;) {
        if (!SendToken(*io, call, &outToken)) {
            std::snprintf(errorText, errorSize, FORMAT_SOCKET_FAILED, host, LastSocketError());
            return Fail(connection, true, anyReceived ? TLS_FAILURE_OTHER : TLS_FAILURE_NO_TLS, failure);
        }
        if (status == SEC_E_OK) break;
        if (needInput) {
            if (connection->incomingLength == INCOMING_CAPACITY) {
                std::snprintf(errorText, errorSize, FORMAT_HANDSHAKE_TOO_LONG, host);
                return Fail(connection, true, TLS_FAILURE_OTHER, failure);
            }
            // The layer below waits in slices, then gives what arrived.
            int got = io->receive(io->context, call, connection->incoming + connection->incomingLength,
                                  INCOMING_CAPACITY - connection->incomingLength);
            if (got <= 0) {
                // Closed, reset or timed out: nothing that speaks TLS when
                // not one byte came.
                if (got == 0) {
                    std::snprintf(errorText, errorSize, FORMAT_PEER_CLOSED, host);
                } else {
                    std::snprintf(errorText, errorSize, FORMAT_SOCKET_FAILED, host, LastSocketError());
                }
                return Fail(connection, true, anyReceived ? TLS_FAILURE_OTHER : TLS_FAILURE_NO_TLS, failure);
            }
            anyReceived = true;
            connection->incomingLength += got;
        }
        // A record starts the input; one that is neither a handshake nor an
        // alert is not TLS (a plain HTTP server's "HTTP/1.1 400"), which
        // Wine would otherwise wait on as a record of 20 KiB.
        if (connection->incoming[0] != RECORD_HANDSHAKE && connection->incoming[0] != RECORD_ALERT &&
            connection->incoming[0] != RECORD_CHANGE_CIPHER_SPEC) {
            std::snprintf(errorText, errorSize, FORMAT_NOT_TLS, host);
            return Fail(connection, true, TLS_FAILURE_OTHER, failure);
        }

        SecBuffer in[2] = {{static_cast<ULONG>(connection->incomingLength), SECBUFFER_TOKEN, connection->incoming},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
        outToken = {0, SECBUFFER_TOKEN, nullptr};
        status = InitializeSecurityContextW(&credentials, &connection->context, target, CONTEXT_REQUEST, 0, 0, &inDesc,
                                            0, nullptr, &outDesc, &attributes, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            // A record cut short: the same bytes again with more behind them.
            if (outToken.pvBuffer != nullptr) FreeContextBuffer(outToken.pvBuffer);
            outToken.pvBuffer = nullptr;
            needInput = true;
            continue;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
            // An alert for the peer may come with the failure; it goes out
            // if it can, the failure stands either way.
            SendToken(*io, call, &outToken);
            std::snprintf(
                errorText, errorSize,
                IsCertificateStatus(status) ? FORMAT_CERTIFICATE_REFUSED_STATUS : FORMAT_HANDSHAKE_FAILED_STATUS, host,
                static_cast<unsigned long>(status));
            return Fail(connection, true, IsCertificateStatus(status) ? TLS_FAILURE_CERTIFICATE : TLS_FAILURE_OTHER,
                        failure);
        }
        // What the step did not take is the next step's input (or, after
        // the last one, the first application data).
        if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
            int extra = static_cast<int>(in[1].cbBuffer);
            std::memmove(connection->incoming, connection->incoming + connection->incomingLength - extra, extra);
            connection->incomingLength = extra;
        } else {
            connection->incomingLength = 0;
        }
        needInput = connection->incomingLength == 0;
    }

    SECURITY_STATUS checked = CheckCertificate(&connection->context, host, wideHost);
    if (checked != SEC_E_OK) {
        std::snprintf(errorText, errorSize, FORMAT_CERTIFICATE_REFUSED_STATUS, host,
                      static_cast<unsigned long>(checked));
        return Fail(connection, true, TLS_FAILURE_CERTIFICATE, failure);
    }
    status = QueryContextAttributesW(&connection->context, SECPKG_ATTR_STREAM_SIZES, &connection->sizes);
    if (status == SEC_E_OK) {
        connection->outgoing = static_cast<char*>(
            std::malloc(connection->sizes.cbHeader + connection->sizes.cbMaximumMessage + connection->sizes.cbTrailer));
        if (connection->outgoing == nullptr) status = SEC_E_INSUFFICIENT_MEMORY;
    }
    if (status != SEC_E_OK) {
        std::snprintf(errorText, errorSize, FORMAT_HANDSHAKE_FAILED_STATUS, host, static_cast<unsigned long>(status));
        return Fail(connection, true, TLS_FAILURE_OTHER, failure);
    }
    connection->h2 = offer && PickedH2(&connection->context);
    return connection;
}

int TlsSend(TlsConnection* connection, void* call, const char* bytes, int length) {
    const SecPkgContext_StreamSizes& sizes = connection->sizes;
    int sent = 0;
    while (sent < length) {
        int piece = length - sent;
        if (piece > static_cast<int>(sizes.cbMaximumMessage)) piece = static_cast<int>(sizes.cbMaximumMessage);
        char* record = connection->outgoing;
        std::memcpy(record + sizes.cbHeader, bytes + sent, piece);
        SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                                {static_cast<ULONG>(piece), SECBUFFER_DATA, record + sizes.cbHeader},
                                {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + piece},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        if (EncryptMessage(&connection->context, 0, &desc, 0) != SEC_E_OK) {
            WSASetLastError(0);
            return -1;
        }
        // The trailer may come out shorter than its room.
        size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
        // The layer below blocks: the sliced wait for room first, so a peer
        // that stops reading holds a send no longer than a stop or a
        // deadline allows, as the BIO's writes do on Linux.
        const TlsIo& io = connection->io;
        if (io.await(io.context, call, true) != SOCKET_READY) return -1;
        if (!io.send(io.context, call, record, static_cast<int>(total))) return -1;
        sent += piece;
    }
    return length;
}

int TlsReceive(TlsConnection* connection, void* call, char* buffer, int size) {
    while (connection->plainLength == 0) {
        if (connection->closed) return 0;
        if (connection->incomingLength > 0) {
            SecBuffer buffers[4] = {
                {static_cast<ULONG>(connection->incomingLength), SECBUFFER_DATA, connection->incoming},
                {0, SECBUFFER_EMPTY, nullptr},
                {0, SECBUFFER_EMPTY, nullptr},
                {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
            bool alert = connection->incoming[0] == RECORD_ALERT;
            SECURITY_STATUS status = DecryptMessage(&connection->context, &desc, 0, nullptr);
            if (status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) {
                SecBuffer* extra = nullptr;
                for (SecBuffer& each : buffers) {
                    if (each.BufferType == SECBUFFER_DATA && each.cbBuffer > 0) {
                        std::memcpy(connection->plain, each.pvBuffer, each.cbBuffer);
                        connection->plainStart = 0;
                        connection->plainLength = static_cast<int>(each.cbBuffer);
                    } else if (each.BufferType == SECBUFFER_EXTRA && each.cbBuffer > 0) {
                        extra = &each;
                    }
                }
                int left = extra != nullptr ? static_cast<int>(extra->cbBuffer) : 0;
                std::memmove(connection->incoming, connection->incoming + connection->incomingLength - left, left);
                connection->incomingLength = left;
                // The peer's close_notify: what came before it is still given.
                // Windows reports it as SEC_I_CONTEXT_EXPIRED; Wine as an
                // alert record that decrypts to nothing (a fatal alert fails).
                if (status == SEC_I_CONTEXT_EXPIRED || (alert && connection->plainLength == 0)) {
                    connection->closed = true;
                }
                continue;
            }
            if (status != SEC_E_INCOMPLETE_MESSAGE) {
                WSASetLastError(0);
                return -1;
            }
        }
        if (connection->incomingLength == INCOMING_CAPACITY) {
            WSASetLastError(0);
            return -1;
        }
        // The layer below waits in slices: a wait that ran out reads as a time-out.
        int got =
            connection->io.receive(connection->io.context, call, connection->incoming + connection->incomingLength,
                                   INCOMING_CAPACITY - connection->incomingLength);
        if (got == 0) {
            // The bytes below ended without the peer's close_notify: no clean
            // close, so a body that only the close ends is not taken whole.
            WSASetLastError(0);
            return -1;
        }
        if (got < 0) return got;
        connection->incomingLength += got;
    }
    int given = connection->plainLength < size ? connection->plainLength : size;
    std::memcpy(buffer, connection->plain + connection->plainStart, given);
    connection->plainStart += given;
    connection->plainLength -= given;
    return given;
}

bool TlsNegotiatedH2(const TlsConnection* connection) { return connection->h2; }

bool TlsHasBufferedBytes(const TlsConnection* connection) {
    // Received bytes are kept only while they are not yet decrypted: the
    // start of a record at least, whose rest TlsReceive waits for itself.
    return connection->plainLength > 0 || connection->incomingLength > 0;
}

void CloseTls(TlsConnection* connection) {
    if (connection == nullptr) return;
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer control = {sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
    if (!connection->closed && ApplyControlToken(&connection->context, &controlDesc) == SEC_E_OK) {
        SecBuffer token = {0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc tokenDesc = {SECBUFFER_VERSION, 1, &token};
        ULONG attributes = 0;
        SECURITY_STATUS status =
            InitializeSecurityContextW(&credentials, &connection->context, nullptr, CONTEXT_REQUEST, 0, 0, nullptr, 0,
                                       nullptr, &tokenDesc, &attributes, nullptr);
        if (token.pvBuffer != nullptr) {
            // One send below without waiting for anything (no call, so no
            // sliced wait; the send time-out bounds it): a full or dead
            // connection only loses the close_notify.
            if (status == SEC_E_OK && token.cbBuffer > 0) {
                connection->io.send(connection->io.context, nullptr, static_cast<const char*>(token.pvBuffer),
                                    static_cast<int>(token.cbBuffer));
            }
            FreeContextBuffer(token.pvBuffer);
        }
    }
    DeleteSecurityContext(&connection->context);
    std::free(connection->outgoing);
    std::free(connection);
}
