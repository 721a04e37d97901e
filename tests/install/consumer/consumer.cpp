// Uses the installed library through the C++ header.
#include <kivsdk.hpp>

#include <iostream>

int main() {
    int failures = 0;
    if (kivsdk::init() != kivsdk::ReturnCode::success) ++failures;
    {
        kivsdk::Client client;
        int chats = 0;
        client.on(KIV_EVENT_CHAT, [&chats](kivsdk::Client&) { ++chats; });
        client.set(KIV_AVATAR_NAME, "consumer");
        if (client.get(KIV_AVATAR_NAME) != "consumer") ++failures;
        if (client.say("hello") != kivsdk::ReturnCode::not_in_world) ++failures;
        try {
            kivsdk::check(client.wait(0), "wait");
            ++failures;
        } catch (const kivsdk::Error& error) {
            if (error.code() != kivsdk::ReturnCode::connection_error) ++failures;
        }
        if (chats != 0) ++failures;
    }
    if (failures != 0) {
        std::cerr << failures << " checks failed\n";
        return 1;
    }
    std::cout << "KIVSDK " << KIVSDK_VERSION_MAJOR << '.' << KIVSDK_VERSION_MINOR << " from C++\n";
    return 0;
}
