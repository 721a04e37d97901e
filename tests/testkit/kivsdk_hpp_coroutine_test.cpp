// kivsdk.hpp's coroutine layer (C++20) against a kit in the test process:
// each request group awaited from a coroutine and resumed with what its
// answer carried, answers matched to their coroutine by reference, and the
// waits of a Client that is destroyed or moved, of a Connection that ends
// and of a coroutine that is destroyed.
#include "kivsdk.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kivsandbox.hpp"

#if !KIVSDK_COROUTINES
#error "built as C++20 with coroutines: the layer under test is missing"
#endif

namespace {

using kivsdk::Client;
using kivsdk::Completion;
using kivsdk::ReturnCode;
using kivsdk::Task;

constexpr int kObjectGetMessage = 29;  // the world's object get request

// Starts the task and runs wait passes of the Clients until it ends; false
// when it has not ended after `passes` rounds.
template <class T>
bool run(Task<T>& task, std::vector<Client*> clients, int passes = 200) {
    task.start();
    for (int pass = 0; pass < passes && !task.done(); ++pass) {
        for (Client* client : clients) client->wait(50);
    }
    return task.done();
}

template <class T>
bool run(Task<T>& task, Client& client, int passes = 200) {
    return run(task, std::vector<Client*>{&client}, passes);
}

// A coroutine that awaits what `make` returns, once.
template <class Make, class Result = decltype(std::declval<Make&>()().await_resume())>
Task<Result> once(Make make) {
    co_return co_await make();
}

// Counts its resumptions: the layer resumes each wait exactly once.
Task<kivsdk::ObjectGetResult> object_get_counted(Client& bot, int object_id, int& resumed) {
    kivsdk::ObjectGetResult got = co_await bot.co().object_get(object_id);
    ++resumed;
    co_return got;
}

// Waits for an object, then destroys the Client it waited on.
Task<ReturnCode> object_get_then_destroy(std::optional<Client>& client) {
    const ReturnCode rc = (co_await client->co().object_get(1)).rc;
    client.reset();
    co_return rc;
}

Task<ReturnCode> arrive(Client& bot, int port, std::string name, std::string world) {
    const Completion connected = co_await bot.co().connect_universe("127.0.0.1", port);
    if (!connected.ok()) co_return connected.rc;
    const kivsdk::LoginResult login = co_await bot.co().login(std::move(name), "pw");
    if (!login.ok()) co_return login.rc;
    co_return (co_await bot.co().enter(std::move(world))).rc;
}

class Coroutines : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kivsdk::Sandbox::trust(bot.handle()), 0); }

    // Connects, logs in as `name` and enters lobby.
    void arrive_as(Client& client, const std::string& name) {
        Task<ReturnCode> arrival = arrive(client, kit.universe_port(), name, "lobby");
        ASSERT_TRUE(run(arrival, client));
        ASSERT_EQ(arrival.result(), ReturnCode::success);
    }

    kivsdk::Sandbox kit{"--world", "lobby"};
    Client bot;
};

// ---- connection ------------------------------------------------------------

TEST_F(Coroutines, ConnectLoginAndEnterResumeWithTheirAnswers) {
    auto connect =
        once([&] { return bot.co().connect_universe("127.0.0.1", kit.universe_port()); });
    ASSERT_TRUE(run(connect, bot));
    const Completion connected = connect.result();
    EXPECT_TRUE(connected.ok()) << kivsdk::to_string(connected.rc);
    EXPECT_EQ(connected.reference, 0);
    EXPECT_FALSE(connected.abandoned);

    // Logins all have reference 0: a second one while the first is pending
    // is refused at once, before anything is sent.
    auto first = once([&] { return bot.co().login("bot", "pw"); });
    auto second = once([&] { return bot.co().login("bot", "pw"); });
    first.start();
    const long long frames = bot.stats().universe.frames_out;
    second.start();
    ASSERT_TRUE(second.done());
    EXPECT_EQ(second.result().rc, ReturnCode::invalid_argument);
    EXPECT_EQ(bot.stats().universe.frames_out, frames);
    ASSERT_TRUE(run(first, bot));
    const kivsdk::LoginResult login = first.result();
    EXPECT_TRUE(login.ok()) << kivsdk::to_string(login.rc);
    EXPECT_GT(login.value, 0);  // the sandbox answers with the user id
    EXPECT_NE(login.text.find("bot"), std::string::npos) << login.text;

    auto enter = once([&] { return bot.co().enter("lobby"); });
    ASSERT_TRUE(run(enter, bot));
    const kivsdk::EnterResult entered = enter.result();
    EXPECT_TRUE(entered.ok()) << kivsdk::to_string(entered.rc);
    EXPECT_EQ(entered.world, "lobby");
    EXPECT_EQ(bot.state(kivsdk::Side::world), kivsdk::State::ready);

    auto nowhere = once([&] { return bot.co().enter("nowhere"); });
    ASSERT_TRUE(run(nowhere, bot));
    EXPECT_EQ(nowhere.result().rc, ReturnCode::world_unavailable);

    // A refused login says so, on a Client of its own.
    Client refused;
    ASSERT_EQ(kivsdk::Sandbox::trust(refused.handle()), 0);
    kit.refuse_logins(1, 1);
    Task<ReturnCode> arrival = arrive(refused, kit.universe_port(), "eve", "lobby");
    ASSERT_TRUE(run(arrival, refused));
    EXPECT_EQ(arrival.result(), ReturnCode::login_refused);
}

// ---- objects ---------------------------------------------------------------

TEST_F(Coroutines, ObjectsAreAddedReadChangedAndDeletedByTheirOwnAnswers) {
    ASSERT_NO_FATAL_FAILURE(arrive_as(bot, "bot"));

    // Two adds in flight at once: each coroutine gets its own object back.
    bot.set(KIV_OBJECT_STRING_1, "lamp.rwx");
    bot.set(KIV_OBJECT_STRING_2, "a lamp");
    bot.set(KIV_OBJECT_X, 4.0);
    auto lamp = once([&] { return bot.co().object_add(); });
    lamp.start();  // sent now, with the attributes as they are now
    bot.set(KIV_OBJECT_STRING_1, "tree.rwx");
    bot.set(KIV_OBJECT_STRING_2, "a tree");
    auto tree = once([&] { return bot.co().object_add(); });
    ASSERT_TRUE(run(tree, bot));
    ASSERT_TRUE(run(lamp, bot));
    const kivsdk::ObjectResult lamp_added = lamp.result();
    const kivsdk::ObjectResult tree_added = tree.result();
    ASSERT_TRUE(lamp_added.ok() && tree_added.ok());
    EXPECT_NE(lamp_added.reference, tree_added.reference);
    EXPECT_NE(lamp_added.object_id, tree_added.object_id);
    const auto model_of = [&](int id) -> std::string {
        for (const auto& object : kit.world_state("lobby").objects) {
            if (object.id == id) return object.model;
        }
        return "(none)";
    };
    EXPECT_EQ(model_of(lamp_added.object_id), "lamp.rwx");
    EXPECT_EQ(model_of(tree_added.object_id), "tree.rwx");

    auto get = once([&] { return bot.co().object_get(lamp_added.object_id); });
    ASSERT_TRUE(run(get, bot));
    const kivsdk::ObjectGetResult got = get.result();
    ASSERT_TRUE(got.ok()) << kivsdk::to_string(got.rc);
    EXPECT_EQ(got.object.id, lamp_added.object_id);
    EXPECT_EQ(got.object.string_1, "lamp.rwx");  // copied before the library empties it
    EXPECT_EQ(got.object.string_2, "a lamp");
    EXPECT_DOUBLE_EQ(got.object.x, 4.0);

    // An answer resumes the coroutine whose request it answers, not the
    // oldest waiting one: the kit drops the first get, answers the second.
    kit.ignore("lobby", kObjectGetMessage);
    int unanswered = 0;
    Task<kivsdk::ObjectGetResult> dropped =
        object_get_counted(bot, lamp_added.object_id, unanswered);
    dropped.start();
    const auto kit_read_it = [&] {
        const std::vector<std::string> lines = kit.sent("bot", "lobby");
        return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                   return line.rfind("object get", 0) == 0;
               }) == 2;
    };
    for (int pass = 0; pass < 200 && !kit_read_it(); ++pass) bot.wait(10);
    ASSERT_TRUE(kit_read_it());
    kit.ignore("lobby", kObjectGetMessage, false);
    auto answered = once([&] { return bot.co().object_get(tree_added.object_id); });
    ASSERT_TRUE(run(answered, bot));
    EXPECT_EQ(answered.result().object.string_1, "tree.rwx");
    EXPECT_FALSE(dropped.done());
    EXPECT_EQ(unanswered, 0);

    bot.set(KIV_OBJECT_ID, lamp_added.object_id);
    bot.set(KIV_OBJECT_STRING_1, "oak.rwx");
    auto change = once([&] { return bot.co().object_change(); });
    ASSERT_TRUE(run(change, bot));
    const kivsdk::ObjectResult changed = change.result();
    EXPECT_TRUE(changed.ok()) << kivsdk::to_string(changed.rc);
    EXPECT_EQ(changed.object_id, lamp_added.object_id);
    EXPECT_EQ(model_of(lamp_added.object_id), "oak.rwx");

    auto remove = once([&] { return bot.co().object_delete(tree_added.object_id); });
    ASSERT_TRUE(run(remove, bot));
    const kivsdk::ObjectResult removed = remove.result();
    EXPECT_TRUE(removed.ok()) << kivsdk::to_string(removed.rc);
    EXPECT_EQ(removed.object_id, tree_added.object_id);
    EXPECT_EQ(model_of(tree_added.object_id), "(none)");

    auto gone = once([&] { return bot.co().object_get(tree_added.object_id); });
    ASSERT_TRUE(run(gone, bot));
    const kivsdk::ObjectGetResult missing = gone.result();
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.object.id, 0);
}

// ---- queries ---------------------------------------------------------------

TEST_F(Coroutines, ListsResumeWithTheEntriesTheirEventsBrought) {
    // A handler the host set for a list's event keeps seeing its events.
    std::vector<std::string> heard;
    bot.on(KIV_EVENT_WORLD_LIST, [&](Client& c) { heard.push_back(c.get(KIV_WORLD_NAME)); });
    ASSERT_NO_FATAL_FAILURE(arrive_as(bot, "bot"));  // first in lobby: its owner

    auto list = once([&] { return bot.co().world_list(0); });
    ASSERT_TRUE(run(list, bot));
    const kivsdk::WorldListResult worlds = list.result();
    ASSERT_TRUE(worlds.ok()) << kivsdk::to_string(worlds.rc);
    ASSERT_EQ(worlds.worlds.size(), 1u);
    EXPECT_EQ(worlds.worlds[0].name, "lobby");
    EXPECT_EQ(heard, std::vector<std::string>{"lobby"});

    kit.actor_enter("ann", "lobby", {1, 0, 1});
    kit.actor_terrain("ann", 0, 0, 1, 2, 2.5);
    auto terrain = once([&] { return bot.co().terrain_query(0, 0, std::array<int, 16>{}); });
    ASSERT_TRUE(run(terrain, bot));
    const kivsdk::TerrainResult tile = terrain.result();
    ASSERT_TRUE(tile.ok()) << kivsdk::to_string(tile.rc);
    ASSERT_EQ(tile.nodes.size(), 1u);
    EXPECT_EQ(tile.nodes[0].node_x, 1);
    EXPECT_EQ(tile.nodes[0].node_z, 2);
    EXPECT_GT(tile.nodes[0].revision, 0);
    EXPECT_FLOAT_EQ(tile.nodes[0].cells[0].height, 2.5f);

    const int ann = kit.actor_user_id("ann");
    auto grant = once([&] { return bot.co().world_permission_user_set("build", ann, true); });
    ASSERT_TRUE(run(grant, bot));
    EXPECT_TRUE(grant.result().ok());
    auto all = once([&] { return bot.co().world_permissions_get_all(); });
    ASSERT_TRUE(run(all, bot));
    const kivsdk::PermissionsResult permissions = all.result();
    ASSERT_TRUE(permissions.ok()) << kivsdk::to_string(permissions.rc);
    std::vector<std::pair<std::string, int>> entries;
    for (const kivsdk::Permission& p : permissions.permissions)
        entries.emplace_back(p.name, p.holder);
    std::sort(entries.begin(), entries.end());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].first, "admin");  // the owner
    EXPECT_EQ(entries[1], std::make_pair(std::string("build"), ann));

    // Entries of one answer do not leak into the next.
    auto again = once([&] { return bot.co().world_list(0); });
    ASSERT_TRUE(run(again, bot));
    EXPECT_EQ(again.result().worlds.size(), 1u);
}

// ---- lifetime --------------------------------------------------------------

TEST_F(Coroutines, ADestroyedOrMovedClientResumesItsWaitsOnceAsAbandoned) {
    ASSERT_NO_FATAL_FAILURE(arrive_as(bot, "bot"));
    std::optional<Client> doomed(std::in_place);
    ASSERT_EQ(kivsdk::Sandbox::trust(doomed->handle()), 0);
    ASSERT_NO_FATAL_FAILURE(arrive_as(*doomed, "eve"));
    kit.ignore("lobby", kObjectGetMessage);

    int resumed = 0;
    Task<kivsdk::ObjectGetResult> waiting = object_get_counted(*doomed, 1, resumed);
    EXPECT_FALSE(run(waiting, *doomed, 4));
    doomed.reset();
    ASSERT_TRUE(waiting.done());
    EXPECT_EQ(resumed, 1);
    kivsdk::ObjectGetResult result = waiting.result();
    EXPECT_EQ(result.rc, ReturnCode::connection_error);
    EXPECT_TRUE(result.abandoned);

    // Destroyed inside its own request: entering again ends the pending get
    // with connection_error, its coroutine destroys the Client, and the
    // enter's coroutine resumes once the call is over, abandoned.
    std::optional<Client> victim(std::in_place);
    ASSERT_EQ(kivsdk::Sandbox::trust(victim->handle()), 0);
    ASSERT_NO_FATAL_FAILURE(arrive_as(*victim, "vic"));
    Task<ReturnCode> destroyer = object_get_then_destroy(victim);
    EXPECT_FALSE(run(destroyer, *victim, 4));
    auto reenter = once([&] { return victim->co().enter("lobby"); });
    reenter.start();
    ASSERT_TRUE(destroyer.done());
    EXPECT_EQ(destroyer.result(), ReturnCode::connection_error);
    EXPECT_FALSE(victim.has_value());
    ASSERT_TRUE(reenter.done());
    const kivsdk::EnterResult reentered = reenter.result();
    EXPECT_EQ(reentered.rc, ReturnCode::connection_error);
    EXPECT_TRUE(reentered.abandoned);

    // Moved: the wait made through `bot` ends; the answer that arrives
    // afterwards at the new owner finds nobody and is dropped.
    kit.ignore("lobby", kObjectGetMessage, false);
    kit.freeze(300);
    Task<kivsdk::ObjectGetResult> moved_wait = object_get_counted(bot, 1, resumed);
    moved_wait.start();
    ASSERT_FALSE(moved_wait.done());
    Client owner = std::move(bot);
    ASSERT_TRUE(moved_wait.done());
    EXPECT_EQ(resumed, 2);
    result = moved_wait.result();
    EXPECT_EQ(result.rc, ReturnCode::connection_error);
    EXPECT_TRUE(result.abandoned);

    // The world answers in order: once this one is in, so is the dropped one.
    auto after = once([&] { return owner.co().world_permissions_get_my(); });
    ASSERT_TRUE(run(after, owner));
    EXPECT_TRUE(after.result().ok());
    EXPECT_EQ(resumed, 2);

    // A moved-from Client refuses at once.
    auto stale = once([&] { return bot.co().world_list(0); });
    stale.start();
    ASSERT_TRUE(stale.done());
    EXPECT_EQ(stale.result().rc, ReturnCode::invalid_argument);
}

TEST_F(Coroutines, AnEndedConnectionOrADestroyedCoroutineEndsItsWait) {
    ASSERT_NO_FATAL_FAILURE(arrive_as(bot, "bot"));

    // A destroyed coroutine withdraws its wait: its answer is dropped.
    kit.freeze(300);
    int resumed = 0;
    {
        Task<kivsdk::ObjectGetResult> forgotten = object_get_counted(bot, 1, resumed);
        forgotten.start();
        ASSERT_FALSE(forgotten.done());
    }
    auto after = once([&] { return bot.co().world_permissions_get_my(); });
    ASSERT_TRUE(run(after, bot));
    EXPECT_TRUE(after.result().ok());
    EXPECT_EQ(resumed, 0);

    // The world's Connection ends: the wait ends with it, not abandoned.
    kit.ignore("lobby", kObjectGetMessage);
    Task<kivsdk::ObjectGetResult> waiting = object_get_counted(bot, 1, resumed);
    EXPECT_FALSE(run(waiting, bot, 4));
    kit.drop("lobby");
    ASSERT_TRUE(run(waiting, bot));
    EXPECT_EQ(resumed, 1);
    const kivsdk::ObjectGetResult result = waiting.result();
    EXPECT_EQ(result.rc, ReturnCode::connection_error);
    EXPECT_FALSE(result.abandoned);
}

}  // namespace
