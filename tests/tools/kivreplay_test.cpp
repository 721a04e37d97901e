// kivreplay plays a recorded session with its built-in host: it repeats the
// steps that shape a session, passes over other requests, prints what the
// host saw, and says when a capture asks for what it cannot do.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "kivsdk.h"
#include "replay_run.h"
#include "support/capture_builder.h"
#include "support/temp_path.h"

namespace kivsdk::test {
namespace {

using wire::CaptureKind;
constexpr unsigned char kWorld = CaptureBuilder::kWorld;

// The lines without their time.
std::vector<std::string> untimed(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const std::size_t kind = line.find(",\"kind\"");
        lines.push_back(kind == std::string::npos ? line : "{" + line.substr(kind + 1));
    }
    return lines;
}

// A whole session: connect, login, enter "lobby" (its world over plain TCP),
// a chat heard, a say, an object add, and the world lost.
CaptureBuilder session() {
    CaptureBuilder capture;
    capture.opening().login();
    CaptureBuilder::Bytes entry_reply{2, 0};
    entry_reply.insert(entry_reply.end(), 32, 'X');
    entry_reply.insert(entry_reply.end(), {127, 0, 0, 1, 0x1b, 0x58, 0, 0, 0, 0, 0, 0});
    CaptureBuilder::Bytes world_login{1};
    world_login.insert(world_login.end(), 32, 'X');
    world_login.insert(world_login.end(), {0, 0});
    capture.frame(60, CaptureKind::kToServer, {2, 5, 'l', 'o', 'b', 'b', 'y'})
        .frame(70, CaptureKind::kFromServer, entry_reply)
        .event(80, CaptureKind::kConnected, 0, 0, kWorld)
        .frame(90, CaptureKind::kToServer, world_login, kWorld)
        .frame(100, CaptureKind::kFromServer, {1, 0}, kWorld)
        .frame(110, CaptureKind::kFromServer, {9, 3, 'a', 'n', 'n', 2, 'h', 'i', 0, 0, 0, 4},
               kWorld)
        .frame(120, CaptureKind::kToServer, {9, 5, 'h', 'e', 'l', 'l', 'o'}, kWorld)
        .frame(130, CaptureKind::kToServer, {12, 0, 0, 0, 1, 0, 0, 0, 9},
               kWorld)  // another request
        .event(140, CaptureKind::kReported, -1, KIV_DETAIL_CLOSED_BY_PEER, kWorld);
    return capture;
}

class Kivreplay : public ::testing::Test {
protected:
    std::string path = temp_path_for_this_test(".kivcap");
    std::ostringstream out, err;
    void TearDown() override { std::remove(path.c_str()); }
    int run(std::vector<std::string> arguments) {
        out.str("");
        err.str("");
        arguments.push_back(path);
        return tools::replay(arguments, out, err);
    }
};

TEST_F(Kivreplay, RepeatsTheSessionsStepsAndPrintsWhatTheHostSaw) {
    session().save(path);
    ASSERT_EQ(run({"--json"}), 0) << err.str();
    EXPECT_EQ(
        untimed(out.str()),
        (std::vector<std::string>{
            R"({"kind":"action","action":"connect_universe"})",
            R"({"kind":"callback","number":13,"name":"connect_universe","rc":0,"reference":0})",
            R"({"kind":"action","action":"login","argument":"ann"})",
            R"({"kind":"callback","number":10,"name":"login","rc":0,"reference":0})",
            R"({"kind":"action","action":"enter","argument":"lobby"})",
            R"({"kind":"callback","number":11,"name":"enter","rc":0,"reference":0})",
            R"({"kind":"event","number":0,"name":"chat"})",
            R"({"kind":"action","action":"say","argument":"hello"})",
            R"({"kind":"action","action":"skip","argument":"object delete reference=1 object_id=9"})",
            R"({"kind":"event","number":12,"name":"world_disconnect"})",
            R"({"finished":true,"records":15,"position":15,"skipped":1,"sent":5,"mismatched":0})",
        }));

    ASSERT_EQ(run({"--attributes"}), 0);
    EXPECT_NE(out.str().find("event 0 chat "), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("s1=\"hi\""), std::string::npos) << "the chat line, string 1";
    EXPECT_NE(out.str().find("replayed 15 records (1 skipped)"), std::string::npos);
}

TEST_F(Kivreplay, SaysWhereAReplayStallsAndRefusesBadInput) {
    // A world the host never asked for: its connection never comes.
    CaptureBuilder capture;
    capture.opening().login().event(60, CaptureKind::kConnected, 0, 0, kWorld);
    capture.save(path);
    EXPECT_EQ(run({}), 1);
    EXPECT_NE(err.str().find("stalled at record 6 of 7: it waits for a connection the host does "
                             "not open on the world side"),
              std::string::npos)
        << err.str();

    CaptureBuilder::save(path, {'K', 'I', 'V'});
    EXPECT_EQ(run({}), 2);
    EXPECT_NE(err.str().find("not a whole capture: not a capture file"), std::string::npos)
        << err.str();
    EXPECT_EQ(run({"--fast"}), 2) << "unknown option";
    std::remove(path.c_str());
    EXPECT_EQ(run({}), 2);
    EXPECT_NE(err.str().find("cannot read"), std::string::npos);
}

}  // namespace
}  // namespace kivsdk::test
