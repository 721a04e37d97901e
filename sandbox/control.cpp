#include "control.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "options.h"
#include "sandbox.h"

namespace kivsdk::sandbox {
namespace {

// Longest command line kept; a longer one closes the connection.
constexpr std::size_t kMaxLine = 1024;
constexpr std::size_t kMaxConnections = 16;

std::vector<std::string> words_of(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

bool parse_seconds(const std::string& text, double& seconds) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed < 0 || parsed > 86400) {
        return false;
    }
    seconds = parsed;
    return true;
}

}  // namespace

std::string run_control_line(Sandbox& sandbox, const std::string& line) {
    const std::vector<std::string> words = words_of(line);
    if (words.empty()) return "error: empty command";
    const std::string& command = words[0];
    const std::size_t count = words.size();
    long number = 0;
    long result = 0;
    if (command == "freeze" && count == 2) {
        double seconds = 0;
        if (!parse_seconds(words[1], seconds)) return "error: bad seconds: " + words[1];
        sandbox.freeze(std::chrono::milliseconds(std::lround(seconds * 1000)));
        return "ok";
    }
    if (command == "drop" && count >= 2) {
        const bool world = words[1] == "world";
        const std::size_t reset_at = world ? 3 : 2;
        if (count > reset_at + 1 || (count == reset_at + 1 && words[reset_at] != "reset") ||
            (world && count < 3)) {
            return "error: drop universe|all|world NAME [reset]";
        }
        const bool reset = count == reset_at + 1;
        if (world) {
            const std::optional<std::size_t> dropped = sandbox.drop_world_clients(words[2], reset);
            if (!dropped) return "error: no world " + words[2];
            return "ok " + std::to_string(*dropped);
        }
        if (words[1] == "universe")
            return "ok " + std::to_string(sandbox.drop_universe_clients(reset));
        if (words[1] == "all") return "ok " + std::to_string(sandbox.drop_all_clients(reset));
        return "error: drop universe|all|world NAME [reset]";
    }
    if (command == "refuse-logins" && count == 3) {
        if (!parse_number(words[1], 0, 1000000, number)) return "error: bad count: " + words[1];
        if (!parse_number(words[2], 1, 255, result)) return "error: bad result: " + words[2];
        sandbox.refuse_logins(static_cast<int>(number), static_cast<std::uint8_t>(result));
        return "ok";
    }
    if (command == "remove-world" && count == 2) {
        if (!sandbox.remove_world(words[1])) return "error: no world " + words[1];
        return "ok";
    }
    if (command == "keepalive" && count == 2) {
        if (!parse_number(words[1], 0, 86400, number)) return "error: bad seconds: " + words[1];
        sandbox.set_keepalive(static_cast<int>(number));
        return "ok";
    }
    return "error: unknown command: " + line;
}

ControlPort::ControlPort(server::ServerLoop& loop, Runner run, int port)
    : loop_(loop), run_(std::move(run)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0)
        throw std::runtime_error("control: socket: " + std::string(std::strerror(errno)));
    const int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t length = sizeof address;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listen_fd_, 16) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(listen_fd_);
        throw std::runtime_error("control: cannot listen on 127.0.0.1 port " +
                                 std::to_string(port) + ": " + std::strerror(error));
    }
    port_ = ntohs(address.sin_port);
    loop_.watch_input(listen_fd_, [this] { accept_all(); });
}

ControlPort::~ControlPort() {
    while (!connections_.empty()) close_connection(connections_.begin()->first);
    loop_.forget_input(listen_fd_);
    ::close(listen_fd_);
}

void ControlPort::accept_all() {
    for (;;) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (connections_.size() >= kMaxConnections) {
            ::close(fd);
            continue;
        }
        connections_[fd];
        loop_.watch_input(fd, [this, fd] { read_from(fd); });
    }
}

void ControlPort::read_from(int fd) {
    char buffer[512];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) return close_connection(fd);
        std::string& pending = connections_[fd];
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            // Answers are short and the client waits for each: one send.
            const std::string answer = run_(line) + "\n";
            const ssize_t sent = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            static_cast<void>(sent);
        }
        if (pending.size() > kMaxLine) return close_connection(fd);
    }
}

void ControlPort::close_connection(int fd) {
    loop_.forget_input(fd);
    ::close(fd);
    connections_.erase(fd);
}

}  // namespace kivsdk::sandbox
