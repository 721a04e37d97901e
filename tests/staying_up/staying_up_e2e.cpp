#include "staying_up_e2e.h"

#include <chrono>
#include <fstream>
#include <sstream>

#include "sandbox_bot.h"
#include "support/test_pki.h"

namespace kivsdk::test {
namespace {

std::string read_text_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

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

bool trust_sandbox(KIVInstance* instance) {
    const std::string universe = read_text_file(pki::universe_bundle());
    const std::string world = read_text_file(pki::world_bundle());
    return kiv_trust_set(instance, KIV_SIDE_UNIVERSE, universe.data(),
                         static_cast<int>(universe.size())) == 0 &&
           kiv_trust_set(instance, KIV_SIDE_WORLD, world.data(), static_cast<int>(world.size())) ==
               0;
}

KIVReconnectPolicy reconnect_policy(int first_ms, int max_ms, int attempts) {
    KIVReconnectPolicy p{};
    p.size = sizeof p;
    p.enabled = 1;
    p.first_delay_ms = first_ms;
    p.max_delay_ms = max_ms;
    p.max_attempts = attempts;
    return p;
}

}  // namespace kivsdk::test
