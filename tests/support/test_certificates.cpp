#include "support/test_certificates.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "support/host_names.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

const char KEY_OPTIONS[] = "ec_paramgen_curve:prime256v1";
const char CA_CONFIG[] =
    "[ca]\ndefault_ca = test\n"
    "[test]\ndatabase = index.txt\nnew_certs_dir = .\nserial = serial\ndefault_md = sha256\n"
    "policy = any\ncopy_extensions = copy\nunique_subject = no\n"
    "[any]\ncommonName = supplied\n";

// Runs openssl in `folder`; false with its output in *error on failure.
bool Openssl(const std::string& folder, std::vector<std::string> arguments, std::string* error) {
    std::string command = "cd '" + folder + "' && exec " + OPENSSL_PROGRAM;
    for (const std::string& argument : arguments) command += " '" + argument + "'";
    ProcessResult result = RunProcess({"/bin/sh", "-c", command + " 2>&1"});
    if (result.exitCode == 0) return true;
    *error = "openssl " + arguments[0] + ": " + result.out + result.err;
    return false;
}

// A key and a certificate signing request, then the authority's signature
// over the dates given as openssl ca takes them.
bool Issue(const std::string& folder, const std::string& name, const std::string& altNames,
           const std::vector<std::string>& dates, ServerCertificate* issued, std::string* error) {
    issued->key = folder + "/" + name + ".key";
    issued->certificate = folder + "/" + name + ".pem";
    std::vector<std::string> sign = {"ca",       "-batch", "-notext", "-config",     "ca.cnf", "-cert",      "ca.pem",
                                     "-keyfile", "ca.key", "-in",     name + ".csr", "-out",   name + ".pem"};
    sign.insert(sign.end(), dates.begin(), dates.end());
    return Openssl(folder,
                   {"req", "-newkey", "ec", "-pkeyopt", KEY_OPTIONS, "-nodes", "-keyout", name + ".key", "-out",
                    name + ".csr", "-subj", "/CN=" + name, "-addext", "subjectAltName=" + altNames},
                   error) &&
           Openssl(folder, sign, error);
}

std::unique_ptr<TestCertificates> Make(const std::string& folder, std::string* error) {
    if (access(OPENSSL_PROGRAM, X_OK) != 0) {
        *error = std::string(OPENSSL_PROGRAM) + " is missing: install openssl (tools/install-deps.sh does)";
        return nullptr;
    }
    if (!WriteWholeFile(folder + "/ca.cnf", CA_CONFIG) || !WriteWholeFile(folder + "/index.txt", "") ||
        !WriteWholeFile(folder + "/serial", "01\n")) {
        *error = "cannot write into " + folder;
        return nullptr;
    }
    auto made = std::make_unique<TestCertificates>();
    made->authority = folder + "/ca.pem";
    const std::vector<std::string> current = {"-days", "30"};
    bool ok = Openssl(folder,
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", KEY_OPTIONS, "-nodes", "-keyout", "ca.key", "-out",
                       "ca.pem", "-days", "30", "-subj", "/CN=Karvelo Test Authority"},
                      error) &&
              Issue(folder, "loopback", "IP:127.0.0.1,IP:::1,DNS:localhost,DNS:" + HostNameOfLength(253), current,
                    &made->loopback, error) &&
              Issue(folder, "other", "DNS:other.invalid", current, &made->otherName, error) &&
              Issue(folder, "expired", "IP:127.0.0.1,DNS:localhost",
                    {"-startdate", "20200101000000Z", "-enddate", "20200201000000Z"}, &made->expired, error);
    if (!ok) return nullptr;
    return made;
}

}  // namespace

const TestCertificates* TestCertificatesMade(std::string* error) {
    static TempDir folder;  // lives as long as the process
    static std::string failure;
    static std::unique_ptr<TestCertificates> made = Make(folder.path(), &failure);
    if (made == nullptr) *error = failure;
    return made.get();
}

bool TrustTestAuthority(std::string* error) {
    const TestCertificates* made = TestCertificatesMade(error);
    if (made == nullptr) return false;
    setenv("SSL_CERT_FILE", made->authority.c_str(), 1);
    return true;
}
