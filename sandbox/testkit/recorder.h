// Recorder: every frame that the sandbox's clients sent, in order, with the
// service that got it and the client's user name once its login succeeded,
// so a test can say what a bot sent as decoded messages.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "core/server_loop.h"

namespace kivsdk::testkit {

class Recorder {
public:
    // Starts recording what `loop`'s clients send; from the loop's thread or
    // before it runs.
    void attach(server::ServerLoop& loop);

    // What `user` sent to `where` ("universe" or a world's name), oldest
    // first, each as the message catalogue describes it: the message's name
    // and its fields ("say text=\"hi\""). Messages sent before the login
    // are not the user's yet and are left out.
    std::vector<std::string> sent_by(const std::string& user, const std::string& where) const;
    void clear() { sent_.clear(); }

private:
    struct Sent {
        std::string where;
        std::string user;
        std::vector<unsigned char> body;
    };

    void record(const server::Peer& peer, const unsigned char* body, std::size_t size);

    std::deque<Sent> sent_;
};

}  // namespace kivsdk::testkit
