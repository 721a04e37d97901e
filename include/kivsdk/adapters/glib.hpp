/*
 * kivsdk/adapters/glib.hpp - Instances on a GLib main context (GTK and Qt
 * hosts run on one). Linux and other Unix systems: it watches handles with
 * g_source_add_unix_fd.
 *
 *   kivsdk::adapters::GlibAdapter adapter(nullptr);   // the default context
 *   KIVNetConfig table = adapter.table();
 *   KIVInstance* bot = kiv_create(&table);   // callback style: kiv_callback_set
 *   kiv_connect_universe(bot, "127.0.0.1", 6670);
 *   g_main_loop_run(loop);                   // never kiv_wait
 *
 * Each socket is one GSource that watches its handle and carries its timer
 * as the source's ready time. Link with glib-2.0 (pkg-config glib-2.0).
 */
#ifndef KIVSDK_ADAPTERS_GLIB_HPP
#define KIVSDK_ADAPTERS_GLIB_HPP

#include <glib.h>

#include "kivsdk/adapters/socket_core.hpp"

namespace kivsdk {
namespace adapters {

class GlibAdapter final : public LoopHooks {
public:
    // A null context is the default main context.
    explicit GlibAdapter(GMainContext* context) noexcept : context_(context) {}
    GlibAdapter(const GlibAdapter&) = delete;
    GlibAdapter& operator=(const GlibAdapter&) = delete;

    KIVNetConfig table() noexcept { return socket_core_table(*this); }

    void watch(AdapterSocket& socket, bool readable, bool writable) override {
        Source& source = source_of(socket);
        const int events = (readable ? G_IO_IN : 0) | (writable ? G_IO_OUT : 0);
        if (source.tag != nullptr && (source.fd != socket.handle() || events == 0)) {
            g_source_remove_unix_fd(&source.base, source.tag);  // another handle, or none
            source.tag = nullptr;
        }
        if (events == 0 || socket.handle() == kNoHandle) return;
        const auto condition = static_cast<GIOCondition>(events | G_IO_ERR | G_IO_HUP);
        if (source.tag == nullptr) {
            source.tag = g_source_add_unix_fd(&source.base, socket.handle(), condition);
            source.fd = socket.handle();
        } else {
            g_source_modify_unix_fd(&source.base, source.tag, condition);
        }
    }

    void set_timer(AdapterSocket& socket, int milliseconds) override {
        Source& source = source_of(socket);
        g_source_set_ready_time(
            &source.base,
            milliseconds < 0 ? -1 : g_get_monotonic_time() + gint64{milliseconds} * 1000);
    }

    void forget(AdapterSocket& socket) override {
        if (socket.adapter_state != nullptr) {
            auto* source = static_cast<Source*>(socket.adapter_state);
            source->socket = nullptr;  // a dispatch running now stops here
            g_source_destroy(&source->base);
            g_source_unref(&source->base);
            socket.adapter_state = nullptr;
        }
        socket.released();
    }

private:
    struct Source {
        GSource base;  // first: GLib hands back a GSource*
        AdapterSocket* socket;
        gpointer tag;
        NativeHandle fd;
    };

    Source& source_of(AdapterSocket& socket) {
        if (socket.adapter_state == nullptr) {
            static GSourceFuncs functions = {nullptr, nullptr, &dispatch,
                                             nullptr, nullptr, nullptr};
            auto* source = reinterpret_cast<Source*>(g_source_new(&functions, sizeof(Source)));
            source->socket = &socket;
            source->tag = nullptr;
            source->fd = kNoHandle;
            g_source_attach(&source->base, context_);
            socket.adapter_state = source;
        }
        return *static_cast<Source*>(socket.adapter_state);
    }

    static gboolean dispatch(GSource* base, GSourceFunc, gpointer) {
        auto* source = reinterpret_cast<Source*>(base);
        const gint64 ready_time = g_source_get_ready_time(base);
        if (ready_time >= 0 && ready_time <= g_source_get_time(base)) {
            g_source_set_ready_time(base, -1);
            if (source->socket != nullptr) source->socket->timer_due();
        }
        if (source->socket == nullptr || source->tag == nullptr) return G_SOURCE_CONTINUE;
        const GIOCondition seen = g_source_query_unix_fd(base, source->tag);
        if ((seen & (G_IO_IN | G_IO_OUT | G_IO_ERR | G_IO_HUP)) != 0) {
            source->socket->ready((seen & G_IO_IN) != 0, (seen & G_IO_OUT) != 0,
                                  (seen & (G_IO_ERR | G_IO_HUP)) != 0);
        }
        return G_SOURCE_CONTINUE;
    }

    GMainContext* context_;
};

}  // namespace adapters
}  // namespace kivsdk

#endif  // KIVSDK_ADAPTERS_GLIB_HPP
