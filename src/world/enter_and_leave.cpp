// Entering a world through the universe, and leaving it.
#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "api/boundary.h"
#include "api/instance.h"
#include "api/request_flow.h"
#include "api/staying_up.h"
#include "universe/universe_session.h"
#include "wire/field_cursor.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"
#include "wire/universe_messages.h"
#include "world/world_session.h"

namespace kivsdk {
namespace {

constexpr std::uint16_t kDefaultWorldPort = 57002;
constexpr std::size_t kMaxWorldName = 255;
// Bit 0 of the entry reply's flags: the world speaks TLS.
constexpr std::uint8_t kSecureWorldFlag = 1;

}  // namespace

void on_world_entry_reply(Instance& instance, PacketReader& body) {
    // A reply answers an enter: with none awaited (left, called off, or
    // past its limit) it opens nothing.
    if (!is_awaited(instance, Response::kWorldEnter)) return;
    FieldCursor fields(body);
    std::uint8_t status = 0;
    std::array<unsigned char, 32> ticket{};
    unsigned char address[4] = {0, 0, 0, 0};
    std::uint16_t port = kDefaultWorldPort;
    // A reply cut inside its ticket or address names no world to go to: no
    // Connection is opened with a made-up address or an earlier world's
    // ticket. The port may be absent: 57002 then.
    const bool has_status = fields.byte(status);
    if (has_status && status != 0) {
        complete_enter(instance, KIV_RC_WORLD_UNAVAILABLE);
        return;
    }
    if (!has_status || !fields.raw(ticket.data(), ticket.size()) ||
        !fields.raw(address, sizeof address)) {
        complete_enter(instance, KIV_RC_WORLD_UNAVAILABLE);
        return;
    }
    instance.world_ticket() = ticket;
    fields.uint16(port);
    std::string_view named_host;
    std::uint8_t flags = 0;
    std::int32_t entry_value = 0;
    fields.string(named_host);
    fields.byte(flags);
    if (fields.int32(entry_value)) instance.set_int(KIV_WORLD_ENTRY_VALUE, entry_value);
    std::string host(named_host);

    const bool secure = (flags & kSecureWorldFlag) != 0;
    // The enter goes on with the new world; whatever was pending on a world
    // this reply replaces ends with 9.
    AwaitedAnswer enter{};
    const bool enter_awaited = take_awaited(instance, Response::kWorldEnter, enter);
    const bool reentering = instance.world.reconnecting;
    end_connection(instance, Side::kWorld);
    if (instance.discarded()) return;
    instance.world.reconnecting = reentering;
    Connection& connection = instance.install(Side::kWorld, world_connection_handlers(secure));
    if (!reentering) instance.world.state = KIV_STATE_CONNECTING;
    if (enter_awaited) restore_awaited(instance, Side::kWorld, enter);
    if (host.empty()) {
        char dotted[16];
        std::snprintf(dotted, sizeof dotted, "%d.%d.%d.%d", address[0], address[1], address[2],
                      address[3]);
        host = dotted;
    }
    const int result = server_connect(connection, instance, host.c_str(), port);
    if (result == 0 || instance.discarded()) return;
    // A connect that failed at once may already have reported its result from
    // inside the call, completing the enter; it completes exactly once.
    const bool still_current = instance.world.connection.get() == &connection;
    const bool completed_inside = !still_current || connection.connect_reported();
    if (still_current) instance.drop(Side::kWorld);
    if (!completed_inside) complete_enter(instance, KIV_RC_CONNECTION_ERROR);
}

}  // namespace kivsdk

using kivsdk::Instance;

extern "C" {

KIVSDK_API int kiv_enter(KIVInstance* handle, const char* world) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        const std::string_view name = kivsdk::text_or_empty(world);
        if (name.size() > kivsdk::kMaxWorldName) return KIV_RC_STRING_TOO_LONG;
        if (!instance.has_callback_handler(KIV_CALLBACK_ENTER) && instance.in_wait()) {
            return KIV_RC_RECURSIVE_WAIT;
        }
        // While the universe reconnects nothing changes, not even which
        // world it will enter again.
        if (instance.universe.reconnecting) return KIV_RC_CONNECTION_ERROR;
        instance.world.ready = false;
        kivsdk::cancel_reconnection(instance, kivsdk::Side::kWorld);
        instance.world_entered.clear();
        instance.last_state.clear();  // a position of the world left behind
        kivsdk::end_connection(instance, kivsdk::Side::kWorld);
        if (instance.discarded()) return KIV_RC_CONNECTION_ERROR;
        instance.world.state = KIV_STATE_NONE;
        kivsdk::PacketWriter writer;
        writer.append_byte(kivsdk::universe_message::kWorldEntry);
        writer.append_string(name);
        // An enter that outlived an earlier blocking call must not answer this one.
        kivsdk::begin_blocking_request(instance, KIV_CALLBACK_ENTER, kivsdk::Response::kWorldEnter);
        kivsdk::await_answer(instance, kivsdk::Side::kUniverse, KIV_CALLBACK_ENTER,
                             kivsdk::Response::kWorldEnter);
        const int rc = kivsdk::universe_send_gate(instance, writer);
        if (rc != KIV_RC_SUCCESS) {
            kivsdk::forget_awaited(instance, kivsdk::Response::kWorldEnter);
            return rc;
        }
        instance.world_requested.assign(name);
        instance.world.state = KIV_STATE_REQUESTED;
        return kivsdk::finish_blocking_request(
            instance, KIV_CALLBACK_ENTER, kivsdk::Response::kWorldEnter,
            kivsdk::limit_seconds(instance, kivsdk::Response::kWorldEnter, true));
    });
}

KIVSDK_API int kiv_leave(KIVInstance* handle) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.world.connection) return KIV_RC_NOT_IN_WORLD;
        // A lost world is left all the same, and a re-entry is called off;
        // its pending work ends with 9.
        kivsdk::cancel_reconnection(instance, kivsdk::Side::kWorld);
        instance.world_entered.clear();
        instance.last_state.clear();
        kivsdk::end_connection(instance, kivsdk::Side::kWorld);
        if (!instance.discarded()) instance.world.state = KIV_STATE_NONE;
        return KIV_RC_SUCCESS;
    });
}

}  // extern "C"
