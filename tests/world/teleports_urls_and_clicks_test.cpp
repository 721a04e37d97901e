// Clicks, teleports, URLs and console messages over the recording table:
// the frames sent, the order of the refusals, and the incoming click,
// teleport and URL messages.
#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "support/session_fixture.h"
#include "wire/packet_reader.h"
#include "world/world_session.h"

namespace kivsdk::test {
namespace {

struct Click {
    int session, clicked;
    double x, y, z;
};
struct Teleport {
    int session;
    std::string world;
    std::array<double, 5> position;
};
struct Url {
    int session, target;
    std::string text;
};
struct Seen {
    std::vector<Click> clicks;
    std::vector<Teleport> teleports;
    std::vector<Url> urls;
};
Seen seen;

void record_click(KIVInstance* instance) {
    seen.clicks.push_back(
        {kiv_int(instance, KIV_AVATAR_SESSION), kiv_int(instance, KIV_CLICKED_SESSION),
         kiv_double(instance, KIV_CLICK_HIT_X), kiv_double(instance, KIV_CLICK_HIT_Y),
         kiv_double(instance, KIV_CLICK_HIT_Z)});
}
void record_teleport(KIVInstance* instance) {
    seen.teleports.push_back(
        {kiv_int(instance, KIV_AVATAR_SESSION),
         kiv_string(instance, KIV_TELEPORT_WORLD),
         {kiv_double(instance, KIV_TELEPORT_X), kiv_double(instance, KIV_TELEPORT_Y),
          kiv_double(instance, KIV_TELEPORT_Z), kiv_double(instance, KIV_TELEPORT_YAW),
          kiv_double(instance, KIV_TELEPORT_PITCH)}});
}
void record_url(KIVInstance* instance) {
    seen.urls.push_back({kiv_int(instance, KIV_AVATAR_SESSION), kiv_int(instance, KIV_URL_TARGET),
                         kiv_string(instance, KIV_URL)});
}

class DirectedRequests : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        seen = Seen{};
        kiv_event_set(handle, KIV_EVENT_AVATAR_CLICK, record_click);
        kiv_event_set(handle, KIV_EVENT_TELEPORT, record_teleport);
        kiv_event_set(handle, KIV_EVENT_URL, record_url);
    }
};

TEST_F(DirectedRequests, AvatarClickSendsTheHitPointInSinglePrecision) {
    EXPECT_EQ(kiv_avatar_click(handle, 1), KIV_RC_NOT_IN_WORLD);
    RecordingTable::Socket& world = open_world();
    kiv_double_set(handle, KIV_CLICK_HIT_X, 0.1);
    kiv_double_set(handle, KIV_CLICK_HIT_Y, -2.5);
    kiv_double_set(handle, KIV_CLICK_HIT_Z, 3.0);
    ASSERT_EQ(kiv_avatar_click(handle, 42), 0);
    const std::vector<Bytes> frames = sent(world);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0],
              (Bytes{30, 0, 0, 0, 42, 0x3D, 0xCC, 0xCC, 0xCD, 0xC0, 0x20, 0, 0, 0x40, 0x40, 0, 0}));

    instance().world.ready = false;
    EXPECT_EQ(kiv_avatar_click(handle, 42), KIV_RC_NOT_IN_WORLD);
    EXPECT_TRUE(sent(world).empty());
    EXPECT_EQ(kiv_avatar_click(nullptr, 42), KIV_RC_INVALID_ARGUMENT);
}

TEST_F(DirectedRequests, TeleportFrameCutsTheWorldName) {
    EXPECT_EQ(kiv_teleport_avatar(handle, 1, "w", 0, 0, 0, 0, 0), KIV_RC_NOT_IN_WORLD);
    RecordingTable::Socket& world = open_world();
    const std::string long_world = std::string(255, 'w') + "tail";
    ASSERT_EQ(kiv_teleport_avatar(handle, 5, "Alpha", 1.5f, -2.0f, 0.1f, 90.0f, -45.0f), 0);
    ASSERT_EQ(kiv_teleport_avatar(handle, -6, long_world.c_str(), 0, 0, 0, 0, 0), 0);
    ASSERT_EQ(kiv_teleport_avatar(handle, 7, nullptr, 1, 2, 3, 4, 5), 0);
    EXPECT_EQ(sent(world), (std::vector<Bytes>{Message(31)
                                                   .int32(5)
                                                   .string("Alpha")
                                                   .float32(1.5f)
                                                   .float32(-2.0f)
                                                   .float32(0.1f)
                                                   .float32(90.0f)
                                                   .float32(-45.0f)
                                                   .bytes(),
                                               Message(31)
                                                   .int32(-6)
                                                   .string(std::string(255, 'w'))
                                                   .float32(0)
                                                   .float32(0)
                                                   .float32(0)
                                                   .float32(0)
                                                   .float32(0)
                                                   .bytes(),
                                               Message(31)
                                                   .int32(7)
                                                   .string("")
                                                   .float32(1)
                                                   .float32(2)
                                                   .float32(3)
                                                   .float32(4)
                                                   .float32(5)
                                                   .bytes()}));
}

TEST_F(DirectedRequests, UrlLimitIsTestedAfterTheWorldConnection) {
    const std::string longest(2048, 'u');
    const std::string overlong(2049, 'u');
    EXPECT_EQ(kiv_url_send(handle, 1, overlong.c_str(), 0), KIV_RC_NOT_IN_WORLD);

    RecordingTable::Socket& world = open_world();
    EXPECT_EQ(kiv_url_send(handle, 1, overlong.c_str(), 0), KIV_RC_STRING_TOO_LONG);
    EXPECT_TRUE(sent(world).empty());
    ASSERT_EQ(kiv_url_send(handle, 9, longest.c_str(), 258), 0);
    ASSERT_EQ(kiv_url_send(handle, 10, nullptr, -1), 0);
    EXPECT_EQ(sent(world),
              (std::vector<Bytes>{Message(32).int32(9).byte(2).blob16(longest).bytes(),
                                  Message(32).int32(10).byte(255).blob16("").bytes()}));

    instance().world.ready = false;
    EXPECT_EQ(kiv_url_send(handle, 1, "x", 0), KIV_RC_NOT_IN_WORLD);
    EXPECT_TRUE(sent(world).empty());
}

TEST_F(DirectedRequests, ConsoleMessageLengthsAreTestedBeforeTheGate) {
    const std::string longest(255, 'm');
    const std::string overlong(256, 'm');
    EXPECT_EQ(kiv_console_message(handle, 1, overlong.c_str(), overlong.c_str(), 0, 0, 0, 0),
              KIV_RC_STRING_TOO_LONG);
    EXPECT_EQ(kiv_console_message(handle, 1, overlong.c_str(), "hi", 0, 0, 0, 0),
              KIV_RC_STRING_TOO_LONG);
    EXPECT_EQ(kiv_console_message(handle, 1, "Bot", overlong.c_str(), 0, 0, 0, 0),
              KIV_RC_STRING_TOO_LONG);
    EXPECT_EQ(kiv_console_message(handle, 1, "Bot", "hi", 0, 0, 0, 0), KIV_RC_NOT_IN_WORLD);

    RecordingTable::Socket& world = open_world();
    ASSERT_EQ(kiv_console_message(handle, 3, "Bot", "hello", 1, 255, 256 + 7, -1), 0);
    ASSERT_EQ(kiv_console_message(handle, 4, nullptr, nullptr, 0, 0, 0, 0), 0);
    ASSERT_EQ(kiv_console_message(handle, 5, longest.c_str(), longest.c_str(), 2, 3, 4, 5), 0);
    EXPECT_EQ(sent(world),
              (std::vector<Bytes>{
                  Message(4)
                      .int32(3)
                      .string("Bot")
                      .string("hello")
                      .byte(1)
                      .byte(255)
                      .byte(7)
                      .byte(255)
                      .bytes(),
                  Message(4).int32(4).string("").string("").byte(0).byte(0).byte(0).byte(0).bytes(),
                  Message(4)
                      .int32(5)
                      .string(longest)
                      .string(longest)
                      .byte(2)
                      .byte(3)
                      .byte(4)
                      .byte(5)
                      .bytes()}));
}

TEST_F(DirectedRequests, IncomingClickNeedsBothSessions) {
    RecordingTable::Socket& world = open_world();
    receive(world,
            Message(30).int32(4).int32(8).float32(0.1f).float32(-1.0f).float32(2.5f).bytes());
    ASSERT_EQ(seen.clicks.size(), 1u);
    EXPECT_EQ(seen.clicks[0].session, 4);
    EXPECT_EQ(seen.clicks[0].clicked, 8);
    EXPECT_EQ(seen.clicks[0].x, double{0.1f}) << "widened, not rounded to 0.1";
    EXPECT_EQ(seen.clicks[0].y, -1.0);
    EXPECT_EQ(seen.clicks[0].z, 2.5);

    receive(world, Message(30).int32(5).raw({0, 0, 9}).bytes());
    EXPECT_EQ(seen.clicks.size(), 1u) << "7 bytes of fields fire nothing";
    EXPECT_EQ(kiv_int(handle, KIV_AVATAR_SESSION), 4);

    receive(world, Message(30).int32(5).int32(6).float32(7.0f).raw({1, 2}).bytes());
    ASSERT_EQ(seen.clicks.size(), 2u);
    EXPECT_EQ(seen.clicks[1].session, 5);
    EXPECT_EQ(seen.clicks[1].clicked, 6);
    EXPECT_EQ(seen.clicks[1].x, 7.0);
    EXPECT_EQ(seen.clicks[1].y, -1.0) << "missing floats keep their values";
    EXPECT_EQ(seen.clicks[1].z, 2.5);
}

TEST_F(DirectedRequests, IncomingTeleportStartsFromZeros) {
    RecordingTable::Socket& world = open_world();
    receive(world, Message(31)
                       .int32(12)
                       .string("Beta")
                       .float32(1)
                       .float32(2)
                       .float32(3)
                       .float32(0.1f)
                       .float32(-5)
                       .bytes());
    EXPECT_STREQ(kiv_string(handle, KIV_TELEPORT_WORLD), "Beta")
        << "the world stays after the event";

    receive(world, Message(31).int32(13).string("").float32(8).bytes());
    receive(world, Message(31).bytes());
    // A world name whose length lies: the floats behind it are not read.
    receive(world, Message(31).int32(14).byte(30).float32(1).float32(2).bytes());

    ASSERT_EQ(seen.teleports.size(), 4u);
    EXPECT_EQ(seen.teleports[0].session, 12);
    EXPECT_EQ(seen.teleports[0].world, "Beta");
    EXPECT_EQ(seen.teleports[0].position, (std::array<double, 5>{1, 2, 3, double{0.1f}, -5}));
    EXPECT_EQ(seen.teleports[1].session, 13);
    EXPECT_EQ(seen.teleports[1].world, "");
    EXPECT_EQ(seen.teleports[1].position, (std::array<double, 5>{8, 0, 0, 0, 0}));
    EXPECT_EQ(seen.teleports[2].session, 0);
    EXPECT_EQ(seen.teleports[2].position, (std::array<double, 5>{}));
    EXPECT_EQ(seen.teleports[3].session, 14);
    EXPECT_EQ(seen.teleports[3].world, "");
    EXPECT_EQ(seen.teleports[3].position, (std::array<double, 5>{}));
}

TEST_F(DirectedRequests, IncomingUrlIsTextAndLivesOnlyDuringItsEvent) {
    RecordingTable::Socket& world = open_world();
    receive(
        world,
        Message(32).int32(21).byte(200).blob16(std::string("http://a.test/\0hidden", 21)).bytes());
    ASSERT_EQ(seen.urls.size(), 1u);
    EXPECT_EQ(seen.urls[0].session, 21);
    EXPECT_EQ(seen.urls[0].target, 200);
    EXPECT_EQ(seen.urls[0].text, "http://a.test/");
    EXPECT_STREQ(kiv_string(handle, KIV_URL), "");

    receive(world, Message(32).int32(22).byte(1).bytes());
    receive(world, Message(32).int32(23).byte(1).uint16(10).raw({'h', 't'}).bytes());
    receive(world, Message(32).int32(24).bytes());
    EXPECT_EQ(seen.urls.size(), 1u) << "a URL missing any field fires nothing";
    EXPECT_EQ(kiv_int(handle, KIV_AVATAR_SESSION), 21);
    EXPECT_EQ(kiv_int(handle, KIV_URL_TARGET), 200);
}

TEST_F(DirectedRequests, EveryPrefixOfAUrlOrTeleportStaysInsideItsFrame) {
    const Bytes url = Message(32).int32(1).byte(2).blob16(std::string(300, 'u')).bytes();
    const Bytes teleport = Message(31)
                               .int32(1)
                               .string(std::string(200, 't'))
                               .float32(1)
                               .float32(2)
                               .float32(3)
                               .float32(4)
                               .float32(5)
                               .bytes();
    for (const Bytes* full : {&url, &teleport}) {
        for (std::size_t length = 0; length + 1 <= full->size(); ++length) {
            seen = Seen{};
            auto block = std::make_unique<unsigned char[]>(length);
            std::memcpy(block.get(), full->data() + 1, length);
            PacketReader body(block.get(), static_cast<std::uint16_t>(length));
            const bool complete = length + 1 == full->size();
            if (full == &url) {
                on_url(instance(), body);
                ASSERT_EQ(seen.urls.size(), complete ? 1u : 0u) << length;
            } else {
                on_teleport(instance(), body);
                ASSERT_EQ(seen.teleports.size(), 1u) << length;
                ASSERT_EQ(seen.teleports[0].world.empty(), length < 5 + 200) << length;
            }
        }
    }
}

}  // namespace
}  // namespace kivsdk::test
