// The embedded CA bundles, and the sandbox PKI the tests rely on.
#include "connection/trust_anchors.h"

#include <gtest/gtest.h>
#include <mbedtls/oid.h>
#include <mbedtls/x509_crt.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/test_pki.h"

namespace kivsdk::test {
namespace {

// An owned certificate chain.
class Chain {
public:
    Chain() { mbedtls_x509_crt_init(&chain_); }
    ~Chain() { mbedtls_x509_crt_free(&chain_); }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    int parse(const TrustAnchor& anchor) {
        return mbedtls_x509_crt_parse(&chain_, anchor.pem, anchor.length);
    }
    int parse_file(const std::string& path) {
        return mbedtls_x509_crt_parse_file(&chain_, path.c_str());
    }

    mbedtls_x509_crt* get() { return &chain_; }

    std::vector<const mbedtls_x509_crt*> certificates() const {
        std::vector<const mbedtls_x509_crt*> all;
        for (const mbedtls_x509_crt* c = &chain_; c != nullptr && c->raw.len != 0; c = c->next) {
            all.push_back(c);
        }
        return all;
    }

private:
    mbedtls_x509_crt chain_;
};

// Whether the certificate's basic constraints say it is a CA (the field is
// private in Mbed TLS 3; its printed form is public).
bool is_ca(const mbedtls_x509_crt* c) {
    char info[4096];
    if (mbedtls_x509_crt_info(info, sizeof info, "", c) < 0) return false;
    return std::strstr(info, "CA=true") != nullptr;
}

std::vector<unsigned char> der(const mbedtls_x509_crt* c) {
    return std::vector<unsigned char>(c->raw.p, c->raw.p + c->raw.len);
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Bundle {
    const char* name;
    TrustAnchor anchor;
};

std::vector<Bundle> bundles() {
    return {{"universe", universe_trust_anchors()}, {"world", world_trust_anchors()}};
}

TEST(TrustAnchors, EachBundleIsTwoCaCertificatesWithTheTerminatorCounted) {
    for (const Bundle& bundle : bundles()) {
        SCOPED_TRACE(bundle.name);
        const TrustAnchor& anchor = bundle.anchor;
        ASSERT_NE(anchor.pem, nullptr);
        ASSERT_GT(anchor.length, 1u);
        EXPECT_EQ(anchor.pem[anchor.length - 1], 0) << "the length counts the terminating zero";
        EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(anchor.pem)), anchor.length - 1)
            << "no zero byte inside the PEM text";

        Chain chain;
        ASSERT_EQ(chain.parse(anchor), 0) << "every certificate parses, none is skipped";
        const auto certificates = chain.certificates();
        ASSERT_EQ(certificates.size(), 2u);
        for (const mbedtls_x509_crt* c : certificates) {
            EXPECT_TRUE(is_ca(c));
            EXPECT_EQ(mbedtls_x509_crt_check_key_usage(c, MBEDTLS_X509_KU_KEY_CERT_SIGN), 0);
        }
    }
}

TEST(TrustAnchors, TheFourCertificatesAreAllDifferent) {
    Chain universe;
    Chain world;
    ASSERT_EQ(universe.parse(universe_trust_anchors()), 0);
    ASSERT_EQ(world.parse(world_trust_anchors()), 0);
    std::vector<std::vector<unsigned char>> all;
    for (const Chain* chain : {&universe, &world}) {
        for (const mbedtls_x509_crt* c : chain->certificates()) all.push_back(der(c));
    }
    ASSERT_EQ(all.size(), 4u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        for (std::size_t j = i + 1; j < all.size(); ++j) {
            EXPECT_NE(all[i], all[j]) << "certificates " << i << " and " << j;
        }
    }
}

TEST(TrustAnchors, SandboxBundlesAreTheOnesEmbedded) {
    if (!kLibraryTrustsSandbox) GTEST_SKIP() << "the library was built with deployment bundles";
    const TrustAnchor universe = universe_trust_anchors();
    const TrustAnchor world = world_trust_anchors();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(universe.pem), universe.length - 1),
              file_text(pki::universe_bundle()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(world.pem), world.length - 1),
              file_text(pki::world_bundle()));
}

// Verifies the server certificate at `cert_path` against `anchor` for `name`;
// returns the verification flags (0: trusted).
std::uint32_t verify(const std::string& cert_path, const TrustAnchor& anchor, const char* name) {
    Chain server;
    Chain trusted;
    EXPECT_EQ(server.parse_file(cert_path), 0) << cert_path;
    EXPECT_EQ(trusted.parse(anchor), 0);
    std::uint32_t flags = 0;
    const int r = mbedtls_x509_crt_verify(server.get(), trusted.get(), nullptr, name, &flags,
                                          nullptr, nullptr);
    EXPECT_EQ(r == 0, flags == 0) << "result " << r << " flags " << flags;
    return flags;
}

TEST(TrustAnchors, SandboxServersVerifyOnlyAgainstTheirOwnBundle) {
    if (!kLibraryTrustsSandbox) GTEST_SKIP() << "the library was built with deployment bundles";
    const TrustAnchor universe = universe_trust_anchors();
    const TrustAnchor world = world_trust_anchors();

    for (const char* name : {"localhost", "127.0.0.1", "::1"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(verify(pki::universe_server().cert, universe, name), 0u);
        EXPECT_EQ(verify(pki::universe_server_rsa().cert, universe, name), 0u);
        EXPECT_EQ(verify(pki::world_server().cert, world, name), 0u);
    }
    EXPECT_EQ(verify(pki::universe_server().cert, world, "localhost"),
              MBEDTLS_X509_BADCERT_NOT_TRUSTED);
    EXPECT_EQ(verify(pki::world_server().cert, universe, "localhost"),
              MBEDTLS_X509_BADCERT_NOT_TRUSTED);
    EXPECT_EQ(verify(pki::rogue_server().cert, universe, "localhost"),
              MBEDTLS_X509_BADCERT_NOT_TRUSTED);
    EXPECT_EQ(verify(pki::rogue_server().cert, world, "localhost"),
              MBEDTLS_X509_BADCERT_NOT_TRUSTED);

    EXPECT_EQ(verify(pki::otherhost_server().cert, universe, "otherhost.test"), 0u);
    EXPECT_EQ(verify(pki::otherhost_server().cert, universe, "localhost"),
              MBEDTLS_X509_BADCERT_CN_MISMATCH);
    EXPECT_EQ(verify(pki::otherhost_server().cert, universe, "127.0.0.1"),
              MBEDTLS_X509_BADCERT_CN_MISMATCH);
}

TEST(TrustAnchors, SandboxServerCertificatesAreForServerAuthenticationOnly) {
    for (const CertAndKey& identity :
         {pki::universe_server(), pki::universe_server_rsa(), pki::world_server(),
          pki::rogue_server(), pki::otherhost_server()}) {
        SCOPED_TRACE(identity.cert);
        Chain server;
        ASSERT_EQ(server.parse_file(identity.cert), 0);
        EXPECT_FALSE(is_ca(server.get()));
        EXPECT_EQ(
            mbedtls_x509_crt_check_extended_key_usage(server.get(), MBEDTLS_OID_SERVER_AUTH,
                                                      MBEDTLS_OID_SIZE(MBEDTLS_OID_SERVER_AUTH)),
            0);
        EXPECT_NE(
            mbedtls_x509_crt_check_extended_key_usage(server.get(), MBEDTLS_OID_CLIENT_AUTH,
                                                      MBEDTLS_OID_SIZE(MBEDTLS_OID_CLIENT_AUTH)),
            0);
    }
}

}  // namespace
}  // namespace kivsdk::test
