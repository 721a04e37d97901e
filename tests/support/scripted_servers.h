// Scripted universe and world servers on the loopback TLS test server: the
// protocol's openings and common answers, for end-to-end tests. Every frame a
// server receives is recorded in its TlsTestServer report.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "support/tls_test_server.h"

namespace kivsdk::test {

// The universe's opening: reads the secure-channel request (type 39, in the
// clear), sends the go-ahead and runs TLS with `identity`. Returns the
// handshake's result (0: done).
int universe_opening(ServerConnection& connection,
                     const CertAndKey& identity = pki::universe_server(),
                     TlsVersions versions = TlsVersions::kBoth);

// Reads a login (type 1) and answers it with result, value and text.
Bytes answer_login(ServerConnection& connection, std::uint8_t result = 0, std::int32_t value = 0,
                   const std::string& text = "welcome");

using Ticket = std::array<unsigned char, 32>;
Ticket test_ticket(unsigned char seed);

// Universe message 2 with status 0 for a world on 127.0.0.1.
Bytes world_entry_reply(const Ticket& ticket, int port, bool secure,
                        const std::string& host = "127.0.0.1", std::int32_t value = 0);

// The world's opening: on the secure path reads 39, answers it with
// `status` and runs TLS with `identity` when the status is 0. Then reads the
// world login and returns it (its body starts with type 1 and the ticket).
Bytes world_opening(ServerConnection& connection, bool secure, std::uint8_t status = 0,
                    const CertAndKey& identity = pki::world_server());

}  // namespace kivsdk::test
