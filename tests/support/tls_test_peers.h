// The TLS servers that tools/tls-test-peers.sh starts beside a Windows test
// run (Wine cannot start a Linux server itself): their ports, and their
// authority trusted in the machine's root store of the Wine prefix, as an
// administrator would trust one.
#pragma once

#include <gtest/gtest.h>

// TLS_PEER_H2 has the good certificate and picks "h2" by ALPN when offered
// (its answer to "GET /alpn" tells what it picked), but speaks HTTP/1.1.
enum TlsTestPeer {
    TLS_PEER_GOOD,
    TLS_PEER_WRONG_NAME,
    TLS_PEER_EXPIRED,
    TLS_PEER_UNTRUSTED,
    TLS_PEER_H2,
    TLS_PEER_COUNT
};

// Reads KARVELO_TLS_TEST_PORTS into `ports` and adds the authority of
// KARVELO_TLS_TEST_CA to the root store.  False outside tls-test-peers.sh
// or off Windows.
bool TrustTlsTestPeers(int ports[TLS_PEER_COUNT]);

// Takes the authority out of the root store again.  Safe without a trust.
void ForgetTlsTestPeers();

// Trusts the peers for a scope (one test): `held` says whether it could.
struct TlsTestPeersTrust {
    explicit TlsTestPeersTrust(int ports[TLS_PEER_COUNT]) : held(TrustTlsTestPeers(ports)) {}
    ~TlsTestPeersTrust() { ForgetTlsTestPeers(); }
    TlsTestPeersTrust(const TlsTestPeersTrust&) = delete;
    TlsTestPeersTrust& operator=(const TlsTestPeersTrust&) = delete;
    const bool held;
};

// A suite that talks to the peers: trusts them for the suite's time.
class TlsTestPeersSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { trusted = TrustTlsTestPeers(ports); }
    static void TearDownTestSuite() {
        ForgetTlsTestPeers();
        trusted = false;
    }
    static inline int ports[TLS_PEER_COUNT] = {};
    static inline bool trusted = false;
};
