// World permissions and settings over the recording table: request frames
// and refusals, the setting and permission-entry messages, and the result
// mapping of their callbacks.
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "support/session_fixture.h"
#include "wire/packet_reader.h"
#include "world/world_session.h"

namespace kivsdk::test {
namespace {

struct Seen {
    std::vector<std::pair<std::string, std::string>> settings;
    int settings_ends = 0;
    std::vector<std::pair<int, std::string>> permissions;
    std::vector<std::array<int, 3>> callbacks;  // number, rc, reference
};
Seen seen;

void record_setting(KIVInstance* instance) {
    seen.settings.emplace_back(kiv_string(instance, KIV_WORLD_SETTING_NAME),
                               kiv_string(instance, KIV_WORLD_SETTING_VALUE));
}
void record_settings_end(KIVInstance*) { ++seen.settings_ends; }
void record_permission(KIVInstance* instance) {
    seen.permissions.emplace_back(kiv_int(instance, KIV_WORLD_PERMISSION_HOLDER),
                                  kiv_string(instance, KIV_WORLD_PERMISSION_NAME));
}
void record_callback(KIVInstance* instance, int rc, int reference) {
    seen.callbacks.push_back({kiv_int(instance, KIV_CURRENT_CALLBACK), rc, reference});
}

using Entries = std::vector<std::pair<int, std::string>>;

class PermissionsAndSettings : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        seen = Seen{};
        kiv_event_set(handle, KIV_EVENT_WORLD_SETTING, record_setting);
        kiv_event_set(handle, KIV_EVENT_WORLD_SETTINGS_END, record_settings_end);
        kiv_event_set(handle, KIV_EVENT_WORLD_PERMISSION, record_permission);
        for (const int callback :
             {KIV_CALLBACK_WORLD_PERMISSION_USER_SET, KIV_CALLBACK_WORLD_PERMISSION_SESSION_SET,
              KIV_CALLBACK_WORLD_SETTING_SET, KIV_CALLBACK_WORLD_PERMISSIONS_GET_MY,
              KIV_CALLBACK_WORLD_PERMISSIONS_GET_BY_USER, KIV_CALLBACK_WORLD_PERMISSIONS_GET_ALL}) {
            kiv_callback_set(handle, callback, record_callback);
        }
    }
};

TEST_F(PermissionsAndSettings, PermissionChangeFrames) {
    RecordingTable::Socket& world = open_world();
    const std::string longest(255, 'p');
    EXPECT_EQ(kiv_world_permission_user_set(handle, "build", 1234, 1), 0);
    EXPECT_EQ(kiv_world_permission_session_set(handle, "eject", -77, 7), 0);
    EXPECT_EQ(kiv_world_permission_user_set(handle, longest.c_str(), 5, 0), 0);
    EXPECT_EQ(kiv_world_permission_session_set(handle, nullptr, 6, -1), 0);
    EXPECT_EQ(sent(world),
              (std::vector<Bytes>{Message(40).int32(0).byte(1).string("build").int32(1234).bytes(),
                                  Message(41).int32(1).byte(1).string("eject").int32(-77).bytes(),
                                  Message(40).int32(2).byte(0).string(longest).int32(5).bytes(),
                                  Message(41).int32(3).byte(1).string("").int32(6).bytes()}));
    EXPECT_EQ(instance().world.pending.size(), 4u);
}

TEST_F(PermissionsAndSettings, ListAndSettingFrames) {
    RecordingTable::Socket& world = open_world();
    const std::string longest(255, 'v');
    EXPECT_EQ(kiv_world_permissions_get_my(handle), 0);
    EXPECT_EQ(kiv_world_permissions_get_by_user(handle, -5), 0);
    EXPECT_EQ(kiv_world_permissions_get_all(handle), 0);
    EXPECT_EQ(kiv_world_setting_set(handle, "sky", "blue", -1), 0);
    EXPECT_EQ(kiv_world_setting_set(handle, longest.c_str(), longest.c_str(), 3), 0);
    EXPECT_EQ(kiv_world_setting_set(handle, nullptr, nullptr, 0), 0);
    EXPECT_EQ(
        sent(world),
        (std::vector<Bytes>{Message(45).int32(0).bytes(), Message(46).int32(1).int32(-5).bytes(),
                            Message(47).int32(2).bytes(),
                            Message(20).int32(3).int32(-1).string("sky").string("blue").bytes(),
                            Message(20).int32(4).int32(3).string(longest).string(longest).bytes(),
                            Message(20).int32(5).int32(0).string("").string("").bytes()}));
}

TEST_F(PermissionsAndSettings, OverlongStringsReturnStringTooLongBeforeAnythingElse) {
    const std::string overlong(256, 'x');
    EXPECT_EQ(kiv_world_permission_user_set(handle, overlong.c_str(), 1, 1),
              KIV_RC_STRING_TOO_LONG);
    EXPECT_EQ(kiv_world_permission_session_set(handle, overlong.c_str(), 1, 1),
              KIV_RC_STRING_TOO_LONG);
    EXPECT_EQ(kiv_world_setting_set(handle, overlong.c_str(), "v", 0), KIV_RC_STRING_TOO_LONG);
    EXPECT_EQ(kiv_world_setting_set(handle, "n", overlong.c_str(), 0), KIV_RC_STRING_TOO_LONG);
    EXPECT_EQ(instance().world.peek_reference(), 0);

    RecordingTable::Socket& world = open_world();
    EXPECT_EQ(kiv_world_setting_set(handle, "n", overlong.c_str(), 0), KIV_RC_STRING_TOO_LONG);
    EXPECT_TRUE(sent(world).empty());
    EXPECT_TRUE(instance().world.pending.empty());
    EXPECT_EQ(instance().world.peek_reference(), 0);
}

TEST_F(PermissionsAndSettings, OutsideAWorldTheGateRefusesAfterTheNumberIsTaken) {
    EXPECT_EQ(kiv_world_permissions_get_all(handle), KIV_RC_NOT_IN_WORLD);
    EXPECT_EQ(kiv_world_permission_user_set(handle, "build", 1, 1), KIV_RC_NOT_IN_WORLD);
    EXPECT_EQ(kiv_world_setting_set(handle, "n", "v", 0), KIV_RC_NOT_IN_WORLD);
    EXPECT_EQ(instance().world.peek_reference(), 3);
    EXPECT_TRUE(instance().world.pending.empty()) << "refused records are not kept";
    EXPECT_EQ(kiv_world_permissions_get_my(nullptr), KIV_RC_INVALID_ARGUMENT);

    RecordingTable::Socket& world = open_world(false);
    EXPECT_EQ(kiv_world_permissions_get_by_user(handle, 1), KIV_RC_NOT_IN_WORLD);
    EXPECT_TRUE(sent(world).empty());
    instance().world.ready = true;
    EXPECT_EQ(kiv_world_permissions_get_my(handle), 0);
    EXPECT_EQ(sent(world), std::vector<Bytes>{Message(45).int32(4).bytes()});
}

TEST_F(PermissionsAndSettings, SettingsLiveOnlyDuringTheirEvent) {
    RecordingTable::Socket& world = open_world();
    receive(world, Message(20).string("gravity").string("9.8").bytes());
    receive(world, Message(20).string("name-only").bytes());
    receive(world, Message(20).bytes());
    // A name whose length lies hides the value behind it as well.
    receive(world, Message(20).byte(40).string("sky").bytes());
    receive(world, Message(25).bytes());
    EXPECT_EQ(seen.settings, (std::vector<std::pair<std::string, std::string>>{
                                 {"gravity", "9.8"}, {"name-only", ""}, {"", ""}, {"", ""}}));
    EXPECT_EQ(seen.settings_ends, 1);
    EXPECT_STREQ(kiv_string(handle, KIV_WORLD_SETTING_NAME), "");
    EXPECT_STREQ(kiv_string(handle, KIV_WORLD_SETTING_VALUE), "");
}

TEST_F(PermissionsAndSettings, PermissionEntries) {
    RecordingTable::Socket& world = open_world();
    receive(world, Message(44)
                       .int32(99)
                       .byte(3)
                       .int32(7)
                       .string("build")
                       .int32(-8)
                       .string("")
                       .int32(9)
                       .string("eject")
                       .bytes());
    EXPECT_EQ(seen.permissions, (Entries{{7, "build"}, {-8, ""}, {9, "eject"}}));
    EXPECT_EQ(kiv_int(handle, KIV_WORLD_PERMISSION_HOLDER), 9) << "the last entry stays";
    EXPECT_STREQ(kiv_string(handle, KIV_WORLD_PERMISSION_NAME), "eject");

    seen = Seen{};
    receive(world, Message(44).int32(0).byte(0).int32(1).string("ignored").bytes());
    receive(world, Message(44).int32(0).bytes());
    EXPECT_TRUE(seen.permissions.empty()) << "count 0 or no count: no entry";
}

TEST_F(PermissionsAndSettings, ShortPermissionEntriesCarryTheHolderOver) {
    RecordingTable::Socket& world = open_world();
    // The second entry's name says 5 bytes and 2 follow; the count says 4.
    receive(world, Message(44)
                       .int32(0)
                       .byte(4)
                       .int32(10)
                       .string("a")
                       .int32(11)
                       .byte(5)
                       .raw({'b', 'c'})
                       .bytes());
    EXPECT_EQ(seen.permissions, (Entries{{10, "a"}, {11, ""}, {11, ""}, {11, ""}}));

    seen = Seen{};
    receive(world, Message(44).int32(0).byte(2).int32(12).bytes());
    EXPECT_EQ(seen.permissions, (Entries{{12, ""}, {12, ""}}));

    seen = Seen{};
    receive(world, Message(44).int32(0).byte(2).bytes());
    EXPECT_EQ(seen.permissions, (Entries{{0, ""}, {0, ""}})) << "the first entry starts from 0";
}

TEST_F(PermissionsAndSettings, EveryPrefixOfAnEntryListStaysInsideItsFrame) {
    const Bytes full = Message(44)
                           .int32(1)
                           .byte(3)
                           .int32(100)
                           .string("alpha")
                           .int32(200)
                           .string(std::string(255, 'b'))
                           .int32(300)
                           .string("gamma")
                           .bytes();
    for (std::size_t length = 0; length + 1 <= full.size(); ++length) {
        seen = Seen{};
        auto block = std::make_unique<unsigned char[]>(length);
        std::memcpy(block.get(), full.data() + 1, length);
        PacketReader body(block.get(), static_cast<std::uint16_t>(length));
        on_world_permissions(instance(), body);
        ASSERT_EQ(seen.permissions.size(), length >= 5 ? 3u : 0u) << length << " bytes";
        for (const auto& entry : seen.permissions) {
            ASSERT_TRUE(entry.first == 0 || entry.first == 100 || entry.first == 200 ||
                        entry.first == 300)
                << "holder " << entry.first << " read from the wrong bytes at " << length;
        }
    }
    EXPECT_EQ(seen.permissions,
              (Entries{{100, "alpha"}, {200, std::string(255, 'b')}, {300, "gamma"}}));
}

// A request, its callback, and the codes its result bytes map to.
struct MappingRow {
    int callback;
    std::function<int(KIVInstance*)> request;
    std::array<int, 7> codes;  // for result bytes 0, 1, 2, 3, 4, 5, 255
};

TEST_F(PermissionsAndSettings, TransactionResultsMapPerCallback) {
    RecordingTable::Socket& world = open_world();
    const std::array<int, 7> change_codes = {0, 13, 14, 26, 20, 20, 20};
    const std::array<int, 7> query_codes = {0, 13, 20, 20, 20, 20, 20};
    const std::vector<MappingRow> rows = {
        {KIV_CALLBACK_WORLD_PERMISSION_USER_SET,
         [](KIVInstance* h) { return kiv_world_permission_user_set(h, "p", 1, 1); }, change_codes},
        {KIV_CALLBACK_WORLD_PERMISSION_SESSION_SET,
         [](KIVInstance* h) { return kiv_world_permission_session_set(h, "p", 1, 1); },
         change_codes},
        {KIV_CALLBACK_WORLD_SETTING_SET,
         [](KIVInstance* h) { return kiv_world_setting_set(h, "n", "v", 0); }, change_codes},
        {KIV_CALLBACK_WORLD_PERMISSIONS_GET_MY,
         [](KIVInstance* h) { return kiv_world_permissions_get_my(h); }, query_codes},
        {KIV_CALLBACK_WORLD_PERMISSIONS_GET_BY_USER,
         [](KIVInstance* h) { return kiv_world_permissions_get_by_user(h, 1); }, query_codes},
        {KIV_CALLBACK_WORLD_PERMISSIONS_GET_ALL,
         [](KIVInstance* h) { return kiv_world_permissions_get_all(h); }, query_codes},
    };
    const std::array<std::uint8_t, 7> results = {0, 1, 2, 3, 4, 5, 255};
    std::int32_t number = 0;
    for (const MappingRow& row : rows) {
        for (std::size_t i = 0; i < results.size(); ++i) {
            seen = Seen{};
            kiv_int_set(handle, KIV_REFERENCE_NUMBER, 1000 + number);
            ASSERT_EQ(row.request(handle), 0);
            kiv_int_set(handle, KIV_REFERENCE_NUMBER, -1);
            receive(world, Message(17).int32(number).byte(results[i]).bytes());
            EXPECT_EQ(
                seen.callbacks,
                (std::vector<std::array<int, 3>>{{row.callback, row.codes[i], 1000 + number}}))
                << "callback " << row.callback << ", result " << int{results[i]};
            ++number;
        }
    }
    EXPECT_TRUE(instance().world.pending.empty());
}

}  // namespace
}  // namespace kivsdk::test
