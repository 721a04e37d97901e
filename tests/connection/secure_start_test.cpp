// Starting TLS on a Connection happens once; a stream whose start failed is
// still reported lost once.
#include <string>

#include "connection/client_tls_config.h"
#include "connection_fixture.h"

namespace kivsdk::test {
namespace {

TEST_F(ConnectionTest, TlsStartsOnceAndALaterLossIsReportedOnce) {
    connected();
    const std::string garbage = "-----BEGIN CERTIFICATE-----\nnone\n-----END CERTIFICATE-----\n";
    const auto config = std::make_shared<ClientTlsConfig>(
        reinterpret_cast<const unsigned char*>(garbage.c_str()), garbage.size() + 1);
    auto ignore = [](Connection&, int) {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(connection->start_tls(ignore, config), -1);
    EXPECT_EQ(connection->start_tls(ignore, config), -1) << "no second start";
    const std::string lines = testing::internal::GetCapturedStdout();
    EXPECT_EQ(lines.find("mbedtls init failed"), lines.rfind("mbedtls init failed"))
        << "one set-up attempt: " << lines;
    EXPECT_TRUE(connection->tls_started());
    EXPECT_EQ(connection->tls_state(), Connection::TlsState::kPlain);

    net.serve_close(*socket);
    net.post(*socket, KIV_NET_READABLE);
    net.post(*socket, KIV_NET_DISCONNECTED);
    EXPECT_EQ(received.disconnects, (std::vector<int>{-1}));
}

}  // namespace
}  // namespace kivsdk::test
