// Paths of this build's sandbox PKI (generated into the build tree), e.g.
//
//   c.start_tls(pki::universe_server(), TlsVersions::kBoth);
//   mbedtls_x509_crt_parse_file(&ca, pki::universe_bundle().c_str());
//
// Every server certificate but otherhost_server() names "localhost",
// 127.0.0.1 and ::1. kLibraryTrustsSandbox (kivsdk_test_pki.h) tells whether
// the library itself trusts these CAs.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "kivsdk_test_pki.h"

namespace kivsdk::test {

// A server certificate and its private key (file paths).
struct CertAndKey {
    std::string cert;
    std::string key;
};

namespace pki {

inline std::string path(const char* file) { return std::string(kTestPkiDir) + "/" + file; }

// The whole of a file (a PEM bundle, say); empty when it cannot be read.
inline std::string read_text(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string universe_bundle() { return path(kUniverseCaBundleFile); }
inline std::string world_bundle() { return path(kWorldCaBundleFile); }
inline std::string rogue_ca() { return path(kRogueCaFile); }

// ECDSA P-256, signed by universe CA 1.
inline CertAndKey universe_server() {
    return {path(kUniverseServerCertFile), path(kUniverseServerKeyFile)};
}
// RSA-2048, signed by universe CA 1.
inline CertAndKey universe_server_rsa() {
    return {path(kUniverseServerRsaCertFile), path(kUniverseServerRsaKeyFile)};
}
// ECDSA P-256, signed by world CA 2.
inline CertAndKey world_server() { return {path(kWorldServerCertFile), path(kWorldServerKeyFile)}; }
// Signed by a CA that neither bundle holds.
inline CertAndKey rogue_server() { return {path(kRogueServerCertFile), path(kRogueServerKeyFile)}; }
// Names only "otherhost.test"; signed by universe CA 1.
inline CertAndKey otherhost_server() {
    return {path(kOtherhostServerCertFile), path(kOtherhostServerKeyFile)};
}

}  // namespace pki
}  // namespace kivsdk::test
