// What a host sees of one Instance in the reliability tests: the chat lines
// it heard, the losses reported for each connection, the enter results. The
// Instance's user data points at the Observer.
#pragma once

#include <string>
#include <vector>

#include "kivsdk.h"
#include "support/recording_table.h"
#include "support/session_fixture.h"  // cut_frames

namespace kivsdk::test {

struct Observer {
    std::vector<std::string> heard;    // chat texts, in arrival order
    std::vector<int> world_losses;     // int 34 at each world disconnect event
    std::vector<int> universe_losses;  // int 34 at each universe disconnect event
    std::vector<int> enter_results;    // callback 11
    std::vector<int> connect_results;  // callback 13

    // Sets the handlers on the Instance and makes this its user data.
    void attach(KIVInstance* instance, bool enter_by_callback);

    // World losses other than stall reports (16).
    int world_lost() const;
};

// A chat line's text from a body the library sent (type 9, STRING), or
// nullopt-like empty with ok false for anything else.
bool said_text(const Bytes& body, std::string& text);

// A world chat message (type 9) as a server sends it.
Bytes chat_body(const std::string& name, const std::string& text, int session = 1);

}  // namespace kivsdk::test
