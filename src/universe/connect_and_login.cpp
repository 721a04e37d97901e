// Connecting to the universe and logging in.
#include <string_view>

#include "api/boundary.h"
#include "api/instance.h"
#include "api/request_flow.h"
#include "wire/universe_messages.h"
#include "universe/universe_session.h"
#include "wire/field_cursor.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"

namespace kivsdk {
namespace {

constexpr std::int64_t kConnectLimitSeconds = 15;
constexpr std::int64_t kLoginLimitSeconds = 10;
constexpr std::size_t kMaxLoginString = 255;

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
    complete_blocking_request(instance, KIV_CALLBACK_LOGIN, Response::kLogin, rc);
}

}  // namespace kivsdk

using kivsdk::Instance;

extern "C" {

KIVSDK_API int kiv_connect_universe(KIVInstance* handle, const char* host, int port) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        // Everything pending on the Connections being replaced ends with 9.
        kivsdk::end_connection(instance, kivsdk::Side::kWorld);
        if (instance.discarded()) return KIV_RC_CONNECTION_ERROR;
        kivsdk::end_connection(instance, kivsdk::Side::kUniverse);
        if (instance.discarded()) return KIV_RC_CONNECTION_ERROR;
        // An answer that outlived an earlier connect must not answer this one.
        kivsdk::begin_blocking_request(instance, KIV_CALLBACK_CONNECT_UNIVERSE,
                                       kivsdk::Response::kUniverseConnect);

        kivsdk::Connection& connection = instance.install(
            kivsdk::Side::kUniverse,
            std::make_unique<kivsdk::Connection>(instance.operations(),
                                                 kivsdk::universe_connection_handlers(), instance));
        kivsdk::await_answer(instance, kivsdk::Side::kUniverse, KIV_CALLBACK_CONNECT_UNIVERSE,
                             kivsdk::Response::kUniverseConnect);
        const int result = kivsdk::server_connect(connection, instance, kivsdk::text_or_empty(host),
                                                  static_cast<std::uint16_t>(port));
        if (instance.discarded()) return KIV_RC_CONNECTION_ERROR;
        if (result != 0 && result != -2) {
            kivsdk::forget_awaited(instance, kivsdk::Response::kUniverseConnect);
            return KIV_RC_CONNECTION_ERROR;
        }
        return kivsdk::finish_blocking_request(instance, KIV_CALLBACK_CONNECT_UNIVERSE,
                                               kivsdk::Response::kUniverseConnect,
                                               kivsdk::kConnectLimitSeconds);
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
        return kivsdk::finish_blocking_request(instance, KIV_CALLBACK_LOGIN,
                                               kivsdk::Response::kLogin,
                                               kivsdk::kLoginLimitSeconds);
    });
}

}  // extern "C"
