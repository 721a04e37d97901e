// Helpers of the end-to-end staying-up tests against the in-process sandbox:
// its options with a control port, a client of that port, and the setup a
// reconnecting bot needs.
#pragma once

#include <string>

#include "kivsdk.h"
#include "sandbox.h"
#include "reconnect_setup.h"
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

}  // namespace kivsdk::test
