// kivdump reads back what a capture recorded, message for message, and
// refuses files it cannot read.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capture_dump.h"
#include "support/session_fixture.h"
#include "support/temp_path.h"

namespace kivsdk::test {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The JSON lines without their time (which the clock decides).
std::vector<std::string> untimed(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        const std::size_t side = line.find(",\"side\"");
        EXPECT_EQ(line.rfind("{\"time_us\":", 0), 0u) << line;
        out.push_back(side == std::string::npos ? line : "{" + line.substr(side + 1));
    }
    return out;
}

class Kivdump : public SessionTest {
protected:
    std::string path = temp_path_for_this_test(".kivcap");
    std::ostringstream out, err;

    void TearDown() override {
        SessionTest::TearDown();
        std::remove(path.c_str());
    }
    int dump(std::vector<std::string> arguments) {
        out.str("");
        err.str("");
        arguments.push_back(path);
        return tools::run(arguments, out, err);
    }
    void write_file(const Bytes& bytes) {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    // A session of both sides, captured: login, its reply, a chat, a say.
    void capture_session() {
        RecordingTable::Socket& universe = open_universe();
        ASSERT_EQ(kiv_capture_start(handle, path.c_str(), 0), KIV_RC_SUCCESS);
        kiv_string_set(handle, KIV_LOGIN_EXTRA_1, "token-19");
        kiv_callback_set(handle, KIV_CALLBACK_LOGIN, [](KIVInstance*, int, int) {});
        ASSERT_EQ(kiv_login(handle, "ann", "hunter2", "third"), KIV_RC_SUCCESS);
        receive(universe, Message(1).byte(0).int32(5).string("hi \"ann\"").bytes());
        RecordingTable::Socket& world = open_world();
        receive(world, Message(9).string("Bob").string("h\xe9llo\n").int32(2).bytes());
        ASSERT_EQ(kiv_say(handle, "hi bob"), KIV_RC_SUCCESS);
        ASSERT_EQ(kiv_capture_stop(handle), KIV_RC_SUCCESS);
    }
};

TEST_F(Kivdump, JsonLinesGiveEveryCapturedMessageInOrderWithItsFields) {
    capture_session();
    ASSERT_EQ(dump({"--json"}), 0) << err.str();
    EXPECT_EQ(
        untimed(lines_of(out.str())),
        (std::vector<std::string>{
            R"({"side":"universe","direction":"to_server","type":1,"name":"login","fields":{"version":1,"name":"XXX","password":"XXXXXXX","extra":"XXXXX","extra_1":"XXXXXXXX","extra_2":""},"fit":"exact"})",
            R"({"side":"universe","direction":"from_server","type":1,"name":"login reply","fields":{"result":0,"value":5,"text":"hi \"ann\""},"fit":"exact"})",
            R"({"side":"world","event":"connected","status":0,"detail":0,"tls_result":0,"verify_flags":0})",
            R"({"side":"world","direction":"from_server","type":9,"name":"chat","fields":{"name":"Bob","text":"h\u00e9llo\u000a","session":2,"console":""},"fit":"exact"})",
            R"({"side":"world","direction":"to_server","type":9,"name":"say","fields":{"text":"hi bob"},"fit":"exact"})",
        }));
    const std::string text = out.str();
    for (const char* secret : {"hunter2", "token-19", "third", "\"ann\","}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    }

    ASSERT_EQ(dump({}), 0);
    const std::vector<std::string> lines = lines_of(out.str());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[4].find(" world    \xe2\x86\x92 say text=\"hi bob\""), std::string::npos)
        << lines[4];
    EXPECT_NE(lines[2].find(" world    \xe2\x80\xa2 connected status=0"), std::string::npos)
        << lines[2];
    EXPECT_NE(lines[1].find(" universe \xe2\x86\x90 login reply"), std::string::npos) << lines[1];
}

TEST_F(Kivdump, FiltersBySideAndType) {
    capture_session();
    ASSERT_EQ(dump({"--json", "--side", "world"}), 0);
    const std::vector<std::string> world = lines_of(out.str());
    ASSERT_EQ(world.size(), 3u);
    EXPECT_NE(world[0].find("\"event\":\"connected\""), std::string::npos);
    EXPECT_NE(world[1].find("\"name\":\"chat\""), std::string::npos);
    EXPECT_NE(world[2].find("\"name\":\"say\""), std::string::npos);

    ASSERT_EQ(dump({"--json", "--type", "9"}), 0);
    EXPECT_EQ(lines_of(out.str()).size(), 2u) << "chat and say, no connection record";
    ASSERT_EQ(dump({"--json", "--type", "1", "--type", "9"}), 0);
    EXPECT_EQ(lines_of(out.str()).size(), 4u);
    ASSERT_EQ(dump({"--side", "universe", "--type", "9"}), 0);
    EXPECT_EQ(out.str(), "");

    EXPECT_EQ(dump({"--side", "moon"}), 2);
    EXPECT_EQ(dump({"--type", "256"}), 2);
    EXPECT_EQ(dump({"--type"}), 2) << "the file is taken as the missing value";
}

TEST_F(Kivdump, ABadFileIsRefusedWithExitCodeTwoAfterTheRecordsBeforeTheFault) {
    const Bytes header{'K', 'I', 'V', 'C', 'A', 'P', 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};
    const Bytes say_record{0, 0, 0, 0, 0, 0, 0, 5, 1, 0, 0, 4, 4, 2, 'h', 'i'};
    struct Case {
        const char* what;
        Bytes file;
        const char* message;
    };
    Bytes wrong_magic = header;
    wrong_magic[0] = 'X';
    Bytes version_3 = header;
    version_3[7] = 3;
    // Version 1 had frames only; version 2 connection records hold 16 bytes.
    Bytes old_event = header;
    old_event.insert(old_event.end(), say_record.begin(), say_record.end());
    old_event[16 + 9] = 2;
    Bytes short_event = old_event;
    short_event[7] = 2;
    Bytes cut_body = header;
    cut_body.insert(cut_body.end(), say_record.begin(), say_record.end());
    cut_body.insert(cut_body.end(), say_record.begin(), say_record.end() - 1);
    Bytes cut_head = header;
    cut_head.insert(cut_head.end(), say_record.begin(), say_record.begin() + 5);
    Bytes bad_side = header;
    bad_side.insert(bad_side.end(), say_record.begin(), say_record.end());
    bad_side[16 + 8] = 2;
    for (const Case& bad : {
             Case{"wrong magic", wrong_magic, "not a capture file"},
             Case{"empty", Bytes(), "not a capture file"},
             Case{"header cut", Bytes(header.begin(), header.begin() + 10), "truncated header"},
             Case{"version 3", version_3, "unknown capture format version 3"},
             Case{"event in version 1", old_event, "names direction 2"},
             Case{"event of 4 bytes", short_event, "connection record of 4 bytes, not 16"},
             Case{"body cut", cut_body, "truncated record at byte 32: 3 of 4 body bytes"},
             Case{"record head cut", cut_head, "truncated record at byte 16: 5 of 12"},
             Case{"side 2", bad_side, "names side 2"},
         }) {
        write_file(bad.file);
        EXPECT_EQ(dump({"--json"}), 2) << bad.what;
        EXPECT_NE(err.str().find(bad.message), std::string::npos) << bad.what << ": " << err.str();
        EXPECT_EQ(lines_of(out.str()).size(), bad.file == cut_body ? 1u : 0u) << bad.what;
    }
    std::remove(path.c_str());
    EXPECT_EQ(dump({}), 2);
    EXPECT_NE(err.str().find("cannot open"), std::string::npos);
}

}  // namespace
}  // namespace kivsdk::test
