#include "staying_up_e2e.h"

#include <chrono>

#include "sandbox_bot.h"
#include "support/test_pki.h"

namespace kivsdk::test {

sandbox::Options options_with_control() {
    sandbox::Options options = sandbox_options();
    options.control_port = 0;
    return options;
}

ControlClient::ControlClient(int port) : socket_(TestSocket::connect(Loopback::kIPv4, port)) {
    socket_.set_timeouts(std::chrono::seconds(10));
}

std::string ControlClient::command(const std::string& line) {
    const std::string out = line + "\n";
    if (!socket_.send_all(reinterpret_cast<const unsigned char*>(out.data()), out.size())) {
        return "<send failed>";
    }
    std::string answer;
    unsigned char c = 0;
    while (socket_.recv_exact(&c, 1).kind == IoResult::Kind::kData && c != '\n') {
        answer += static_cast<char>(c);
    }
    return answer;
}

}  // namespace kivsdk::test
