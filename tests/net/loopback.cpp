#include "net/loopback.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace kivsdk::nettest {
namespace {

NotificationLog* current_log = nullptr;
ScriptedResolver* current_resolver = nullptr;

int family_code(Family family) { return family == Family::v4 ? AF_INET : AF_INET6; }

// The loopback address of the family with `port`; returns its length.
int loopback_address(Family family, int port, sockaddr_storage& storage) {
    std::memset(&storage, 0, sizeof storage);
    if (family == Family::v4) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<unsigned short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::memcpy(&storage, &address, sizeof address);
        return static_cast<int>(sizeof address);
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<unsigned short>(port));
    address.sin6_addr = in6addr_loopback;
    std::memcpy(&storage, &address, sizeof address);
    return static_cast<int>(sizeof address);
}

// Winsock must be started before the first socket of the process; a test
// may make a listener before any socket of the library exists.
void start_winsock_once() {
#ifdef _WIN32
    static const bool started = [] {
        net::WSADATA data{};
        return net::WSAStartup(net::kWinsockVersion, &data) == 0;
    }();
    static_cast<void>(started);
#endif
}

void make_non_blocking(net::SOCKET handle) {
    unsigned long on = 1;
    static_cast<void>(net::ioctlsocket(handle, FIONBIO, &on));
}

}  // namespace

bool loopback_available(Family family) {
    Listener probe(family);
    return probe.valid();
}

bool raise_descriptor_limit(unsigned long wanted) {
#ifdef _WIN32
    static_cast<void>(wanted);
    return true;
#else
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= wanted) return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) return false;
    limit.rlim_cur = wanted;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
#endif
}

Peer::Peer(Peer&& other) noexcept : handle_(std::exchange(other.handle_, kInvalidHandle)) {}

Peer& Peer::operator=(Peer&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kInvalidHandle);
    }
    return *this;
}

Peer::~Peer() { close(); }

bool Peer::send_all(const std::string& bytes) {
    std::size_t done = 0;
    for (int round = 0; round < 1000 && done < bytes.size(); ++round) {
        const int sent =
            net::send_some(handle_, bytes.data() + done, static_cast<int>(bytes.size() - done));
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
        } else if (sent < 0 && net::WSAGetLastError() == kWouldBlock) {
            wait_for(handle_, WatchList::write, 100);
        } else {
            return false;
        }
    }
    return done == bytes.size();
}

long long Peer::drain() {
    char buffer[65536];
    long long total = 0;
    for (;;) {
        const int received = net::receive_some(handle_, buffer, static_cast<int>(sizeof buffer));
        if (received > 0) {
            total += received;
            continue;
        }
        if (received < 0 && net::WSAGetLastError() == kWouldBlock) return total;
        return total > 0 ? total : received;
    }
}

void Peer::close() {
    if (handle_ == kInvalidHandle) return;
    net::closesocket(handle_);
    handle_ = kInvalidHandle;
}

void Peer::reset() {
    if (handle_ == kInvalidHandle) return;
    linger abort_on_close{};
    abort_on_close.l_onoff = 1;
    abort_on_close.l_linger = 0;
    ::setsockopt(handle_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort_on_close),
                 sizeof abort_on_close);
    close();
}

Listener::Listener(Family family, int backlog) {
    start_winsock_once();
    const net::SOCKET handle = ::socket(family_code(family), SOCK_STREAM, IPPROTO_TCP);
    if (handle == kInvalidHandle) return;
    if (family == Family::v6) {
        const int only_v6 = 1;  // so that a v6 listener leaves 127.0.0.1 alone
        ::setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&only_v6),
                     sizeof only_v6);
    }
    sockaddr_storage address{};
    const int length = loopback_address(family, 0, address);
    sockaddr_storage bound{};
#ifdef _WIN32
    int bound_length = static_cast<int>(sizeof bound);
#else
    socklen_t bound_length = sizeof bound;
#endif
    if (::bind(handle, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(handle, backlog) != 0 ||
        ::getsockname(handle, reinterpret_cast<sockaddr*>(&bound), &bound_length) != 0) {
        net::closesocket(handle);
        return;
    }
    handle_ = handle;
    make_non_blocking(handle_);
    port_ = family == Family::v4 ? ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port)
                                 : ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port);
}

Listener::~Listener() { close(); }

Peer Listener::accept(int milliseconds) {
    if (!wait_for(handle_, WatchList::read, milliseconds)) return Peer{};
    const net::SOCKET accepted = ::accept(handle_, nullptr, nullptr);
    if (accepted == kInvalidHandle) return Peer{};
    make_non_blocking(accepted);
    return Peer{accepted};
}

void Listener::close() {
    if (handle_ == kInvalidHandle) return;
    net::closesocket(handle_);
    handle_ = kInvalidHandle;
}

bool wait_for(net::SOCKET handle, WatchList list, int milliseconds) {
    net::ReadySet sets;
    if (!sets.admit(handle, list) || sets.wait(milliseconds) < 0) return false;
    return sets.ready(handle, list) || sets.failed(handle, list);
}

#ifndef _WIN32
bool wait_for_failure(net::SOCKET handle, int milliseconds) {
    // Asking only for urgent data, the wait ends on the error itself.
    net::ReadySet sets;
    if (!sets.admit(handle, WatchList::exception) || sets.wait(milliseconds) < 0) return false;
    return sets.failed(handle, WatchList::exception);
}
#endif

int int_option(net::SOCKET handle, int level, int name) {
    int value = 0;
#ifdef _WIN32
    int length = static_cast<int>(sizeof value);
#else
    socklen_t length = sizeof value;
#endif
    if (::getsockopt(handle, level, name, reinterpret_cast<char*>(&value), &length) != 0) return -1;
    return value;
}

int unused_port() {
    Listener probe(Family::v4);
    return probe.port();  // closed again when the probe goes
}

NotificationLog::NotificationLog() { current_log = this; }
NotificationLog::~NotificationLog() { current_log = nullptr; }

int NotificationLog::record(void* connection, int kind, int status) {
    NotificationLog* log = current_log;
    if (log == nullptr) return 0;
    const Notification notification{connection, kind, status};
    log->all.push_back(notification);
    if (log->reaction) log->reaction(notification);
    return 0;
}

int NotificationLog::count(const void* connection, int kind) const {
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const Notification& seen) {
        return seen.connection == connection && seen.kind == kind;
    }));
}

std::vector<int> NotificationLog::statuses(const void* connection, int kind) const {
    std::vector<int> result;
    for (const Notification& seen : all) {
        if (seen.connection == connection && seen.kind == kind) result.push_back(seen.status);
    }
    return result;
}

struct ScriptedResolver::Node {
    addrinfo info{};
    sockaddr_storage address{};
};

ScriptedResolver::ScriptedResolver() {
    current_resolver = this;
    const net::Resolver replacement{&ScriptedResolver::resolve, &ScriptedResolver::release};
    net::set_resolver_for_testing(&replacement);
}

ScriptedResolver::~ScriptedResolver() {
    net::set_resolver_for_testing(nullptr);
    current_resolver = nullptr;
}

void ScriptedResolver::answer(std::vector<Address> addresses) {
    addresses_ = std::move(addresses);
    failing_ = false;
}

void ScriptedResolver::fail(int last_error) {
    failing_ = true;
    last_error_ = last_error;
}

int ScriptedResolver::resolve(const char* host, const char* service, const addrinfo* hints,
                              addrinfo** result) {
    ScriptedResolver& self = *current_resolver;
    ++self.resolutions;
    self.last_host = host != nullptr ? host : "";
    self.last_service = service != nullptr ? service : "";
    if (hints != nullptr) {
        self.last_hint_family = hints->ai_family;
        self.last_hint_socktype = hints->ai_socktype;
        self.last_hint_protocol = hints->ai_protocol;
    }
    *result = nullptr;
    if (self.failing_) {
        net::WSASetLastError(self.last_error_);
        return EAI_FAIL;
    }
    addrinfo* previous = nullptr;
    for (const Address& wanted : self.addresses_) {
        Node& node = self.nodes_.emplace_back();
        const int port = wanted.port != 0 ? wanted.port : std::atoi(self.last_service.c_str());
        const int length = loopback_address(wanted.family, port, node.address);
        // An unknown family fails socket(); a cut address fails connect().
        node.info.ai_family = wanted.fault == Fault::no_socket ? 12345 : family_code(wanted.family);
        node.info.ai_socktype = SOCK_STREAM;
        node.info.ai_protocol = IPPROTO_TCP;
        node.info.ai_addrlen = static_cast<decltype(node.info.ai_addrlen)>(
            wanted.fault == Fault::bad_address ? 2 : length);
        node.info.ai_addr = reinterpret_cast<sockaddr*>(&node.address);
        if (previous != nullptr) {
            previous->ai_next = &node.info;
        } else {
            *result = &node.info;
        }
        previous = &node.info;
    }
    return 0;
}

void ScriptedResolver::release(addrinfo*) {
    // The nodes live as long as the resolver; only the release is counted.
    ++current_resolver->releases;
}

KIVNetConfig CountingTable::real{};
int CountingTable::recv_calls = 0;
int CountingTable::send_calls = 0;

KIVNetConfig CountingTable::wrap(const KIVNetConfig& table) {
    real = table;
    recv_calls = 0;
    send_calls = 0;
    KIVNetConfig counting = table;
    counting.recv = [](void* socket, char* buffer, int capacity) {
        ++recv_calls;
        return real.recv(socket, buffer, capacity);
    };
    counting.send = [](void* socket, const char* data, int length) {
        ++send_calls;
        return real.send(socket, data, length);
    };
    return counting;
}

#ifndef _WIN32
namespace {
PollSpy* current_spy = nullptr;
}

PollSpy::PollSpy() {
    current_spy = this;
    net::set_poll_for_testing(&PollSpy::call);
}

PollSpy::~PollSpy() {
    net::set_poll_for_testing(nullptr);
    current_spy = nullptr;
}

int PollSpy::call(pollfd* descriptors, nfds_t count, int timeout_milliseconds) {
    PollSpy& self = *current_spy;
    self.timeouts.push_back(timeout_milliseconds);
    if (self.interruptions > 0) {
        --self.interruptions;
        errno = EINTR;
        return -1;
    }
    const int ready = ::poll(descriptors, count, 0);
    if (ready < 0 || !self.adjust) return ready;
    self.adjust(descriptors, count);
    return static_cast<int>(std::count_if(descriptors, descriptors + count,
                                          [](const pollfd& slot) { return slot.revents != 0; }));
}
#endif

}  // namespace kivsdk::nettest
