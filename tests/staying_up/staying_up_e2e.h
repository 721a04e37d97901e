// Helpers of the end-to-end staying-up tests against the in-process sandbox:
// its options with a control port, a client of that port, and the setup a
// reconnecting bot needs.
#pragma once

#include <string>

#include "kivsdk.h"
#include "sandbox.h"
#include "support/test_socket.h"

namespace kivsdk::test {

// sandbox_options() with a control port on any free loopback port.
sandbox::Options options_with_control();

// One connection to the sandbox's control port: a command line out, its
// answer line back ("ok", "ok N", "error: ...").
class ControlClient {
public:
    explicit ControlClient(int port);
    std::string command(const std::string& line);

private:
    TestSocket socket_;
};

// Makes both sides of the Instance trust this build's sandbox CAs, whatever
// bundles the library carries.
bool trust_sandbox(KIVInstance* instance);

KIVReconnectPolicy reconnect_policy(int first_ms, int max_ms, int attempts = 0);

}  // namespace kivsdk::test
