// A certificate authority of the tests' own, made once per process with the
// openssl command line, and the server certificates it issues: one for
// 127.0.0.1 and ::1 (IP addresses in subjectAltName, so no name is looked
// up), "localhost" and the longest name DNS allows (HostNameOfLength(253)),
// one for another name only, and one for 127.0.0.1 that expired in 2020.
#pragma once

#include <string>

const char OPENSSL_PROGRAM[] = "/usr/bin/openssl";

struct ServerCertificate {
    std::string certificate;  // PEM files
    std::string key;
};

struct TestCertificates {
    std::string authority;  // the authority's certificate (PEM), what SSL_CERT_FILE names
    ServerCertificate loopback;
    ServerCertificate otherName;
    ServerCertificate expired;
};

// Made on the first call; null (with *error saying why) when openssl is
// missing or failed.
const TestCertificates* TestCertificatesMade(std::string* error);

// Points SSL_CERT_FILE at the tests' authority, for this process (before its
// first TLS connection: the trust store is read once) and for the children
// it starts.  False when the certificates cannot be made.
bool TrustTestAuthority(std::string* error);
