// The recording table's injected faults keep the promises the reliability
// tests build on: a would-block or an empty read is made good by exactly one
// notification after the next pass, never to a destroyed socket, and a short
// write hands the socket a strict prefix of what the library offered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/recording_table.h"
#include "support/session_fixture.h"

namespace kivsdk::test {
namespace {

std::vector<std::string> chat_heard;

void on_chat(KIVInstance* instance) {
    chat_heard.push_back(kiv_string(instance, KIV_CHAT_MESSAGE));
}

class RecordingTableFaults : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        chat_heard.clear();
        world = &open_world();
        sent(*world);
        ASSERT_EQ(kiv_event_set(handle, KIV_EVENT_CHAT, &on_chat), 0);
    }

    void inject(RecordingTable::Faults odds) { net.inject_faults(odds, 7); }

    RecordingTable::Socket* world = nullptr;
};

TEST_F(RecordingTableFaults, WouldBlockWriteIsOwedOneWritableAfterTheNextPass) {
    RecordingTable::Faults odds;
    odds.would_block_writes = 1000;
    inject(odds);
    const int notified = net.last_pass().notifications;
    ASSERT_EQ(kiv_say(handle, "held back"), 0);
    EXPECT_GE(net.injected().would_block_writes, 1);
    EXPECT_EQ(net.log.back().name, "send");
    EXPECT_EQ(net.log.back().result, -2);
    EXPECT_TRUE(sent(*world).empty());
    EXPECT_EQ(net.last_pass().notifications, notified) << "paid before the next pass";

    inject({});
    kiv_wait(handle, 0);
    EXPECT_EQ(net.last_pass().notifications, 1);
    EXPECT_EQ(sent(*world), std::vector<Bytes>{Message(9).string("held back").bytes()});
    kiv_wait(handle, 0);
    EXPECT_EQ(net.last_pass().notifications, 0) << "the debt was paid twice";
}

TEST_F(RecordingTableFaults, EmptyReadIsOwedOneReadableAfterTheNextPass) {
    RecordingTable::Faults odds;
    odds.empty_reads = 1000;
    inject(odds);
    receive(*world, Message(9).string("Bob").string("late").int32(3).bytes());
    EXPECT_EQ(net.injected().empty_reads, 1);
    EXPECT_TRUE(chat_heard.empty());
    EXPECT_FALSE(world->incoming.empty()) << "the injected empty read consumed bytes";

    inject({});
    kiv_wait(handle, 0);
    EXPECT_EQ(net.last_pass().notifications, 1);
    EXPECT_EQ(chat_heard, std::vector<std::string>{"late"});
    EXPECT_TRUE(world->incoming.empty());
}

TEST_F(RecordingTableFaults, DestroyedSocketIsOwedNothing) {
    RecordingTable::Faults odds;
    odds.would_block_writes = 1000;
    odds.empty_reads = 1000;
    inject(odds);
    ASSERT_EQ(kiv_say(handle, "never sent"), 0);
    receive(*world, Message(9).string("Bob").string("never read").int32(3).bytes());
    ASSERT_EQ(net.injected().would_block_writes + net.injected().empty_reads, 2);
    instance().world.connection.reset();
    ASSERT_TRUE(world->destroyed);

    inject({});
    kiv_wait(handle, 0);
    EXPECT_EQ(net.last_pass().notifications, 0);
    EXPECT_EQ(net.last_pass().operations, 0);
    EXPECT_EQ(net.operations_after_destroy(), 0);
}

TEST_F(RecordingTableFaults, ShortWritesHandOverStrictPrefixes) {
    RecordingTable::Faults odds;
    odds.short_writes = 1000;
    inject(odds);
    const std::size_t first_faulty = net.log.size();
    const std::string line(200, 'x');
    const Bytes body = Message(9).string(line).bytes();
    const std::size_t end = world->written.size() + framed(body).size();
    ASSERT_EQ(kiv_say(handle, line.c_str()), 0);
    for (int pass = 0; pass < 300 && world->written.size() < end; ++pass) {
        net.post(*world, KIV_NET_WRITABLE);
    }
    ASSERT_GE(net.injected().short_writes, 2);
    for (std::size_t i = first_faulty; i < net.log.size(); ++i) {
        const RecordingTable::Operation& op = net.log[i];
        if (op.name != "send") continue;
        EXPECT_GE(op.result, 1);
        if (op.value > 1) {
            EXPECT_LT(op.result, op.value) << "a full write got through";
        }
    }
    EXPECT_EQ(sent(*world), std::vector<Bytes>{body});
}

}  // namespace
}  // namespace kivsdk::test
