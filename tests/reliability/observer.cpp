#include "reliability/observer.h"

#include <algorithm>

#include "support/session_fixture.h"

namespace kivsdk::test {
namespace {

Observer& observer_of(KIVInstance* instance) {
    return *static_cast<Observer*>(kiv_user_data(instance));
}

void on_chat(KIVInstance* instance) {
    observer_of(instance).heard.emplace_back(kiv_string(instance, KIV_CHAT_MESSAGE));
}
void on_world_disconnect(KIVInstance* instance) {
    observer_of(instance).world_losses.push_back(kiv_int(instance, KIV_DISCONNECT_REASON));
}
void on_universe_disconnect(KIVInstance* instance) {
    observer_of(instance).universe_losses.push_back(kiv_int(instance, KIV_DISCONNECT_REASON));
}
void on_enter(KIVInstance* instance, int rc, int) {
    observer_of(instance).enter_results.push_back(rc);
}
void on_connect(KIVInstance* instance, int rc, int) {
    observer_of(instance).connect_results.push_back(rc);
}

}  // namespace

void Observer::attach(KIVInstance* instance, bool enter_by_callback) {
    kiv_user_data_set(instance, this);
    kiv_event_set(instance, KIV_EVENT_CHAT, &on_chat);
    kiv_event_set(instance, KIV_EVENT_WORLD_DISCONNECT, &on_world_disconnect);
    kiv_event_set(instance, KIV_EVENT_UNIVERSE_DISCONNECT, &on_universe_disconnect);
    if (enter_by_callback) {
        kiv_callback_set(instance, KIV_CALLBACK_ENTER, &on_enter);
        kiv_callback_set(instance, KIV_CALLBACK_CONNECT_UNIVERSE, &on_connect);
    }
}

int Observer::world_lost() const {
    return static_cast<int>(std::count_if(world_losses.begin(), world_losses.end(),
                                          [](int reason) { return reason != 16; }));
}

bool said_text(const Bytes& body, std::string& text) {
    if (body.size() < 2 || body[0] != 9 || body.size() != 2u + body[1]) return false;
    text.assign(body.begin() + 2, body.end());
    return true;
}

Bytes chat_body(const std::string& name, const std::string& text, int session) {
    return Message(9).string(name).string(text).int32(session).byte(0).bytes();
}

}  // namespace kivsdk::test
