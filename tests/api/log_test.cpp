// Diagnostic lines go through one route: the Instance's own when set, else
// the global one, which writes the library's warnings to standard output.
#include <string>
#include <vector>

#include "support/session_fixture.h"

namespace kivsdk::test {
namespace {

struct Line {
    KIVInstance* instance;
    int level;
    std::string category, text;
};
std::vector<Line> lines;

void collect(KIVInstance* instance, int level, const char* category, const char* text) {
    lines.push_back({instance, level, category, text});
}

class Log : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        lines.clear();
    }
    void TearDown() override {
        kiv_log_set(nullptr, KIV_LOG_WARNING, nullptr);
        SessionTest::TearDown();
    }
};

TEST_F(Log, AnInstancesRouteTakesItsLinesAndTheGlobalOneStaysQuiet) {
    ASSERT_EQ(kiv_log_set(handle, KIV_LOG_INFO, collect), KIV_RC_SUCCESS);
    testing::internal::CaptureStdout();
    RecordingTable::Socket& universe = open_universe();
    receive(universe, Message(200).bytes());
    net.serve_close(universe);
    net.post(universe, KIV_NET_READABLE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "nothing goes to standard output";

    std::vector<std::string> seen;
    for (const Line& line : lines) {
        EXPECT_EQ(line.instance, handle);
        seen.push_back(line.category + " " + std::to_string(line.level) + " " + line.text);
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{
                  "net 2 connecting to universe.test:6670\n",
                  "net 2 connected to universe.test:6670\n",
                  "universe 1 Unknown message type: 200\n",
                  "universe 2 universe connection to universe.test lost: closed by the server\n",
              }));
}

TEST_F(Log, TheGlobalRouteKeepsTheOldLinesUntilItIsChanged) {
    RecordingTable::Socket& world = open_world();
    testing::internal::CaptureStdout();
    receive(world, Message(200).bytes());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown message type: 200\n");

    ASSERT_EQ(kiv_log_set(nullptr, KIV_LOG_OFF, nullptr), KIV_RC_SUCCESS);
    testing::internal::CaptureStdout();
    receive(world, Message(200).bytes());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    ASSERT_EQ(kiv_log_set(nullptr, KIV_LOG_WARNING, collect), KIV_RC_SUCCESS);
    receive(world, Message(17).int32(77).byte(0).bytes());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].category, "net");
    EXPECT_EQ(lines[0].text, "Unknown transaction ID 77 with result 0\n");

    EXPECT_EQ(kiv_log_set(nullptr, KIV_LOG_DEBUG + 1, nullptr), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_log_set(handle, KIV_LOG_OFF - 1, nullptr), KIV_RC_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace kivsdk::test
