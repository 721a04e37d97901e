// The message catalogue: one entry per message, and descriptions that stop
// at the first cut field.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

#include "support/session_fixture.h"
#include "wire/message_catalogue.h"

namespace kivsdk::test {
namespace {

using wire::Direction;
using wire::Encoding;
using wire::Fit;
using wire::Protocol;

Fit describe_body(Protocol protocol, Direction direction, const Bytes& body, std::string& text) {
    return wire::describe(protocol, direction, body.data(), body.size(), text);
}

TEST(MessageCatalogue, EachMessageIsListedOnceAndOnlyLastFieldsTakeTheRest) {
    std::set<std::tuple<Protocol, Direction, int>> seen;
    for (const wire::MessageSpec* message = wire::catalogue_begin();
         message != wire::catalogue_end(); ++message) {
        EXPECT_TRUE(seen.emplace(message->protocol, message->direction, message->type).second)
            << message->name << " is listed twice";
        for (std::size_t index = 0; index + 1 < message->field_count; ++index) {
            EXPECT_NE(message->fields[index].encoding, Encoding::kRest)
                << message->name << ": only the last field can take the rest of the frame";
        }
    }
    EXPECT_EQ(wire::find_message(Protocol::kWorld, Direction::kFromServer, 200), nullptr);
    const wire::MessageSpec* chat = wire::find_message(Protocol::kWorld, Direction::kToServer, 9);
    ASSERT_NE(chat, nullptr);
    EXPECT_STREQ(chat->name, "say");
}

TEST(MessageCatalogue, DescribesExactShortLongAndUnknownBodies) {
    std::string text;
    const Bytes chat = Message(9).string("Ann").string("hi \"there\"\n").int32(4).bytes();
    EXPECT_EQ(describe_body(Protocol::kWorld, Direction::kFromServer, chat, text), Fit::kExact);
    EXPECT_EQ(text,
              "chat name=\"Ann\" text=\"hi \\x22there\\x22\\x0a\" session=4 console=<0 bytes>");

    Bytes cut = Message(13).int32(7).float32(1.5f).bytes();
    cut.push_back(0x40);  // a float cut after its first byte
    EXPECT_EQ(describe_body(Protocol::kWorld, Direction::kFromServer, cut, text), Fit::kShort);
    EXPECT_EQ(text, "avatar added session=7 x=1.5 y=<cut>");

    const Bytes longer = Message(1).byte(0).byte(99).bytes();
    EXPECT_EQ(describe_body(Protocol::kWorld, Direction::kFromServer, longer, text), Fit::kLong);
    EXPECT_EQ(text, "world login reply status=0");

    EXPECT_EQ(describe_body(Protocol::kUniverse, Direction::kFromServer, Bytes{250}, text),
              Fit::kUnknown);
    EXPECT_EQ(text, "unknown type 250");
    EXPECT_EQ(describe_body(Protocol::kUniverse, Direction::kFromServer, Bytes{}, text),
              Fit::kUnknown);
}

TEST(MessageCatalogue, DirectionsOfOneTypeAreToldApart) {
    std::string text;
    const Bytes state =
        Message(14).float32(1).float32(2).float32(3).float32(0).float32(0).int32(5).bytes();
    EXPECT_EQ(describe_body(Protocol::kWorld, Direction::kToServer, state, text), Fit::kExact);
    EXPECT_EQ(text.rfind("own state", 0), 0u) << text;
    EXPECT_EQ(describe_body(Protocol::kWorld, Direction::kFromServer, state, text), Fit::kShort)
        << "an avatar change from the server starts with a session";
}

}  // namespace
}  // namespace kivsdk::test
