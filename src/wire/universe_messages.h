// Message types of the universe protocol. Most numbers serve both
// directions: a request and its answer or entries share one type.
#pragma once

#include <cstdint>

namespace kivsdk::universe_message {

enum Type : std::uint8_t {
    kLogin = 1,               // login; its reply
    kWorldEntry = 2,          // world entry request; its reply with the ticket
    kWorldList = 3,           // world list request; one entry per world
    kTransactionResult = 17,  // the answer to a numbered request
    kUserAttributes = 18,     // user attribute request; its entry
    kFriendList = 21,         // friend list request; one entry per friend
    kFriendAdd = 22,
    kFriendDelete = 24,
    kKeepAlive = 28,
    kJoin = 37,  // join request, to the universe and from it
    kJoinAnswer = 38,
    kSecureChannel = 39,  // switch to TLS; the go-ahead
    kInvite = 42,         // invitation, to the universe and from it
    kInviteAnswer = 43,
};

}  // namespace kivsdk::universe_message
