#include "support/tls_test_peers.h"

#ifdef _WIN32

#include <windows.h>
#include <wincrypt.h>

#include <cstdlib>
#include <sstream>

namespace {
PCCERT_CONTEXT trusted = nullptr;
}

bool TrustTlsTestPeers(int ports[TLS_PEER_COUNT]) {
    const char* authority = std::getenv("KARVELO_TLS_TEST_CA");
    const char* listed = std::getenv("KARVELO_TLS_TEST_PORTS");
    if (authority == nullptr || listed == nullptr) return false;
    std::istringstream in(listed);
    for (int i = 0; i < TLS_PEER_COUNT; ++i) in >> ports[i];
    if (trusted != nullptr) return true;
    BYTE der[4096];
    DWORD length = sizeof der;
    // The machine's registry root store: Wine's "ROOT" system store takes
    // an added certificate into a copy in memory that chains never see.
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (root == nullptr) return false;
    if (CryptStringToBinaryA(authority, 0, CRYPT_STRING_BASE64, der, &length, nullptr, nullptr)) {
        CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der, length, CERT_STORE_ADD_REPLACE_EXISTING,
                                         &trusted);
    }
    CertCloseStore(root, 0);
    return trusted != nullptr;
}

void ForgetTlsTestPeers() {
    if (trusted != nullptr) CertDeleteCertificateFromStore(trusted);
    trusted = nullptr;
}

#else

bool TrustTlsTestPeers(int*) { return false; }
void ForgetTlsTestPeers() {}

#endif
