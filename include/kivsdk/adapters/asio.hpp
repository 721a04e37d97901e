/*
 * kivsdk/adapters/asio.hpp - Instances on an Asio io_context.
 *
 *   asio::io_context io;
 *   kivsdk::adapters::AsioAdapter adapter(io);
 *   KIVNetConfig table = adapter.table();
 *   KIVInstance* bot = kiv_create(&table);   // callback style: kiv_callback_set
 *   kiv_connect_universe(bot, "127.0.0.1", 6670);
 *   io.run();                                // never kiv_wait
 *
 * Standalone Asio (<asio.hpp>, Debian's libasio-dev); define
 * KIVSDK_ADAPTERS_BOOST_ASIO before including it for Boost.Asio. Each socket
 * waits for readiness on its handle (async_wait on a socket that adopts the
 * handle without owning it) and has a steady_timer. Completions that arrive
 * after a socket is destroyed find nothing and do nothing, so Instances may
 * be destroyed at any time; the adapter must outlive them, and the
 * io_context must run (or be destroyed) after the adapter to finish the
 * cancelled waits.
 */
#ifndef KIVSDK_ADAPTERS_ASIO_HPP
#define KIVSDK_ADAPTERS_ASIO_HPP

#ifdef KIVSDK_ADAPTERS_BOOST_ASIO
#include <boost/asio.hpp>
#else
#include <asio.hpp>
#endif

#include <chrono>
#include <memory>

#include "kivsdk/adapters/socket_core.hpp"

namespace kivsdk {
namespace adapters {

#ifdef KIVSDK_ADAPTERS_BOOST_ASIO
namespace asio_ns = boost::asio;
#else
namespace asio_ns = ::asio;
#endif

class AsioAdapter final : public LoopHooks {
public:
    explicit AsioAdapter(asio_ns::io_context& io) noexcept : io_(io) {}
    AsioAdapter(const AsioAdapter&) = delete;
    AsioAdapter& operator=(const AsioAdapter&) = delete;

    KIVNetConfig table() noexcept { return socket_core_table(*this); }

    void watch(AdapterSocket& socket, bool readable, bool writable) override {
        const std::shared_ptr<State>& state = state_of(socket);
        if (state->stream && (state->adopted != socket.handle() || (!readable && !writable))) {
            retire(*state);  // another handle, or nothing to watch
        }
        state->want_read = readable;
        state->want_write = writable;
        if ((!readable && !writable) || socket.handle() == kNoHandle) return;
        if (!state->stream && !adopt(*state, socket.handle())) return;
        if (readable) arm(state, Stream::wait_read);
        if (writable) arm(state, Stream::wait_write);
    }

    // The library moves a connection's timer on with every frame it sends.
    // Moving an Asio timer cancels its wait, and every cancelled wait is a
    // wakeup of the loop; so a timer moved later keeps its wait, which on
    // completion waits again for the rest of the time. Only a timer moved
    // earlier is cancelled.
    void set_timer(AdapterSocket& socket, int milliseconds) override {
        const std::shared_ptr<State>& state = state_of(socket);
        if (milliseconds < 0) {
            state->timer_active = false;  // a pending wait completes once, to nothing
            return;
        }
        state->due = Clock::now() + std::chrono::milliseconds(milliseconds);
        state->timer_active = true;
        if (!state->timer_waiting || state->due < state->timer.expiry()) wait_for_due(state);
    }

    void forget(AdapterSocket& socket) override {
        auto* slot = static_cast<std::shared_ptr<State>*>(socket.adapter_state);
        if (slot != nullptr) {
            State& state = **slot;
            state.socket = nullptr;  // completions still queued find nothing
            state.timer.cancel();
            retire(state);
            delete slot;
            socket.adapter_state = nullptr;
        }
        socket.released();
    }

private:
    using Stream = asio_ns::generic::stream_protocol::socket;
    using Clock = asio_ns::steady_timer::clock_type;

    struct State {
        explicit State(asio_ns::io_context& io, AdapterSocket* owner) : timer(io), socket(owner) {}
        asio_ns::steady_timer timer;
        AdapterSocket* socket;  // null once destroyed
        std::shared_ptr<Stream> stream;
        NativeHandle adopted = kNoHandle;
        bool want_read = false, want_write = false;
        bool read_armed = false, write_armed = false;
        Clock::time_point due{};
        bool timer_active = false;   // a due time is set
        bool timer_waiting = false;  // a wait is pending
        unsigned timer_wait = 0;     // which wait is the pending one
    };

    static void wait_for_due(const std::shared_ptr<State>& state) {
        state->timer.expires_at(state->due);  // cancels a pending wait: it goes stale
        state->timer_waiting = true;
        const unsigned wait = ++state->timer_wait;
        std::shared_ptr<State> held = state;
        state->timer.async_wait([held, wait](const std::error_code& error) {
            if (wait != held->timer_wait) return;  // replaced by a nearer one
            held->timer_waiting = false;
            if (error || held->socket == nullptr || !held->timer_active) return;
            if (Clock::now() < held->due) {
                wait_for_due(held);  // moved later meanwhile
                return;
            }
            held->timer_active = false;
            held->socket->timer_due();
        });
    }

    const std::shared_ptr<State>& state_of(AdapterSocket& socket) {
        if (socket.adapter_state == nullptr) {
            socket.adapter_state =
                new std::shared_ptr<State>(std::make_shared<State>(io_, &socket));
        }
        return *static_cast<std::shared_ptr<State>*>(socket.adapter_state);
    }

    bool adopt(State& state, NativeHandle handle) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return false;
        }
        auto stream = std::make_shared<Stream>(io_);
        std::error_code error;
        stream->assign(asio_ns::generic::stream_protocol(address.ss_family, IPPROTO_TCP), handle,
                       error);
        if (error) return false;
        state.stream = std::move(stream);
        state.adopted = handle;
        state.read_armed = state.write_armed = false;
        return true;
    }

    // Stops waiting on the adopted handle and gives it back unclosed (the
    // socket core closes it); waits still queued complete as aborted.
    static void retire(State& state) {
        if (!state.stream) return;
        std::error_code ignored;
        state.stream->cancel(ignored);
        state.stream->release(ignored);
        state.stream.reset();
        state.adopted = kNoHandle;
        state.read_armed = state.write_armed = false;
    }

    // One wait at a time per direction; re-armed after each completion while
    // the interest lasts (readiness is level-triggered).
    static void arm(const std::shared_ptr<State>& state, Stream::wait_type type) {
        const bool reading = type == Stream::wait_read;
        bool& armed = reading ? state->read_armed : state->write_armed;
        if (armed) return;
        armed = true;
        std::shared_ptr<State> held = state;
        std::shared_ptr<Stream> stream = state->stream;
        stream->async_wait(type, [held, stream, reading](const std::error_code& error) {
            if (held->stream != stream) return;  // retired meanwhile
            (reading ? held->read_armed : held->write_armed) = false;
            if (held->socket == nullptr || error == asio_ns::error::operation_aborted) return;
            const bool wanted = reading ? held->want_read : held->want_write;
            if (!wanted) return;
            held->socket->ready(reading, !reading, static_cast<bool>(error));
            if (held->socket == nullptr || held->stream != stream) return;
            const bool still = reading ? held->want_read : held->want_write;
            if (still) arm(held, reading ? Stream::wait_read : Stream::wait_write);
        });
    }

    asio_ns::io_context& io_;
};

}  // namespace adapters
}  // namespace kivsdk

#endif  // KIVSDK_ADAPTERS_ASIO_HPP
