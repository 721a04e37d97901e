/*
 * kivsdk/adapters/libuv.hpp - Instances on a libuv loop.
 *
 *   uv_loop_t* uv = uv_default_loop();
 *   kivsdk::adapters::UvAdapter adapter(uv);
 *   KIVNetConfig table = adapter.table();
 *   KIVInstance* bot = kiv_create(&table);   // callback style: kiv_callback_set
 *   kiv_connect_universe(bot, "127.0.0.1", 6670);
 *   uv_run(uv, UV_RUN_DEFAULT);              // never kiv_wait
 *
 * Each socket is a uv_poll_t (made again when a connect moves on to the
 * next address) and a uv_timer_t. libuv closes handles asynchronously: a
 * destroyed socket's memory goes in the last close callback, so destroy the
 * Instances, then let the loop run once more (uv_run) before the adapter
 * and the loop go. Link with libuv (pkg-config libuv).
 */
#ifndef KIVSDK_ADAPTERS_LIBUV_HPP
#define KIVSDK_ADAPTERS_LIBUV_HPP

#include <uv.h>

#include <new>

#include "kivsdk/adapters/socket_core.hpp"

namespace kivsdk {
namespace adapters {

class UvAdapter final : public LoopHooks {
public:
    explicit UvAdapter(uv_loop_t* loop) noexcept : loop_(loop) {}
    UvAdapter(const UvAdapter&) = delete;
    UvAdapter& operator=(const UvAdapter&) = delete;

    KIVNetConfig table() noexcept { return socket_core_table(*this); }
    uv_loop_t* loop() const noexcept { return loop_; }

    void watch(AdapterSocket& socket, bool readable, bool writable) override {
        State& state = state_of(socket);
        const int events = (readable ? UV_READABLE : 0) | (writable ? UV_WRITABLE : 0);
        if (state.poll != nullptr && (state.polled != socket.handle() || events == 0)) {
            close_poll(state);  // another handle, or nothing to watch
        }
        if (events == 0 || socket.handle() == kNoHandle) return;
        if (state.poll == nullptr) {
            state.poll = new (std::nothrow) uv_poll_t;
            if (state.poll == nullptr) return;
            if (uv_poll_init_socket(loop_, state.poll, socket.handle()) != 0) {
                delete state.poll;  // never initialised: nothing for libuv to close
                state.poll = nullptr;
                return;
            }
            state.poll->data = &socket;
            state.polled = socket.handle();
        }
        uv_poll_start(state.poll, events, &on_poll);
    }

    void set_timer(AdapterSocket& socket, int milliseconds) override {
        State& state = state_of(socket);
        if (milliseconds < 0) {
            if (state.timer_started) uv_timer_stop(&state.timer);
            state.timer_started = false;
            return;
        }
        uv_timer_start(&state.timer, &on_timer, static_cast<uint64_t>(milliseconds), 0);
        state.timer_started = true;
    }

    void forget(AdapterSocket& socket) override {
        State& state = state_of(socket);
        close_poll(state);
        // The timer's close callback lets the socket go.
        uv_close(reinterpret_cast<uv_handle_t*>(&state.timer), &on_timer_closed);
    }

private:
    struct State {
        uv_timer_t timer;
        uv_poll_t* poll = nullptr;
        NativeHandle polled = kNoHandle;
        bool timer_started = false;
    };

    State& state_of(AdapterSocket& socket) {
        if (socket.adapter_state == nullptr) {
            auto* state = new State;
            uv_timer_init(loop_, &state->timer);
            state->timer.data = &socket;
            socket.adapter_state = state;
        }
        return *static_cast<State*>(socket.adapter_state);
    }

    static void close_poll(State& state) {
        if (state.poll == nullptr) return;
        uv_poll_stop(state.poll);
        uv_close(reinterpret_cast<uv_handle_t*>(state.poll),
                 [](uv_handle_t* handle) { delete reinterpret_cast<uv_poll_t*>(handle); });
        state.poll = nullptr;
        state.polled = kNoHandle;
    }

    static void on_poll(uv_poll_t* poll, int status, int events) {
        auto* socket = static_cast<AdapterSocket*>(poll->data);
        socket->ready((events & UV_READABLE) != 0, (events & UV_WRITABLE) != 0, status < 0);
    }

    static void on_timer(uv_timer_t* timer) {
        auto* socket = static_cast<AdapterSocket*>(timer->data);
        static_cast<State*>(socket->adapter_state)->timer_started = false;
        socket->timer_due();
    }

    static void on_timer_closed(uv_handle_t* handle) {
        auto* socket = static_cast<AdapterSocket*>(handle->data);
        delete static_cast<State*>(socket->adapter_state);
        socket->adapter_state = nullptr;
        socket->released();
    }

    uv_loop_t* loop_;
};

}  // namespace adapters
}  // namespace kivsdk

#endif  // KIVSDK_ADAPTERS_LIBUV_HPP
