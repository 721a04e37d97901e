// Connecting to the universe and logging in.
#include <string_view>

#include "api/boundary.h"
#include "api/instance.h"
#include "api/request_flow.h"
#include "api/staying_up.h"
#include "base/clock.h"
#include "universe/universe_session.h"
#include "wire/field_cursor.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"
#include "wire/universe_messages.h"

namespace kivsdk {
namespace {

constexpr std::size_t kMaxLoginString = 255;
constexpr int kMaxPort = 65535;

constexpr ResultCodes<5> kLoginCodes = {KIV_RC_SUCCESS, KIV_RC_LOGIN_REFUSED, KIV_RC_REJECTED,
                                        KIV_RC_LOGIN_DENIED, KIV_RC_REQUEST_FAILED};

}  // namespace

void on_login_reply(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::uint8_t result = 0;
    std::int32_t value = 0;
    // A reply without its result byte is no acceptance.
    const bool has_result = fields.byte(result);
    fields.int32(value);
    instance.set_int(KIV_LOGIN_REPLY_VALUE, value);
    const int rc = has_result ? code_for(kLoginCodes, result) : KIV_RC_REQUEST_FAILED;
    if (rc == KIV_RC_SUCCESS) {
        std::string_view text;
        fields.string(text);
        instance.set_string(KIV_LOGIN_REPLY_STRING, text.data(), text.size());
    }
    SideState& universe = instance.universe;
    if (universe.reconnecting) {
        forget_awaited(instance, Response::kLogin);
        reconnect_login_answered(instance, rc);
        return;
    }
    if (rc == KIV_RC_SUCCESS) {
        instance.login_good = instance.login_sent;
        instance.logged_in_once = true;
        universe.state = KIV_STATE_LOGGED_IN;
        universe.ready_since = now_seconds();
    }
    complete_blocking_request(instance, KIV_CALLBACK_LOGIN, Response::kLogin, rc);
}

}  // namespace kivsdk

using kivsdk::Instance;

extern "C" {

KIVSDK_API int kiv_connect_universe(KIVInstance* handle, const char* host, int port) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (host == nullptr || *host == '\0' || port < 1 || port > kivsdk::kMaxPort) {
            return KIV_RC_INVALID_ARGUMENT;
        }
        // A blocking connect inside a handler cannot wait: it changes nothing.
        if (!instance.has_callback_handler(KIV_CALLBACK_CONNECT_UNIVERSE) && instance.in_wait()) {
            return KIV_RC_RECURSIVE_WAIT;
        }
        kivsdk::cancel_reconnection(instance, kivsdk::Side::kUniverse);
        kivsdk::cancel_reconnection(instance, kivsdk::Side::kWorld);
        instance.world_entered.clear();
        // Everything pending on the Connections being replaced ends with 9.
        kivsdk::end_connection(instance, kivsdk::Side::kWorld);
        if (instance.discarded()) return KIV_RC_CONNECTION_ERROR;
        instance.world.state = KIV_STATE_NONE;
        kivsdk::end_connection(instance, kivsdk::Side::kUniverse);
        if (instance.discarded()) return KIV_RC_CONNECTION_ERROR;
        // An answer that outlived an earlier connect must not answer this one.
        kivsdk::begin_blocking_request(instance, KIV_CALLBACK_CONNECT_UNIVERSE,
                                       kivsdk::Response::kUniverseConnect);
        instance.universe_host = host;
        instance.universe_port = static_cast<std::uint16_t>(port);
        kivsdk::SideState& universe = instance.universe;
        kivsdk::Connection& connection =
            instance.install(kivsdk::Side::kUniverse, kivsdk::universe_connection_handlers());
        universe.state = KIV_STATE_CONNECTING;
        kivsdk::await_answer(instance, kivsdk::Side::kUniverse, KIV_CALLBACK_CONNECT_UNIVERSE,
                             kivsdk::Response::kUniverseConnect);
        universe.connect_in_call = true;
        universe.connect_failed_in_call = false;
        const int result =
            kivsdk::server_connect(connection, instance, host, static_cast<std::uint16_t>(port));
        if (instance.discarded()) return KIV_RC_CONNECTION_ERROR;
        universe.connect_in_call = false;
        if (universe.connect_failed_in_call || (result != 0 && result != -2)) {
            // Failed at once: the return code says so, and nothing else does.
            universe.connect_failed_in_call = false;
            universe.state = KIV_STATE_FAILED;
            kivsdk::forget_awaited(instance, kivsdk::Response::kUniverseConnect);
            return KIV_RC_CONNECTION_ERROR;
        }
        return kivsdk::finish_blocking_request(
            instance, KIV_CALLBACK_CONNECT_UNIVERSE, kivsdk::Response::kUniverseConnect,
            kivsdk::limit_seconds(instance, kivsdk::Response::kUniverseConnect, true));
    });
}

KIVSDK_API int kiv_login(KIVInstance* handle, const char* name, const char* password,
                         const char* extra) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        const std::string_view strings[3] = {kivsdk::text_or_empty(name),
                                             kivsdk::text_or_empty(password),
                                             kivsdk::text_or_empty(extra)};
        for (const std::string_view text : strings) {
            if (text.size() > kivsdk::kMaxLoginString) return KIV_RC_STRING_TOO_LONG;
        }
        if (!instance.has_callback_handler(KIV_CALLBACK_LOGIN) && instance.in_wait()) {
            return KIV_RC_RECURSIVE_WAIT;
        }
        kivsdk::PacketWriter writer;
        writer.append_byte(kivsdk::universe_message::kLogin);
        writer.append_byte(1);
        for (const std::string_view text : strings) writer.append_string(text);
        writer.append_string(instance.string_at(KIV_LOGIN_EXTRA_1));
        writer.append_string(instance.string_at(KIV_LOGIN_EXTRA_2));
        kivsdk::begin_blocking_request(instance, KIV_CALLBACK_LOGIN, kivsdk::Response::kLogin);
        kivsdk::await_answer(instance, kivsdk::Side::kUniverse, KIV_CALLBACK_LOGIN,
                             kivsdk::Response::kLogin);
        const int rc = kivsdk::universe_send_gate(instance, writer);
        if (rc != KIV_RC_SUCCESS) {
            kivsdk::forget_awaited(instance, kivsdk::Response::kLogin);
            return rc;
        }
        // Kept (in memory only) to log in again after a reconnection.
        kivsdk::Credentials& sent = instance.login_sent;
        sent.wipe();
        sent.name.assign(strings[0]);
        sent.password.assign(strings[1]);
        sent.extra.assign(strings[2]);
        sent.extra_1.assign(instance.string_at(KIV_LOGIN_EXTRA_1));
        sent.extra_2.assign(instance.string_at(KIV_LOGIN_EXTRA_2));
        return kivsdk::finish_blocking_request(
            instance, KIV_CALLBACK_LOGIN, kivsdk::Response::kLogin,
            kivsdk::limit_seconds(instance, kivsdk::Response::kLogin, true));
    });
}

}  // extern "C"
