// Terrain over the recording table: the query and node-set frames, the node
// reply's events, data layout and completion, hostile replies, and the
// node-changed message.
#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "support/session_fixture.h"
#include "wire/packet_reader.h"
#include "world/world_session.h"

namespace kivsdk::test {
namespace {

// One node's cells as they travel: height bit pattern and attributes.
using Cells = std::array<std::pair<std::uint32_t, std::uint16_t>, 64>;

Cells make_cells(std::uint32_t seed) {
    Cells cells{};
    for (std::size_t k = 0; k < cells.size(); ++k) {
        cells[k] = {seed + static_cast<std::uint32_t>(k) * 0x01010101u,
                    static_cast<std::uint16_t>(seed * 31u + k * 977u)};
    }
    return cells;
}

// Heights whose bits a float conversion could disturb lead the node.
Cells exotic_cells() {
    Cells cells = make_cells(0x3F000000u);
    const std::uint32_t patterns[] = {0x7F800001u, 0x7FC12345u, 0xFFBFFFFFu, 0xFFFFFFFFu,
                                      0x80000000u, 0x00000001u, 0x7F800000u};
    for (std::size_t k = 0; k < std::size(patterns); ++k) cells[k].first = patterns[k];
    cells[7].second = 0xFFFF;
    return cells;
}

void append_cells(Message& message, const Cells& cells, std::size_t count = 64) {
    for (std::size_t k = 0; k < count; ++k) {
        message.int32(static_cast<std::int32_t>(cells[k].first)).uint16(cells[k].second);
    }
}

// What data attribute 1 must hold for these cells: the KIVTerrainCell
// layout in host order, padding zero.
Bytes layout_of(const Cells& cells) {
    Bytes bytes(512);
    for (std::size_t k = 0; k < cells.size(); ++k) {
        KIVTerrainCell cell{};
        std::memcpy(&cell.height, &cells[k].first, sizeof cell.height);
        cell.attributes = cells[k].second;
        cell.padding = 0;
        std::memcpy(bytes.data() + 8 * k, &cell, sizeof cell);
    }
    return bytes;
}

struct NodeEvent {
    int tile_x, tile_z, node_x, node_z, revision;
    Bytes data;
};
struct Seen {
    std::vector<NodeEvent> nodes;
    std::vector<std::array<int, 4>> changed;
    std::vector<std::array<int, 3>> callbacks;  // number, rc, reference
    std::string order;                          // 'n' node, 'c' callback
};
Seen seen;

void record_node(KIVInstance* instance) {
    int length = 0;
    const auto* data =
        static_cast<const unsigned char*>(kiv_data(instance, KIV_TERRAIN_NODE_DATA, &length));
    ASSERT_NE(data, nullptr);
    seen.nodes.push_back(
        {kiv_int(instance, KIV_TERRAIN_TILE_X), kiv_int(instance, KIV_TERRAIN_TILE_Z),
         kiv_int(instance, KIV_TERRAIN_NODE_X), kiv_int(instance, KIV_TERRAIN_NODE_Z),
         kiv_int(instance, KIV_TERRAIN_NODE_REVISION), Bytes(data, data + length)});
    seen.order += 'n';
}
void record_changed(KIVInstance* instance) {
    seen.changed.push_back(
        {kiv_int(instance, KIV_TERRAIN_TILE_X), kiv_int(instance, KIV_TERRAIN_TILE_Z),
         kiv_int(instance, KIV_TERRAIN_NODE_X), kiv_int(instance, KIV_TERRAIN_NODE_Z)});
}
void record_callback(KIVInstance* instance, int rc, int reference) {
    seen.callbacks.push_back({kiv_int(instance, KIV_CURRENT_CALLBACK), rc, reference});
    seen.order += 'c';
}

constexpr int kNoRevision = -1;

class Terrain : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        seen = Seen{};
        kiv_event_set(handle, KIV_EVENT_TERRAIN_NODE, record_node);
        kiv_event_set(handle, KIV_EVENT_TERRAIN_NODE_CHANGED, record_changed);
        kiv_callback_set(handle, KIV_CALLBACK_TERRAIN_QUERY, record_callback);
        kiv_callback_set(handle, KIV_CALLBACK_TERRAIN_NODE_SET, record_callback);
    }

    int query(int tile_x = 0, int tile_z = 0) {
        const int revisions[16] = {};
        return kiv_terrain_query(handle, tile_x, tile_z, revisions);
    }

    // A node reply: the reference number, the unused field, the tile, then
    // each of the 16 nodes as the `node` function appends it.
    template <class AppendNode>
    static Bytes reply(std::int32_t number, int tile_x, int tile_z, AppendNode&& node) {
        Message message(26);
        message.int32(number).int32(12345).int32(tile_x).int32(tile_z);
        for (int z = 0; z < 4; ++z) {
            for (int x = 0; x < 4; ++x) node(message, x, z);
        }
        return message.bytes();
    }
};

TEST_F(Terrain, QuerySendsTileAndRevisionsInNodeOrder) {
    RecordingTable::Socket& world = open_world();
    int revisions[16];
    for (int i = 0; i < 16; ++i) revisions[i] = i * 1000 - 3;
    revisions[15] = INT_MIN;
    ASSERT_EQ(kiv_terrain_query(handle, -2, 70000, revisions), 0);
    Message expected(26);
    expected.int32(0).int32(-2).int32(70000);
    for (const int revision : revisions) expected.int32(revision);
    EXPECT_EQ(sent(world), std::vector<Bytes>{expected.bytes()});

    ASSERT_EQ(query(), 0);
    const std::vector<Bytes> second = sent(world);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(Bytes(second[0].begin(), second[0].begin() + 5), (Bytes{26, 0, 0, 0, 1}));
    EXPECT_EQ(instance().world.pending.size(), 2u);
}

TEST_F(Terrain, QueryRefusals) {
    EXPECT_EQ(kiv_terrain_query(nullptr, 0, 0, nullptr), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(query(), KIV_RC_NOT_IN_WORLD);
    EXPECT_EQ(instance().world.peek_reference(), 0) << "no world: no number taken";

    RecordingTable::Socket& world = open_world(false);
    EXPECT_EQ(kiv_terrain_query(handle, 0, 0, nullptr), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(instance().world.peek_reference(), 0);
    EXPECT_EQ(query(), KIV_RC_NOT_IN_WORLD);
    EXPECT_TRUE(sent(world).empty());
    EXPECT_TRUE(instance().world.pending.empty()) << "a refused request leaves no record";
    EXPECT_EQ(instance().world.peek_reference(), 1);

    instance().world.ready = true;
    ASSERT_EQ(query(), 0);
    const std::vector<Bytes> frames = sent(world);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][4], 1) << "the refused request's number is not reused";
}

TEST_F(Terrain, NodeSetSendsThe405ByteFrame) {
    RecordingTable::Socket& world = open_world();
    const Cells wire = exotic_cells();
    KIVTerrainCell cells[64];
    for (std::size_t k = 0; k < 64; ++k) {
        std::memcpy(&cells[k].height, &wire[k].first, sizeof cells[k].height);
        cells[k].attributes = wire[k].second;
        cells[k].padding = static_cast<unsigned short>(0xBEEF + k);  // not sent
    }
    const std::size_t before = world.written.size();
    ASSERT_EQ(kiv_terrain_node_set(handle, 9, -9, 260, -1, cells), 0);
    EXPECT_EQ(world.written.size() - before, 405u);

    Message expected(27);
    expected.int32(0).int32(9).int32(-9).byte(4).byte(255).int32(0);
    append_cells(expected, wire);
    EXPECT_EQ(sent(world), std::vector<Bytes>{expected.bytes()});

    EXPECT_EQ(kiv_terrain_node_set(handle, 0, 0, 0, 0, nullptr), KIV_RC_INVALID_ARGUMENT);
    EXPECT_TRUE(sent(world).empty());
    kiv_leave(handle);
    EXPECT_EQ(kiv_terrain_node_set(handle, 0, 0, 0, 0, cells), KIV_RC_NOT_IN_WORLD);
    EXPECT_EQ(instance().world.peek_reference(), 1);
}

TEST_F(Terrain, ReplyDeliversIncludedNodesThenCompletesTheQuery) {
    RecordingTable::Socket& world = open_world();
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 99);
    ASSERT_EQ(query(), 0);
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 5);

    const Cells first = exotic_cells();
    const Cells second = make_cells(0x41200000u);
    const Bytes body = reply(0, -2, 70000, [&](Message& message, int x, int z) {
        if (x == 0 && z == 0) {
            append_cells(message.int32(5), first);
        } else if (x == 0 && z == 1) {
            append_cells(message.int32(0), second);
        } else {
            message.int32(x == 2 ? INT_MIN : kNoRevision);
        }
    });
    testing::internal::CaptureStdout();
    receive(world, body);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    ASSERT_EQ(seen.nodes.size(), 2u);
    const NodeEvent& a = seen.nodes[0];
    EXPECT_EQ((std::array<int, 5>{a.tile_x, a.tile_z, a.node_x, a.node_z, a.revision}),
              (std::array<int, 5>{-2, 70000, 0, 0, 5}));
    EXPECT_EQ(a.data, layout_of(first)) << "NaN payloads and padding must arrive exactly";
    const NodeEvent& b = seen.nodes[1];
    EXPECT_EQ((std::array<int, 5>{b.tile_x, b.tile_z, b.node_x, b.node_z, b.revision}),
              (std::array<int, 5>{-2, 70000, 0, 1, 0}));
    EXPECT_EQ(b.data, layout_of(second));

    EXPECT_EQ(seen.order, "nnc");
    EXPECT_EQ(seen.callbacks,
              (std::vector<std::array<int, 3>>{{KIV_CALLBACK_TERRAIN_QUERY, 0, 99}}));
    EXPECT_TRUE(instance().world.pending.empty());
}

TEST_F(Terrain, ReplyNodeSelection) {
    RecordingTable::Socket& world = open_world();
    ASSERT_EQ(query(), 0);
    receive(world, reply(0, 1, 1, [](Message& message, int, int) { message.int32(kNoRevision); }));
    EXPECT_TRUE(seen.nodes.empty());
    EXPECT_EQ(seen.callbacks,
              (std::vector<std::array<int, 3>>{{KIV_CALLBACK_TERRAIN_QUERY, 0, 0}}));

    const Cells cells = make_cells(7);
    receive(world, reply(1, 1, 1, [&](Message& message, int x, int z) {
                if (x == 3 && z == 3) {
                    append_cells(message.int32(1), cells);
                } else {
                    message.int32(-100);
                }
            }));
    ASSERT_EQ(seen.nodes.size(), 1u);
    EXPECT_EQ(seen.nodes[0].node_x, 3);
    EXPECT_EQ(seen.nodes[0].node_z, 3);
    EXPECT_EQ(seen.nodes[0].data, layout_of(cells));
}

TEST_F(Terrain, ReplyForAnUnknownNumberFiresNodesOnlyAndPrintsNothing) {
    RecordingTable::Socket& world = open_world();
    ASSERT_EQ(query(), 0);  // pending as 0
    testing::internal::CaptureStdout();
    receive(world, reply(42, 0, 0, [](Message& message, int x, int) {
                if (x == 1) {
                    append_cells(message.int32(2), make_cells(1));
                } else {
                    message.int32(kNoRevision);
                }
            }));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(seen.nodes.size(), 4u);
    EXPECT_TRUE(seen.callbacks.empty());
    EXPECT_EQ(instance().world.pending.count(0), 1u);
}

TEST_F(Terrain, ReplyCompletesWhicheverRequestItsNumberNames) {
    RecordingTable::Socket& world = open_world();
    const KIVTerrainCell cells[64] = {};
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 3);
    ASSERT_EQ(kiv_terrain_node_set(handle, 0, 0, 0, 0, cells), 0);
    receive(world, reply(0, 0, 0, [](Message& message, int, int) { message.int32(kNoRevision); }));
    EXPECT_EQ(seen.callbacks,
              (std::vector<std::array<int, 3>>{{KIV_CALLBACK_TERRAIN_NODE_SET, 0, 3}}));
}

TEST_F(Terrain, CutNodeKeepsTheCellsBeforeItAndEndsTheReply) {
    RecordingTable::Socket& world = open_world();
    ASSERT_EQ(query(), 0);
    const Cells first = make_cells(0x100);
    const Cells second = make_cells(0x9000);
    Message message(26);
    message.int32(0).int32(0).int32(4).int32(5);
    append_cells(message.int32(1), first);
    append_cells(message.int32(2), second, 10);
    message.uint16(0xABCD);  // half of cell 10's height
    receive(world, message.bytes());

    ASSERT_EQ(seen.nodes.size(), 2u);
    EXPECT_EQ(seen.nodes[1].node_x, 1);
    EXPECT_EQ(seen.nodes[1].revision, 2);
    Cells mixed = first;
    std::copy(second.begin(), second.begin() + 10, mixed.begin());
    EXPECT_EQ(seen.nodes[1].data, layout_of(mixed))
        << "the cut cell and those after it keep the first node's values";
    EXPECT_EQ(seen.order, "nnc") << "the number was read, so the query completes";

    // Without a readable number nothing completes.
    ASSERT_EQ(query(), 0);
    receive(world, Message(26).byte(0).byte(0).byte(0).bytes());
    EXPECT_EQ(seen.callbacks.size(), 1u);
    EXPECT_EQ(instance().world.pending.count(1), 1u);
}

TEST_F(Terrain, EveryPrefixOfAReplyStaysInsideItsFrame) {
    // Each prefix sits in a heap block of exactly its size, so a read past
    // the end is caught by the address sanitizer.
    const Bytes full = reply(0, 8, 9, [](Message& message, int x, int z) {
        append_cells(message.int32(x + 4 * z), make_cells(static_cast<std::uint32_t>(x * 16 + z)));
    });
    const std::size_t fields = full.size() - 1;  // after the type byte
    ASSERT_EQ(fields, 16u + 16u * 388u);
    for (std::size_t length = 0; length <= fields; ++length) {
        seen = Seen{};
        auto block = std::make_unique<unsigned char[]>(length);
        std::memcpy(block.get(), full.data() + 1, length);
        PacketReader body(block.get(), static_cast<std::uint16_t>(length));
        on_terrain_nodes(instance(), body);
        std::size_t complete_revisions = 0;
        for (std::size_t node = 0; node < 16; ++node) {
            if (length >= 16 + node * 388 + 4) ++complete_revisions;
        }
        ASSERT_EQ(seen.nodes.size(), complete_revisions) << "prefix of " << length << " bytes";
    }
    EXPECT_EQ(seen.nodes.back().data, layout_of(make_cells(3 * 16 + 3)));
}

TEST_F(Terrain, NodeChangedNeedsAllFourFields) {
    RecordingTable::Socket& world = open_world();
    receive(world, Message(36).int32(-7).int32(1 << 20).byte(200).byte(3).bytes());
    EXPECT_EQ(seen.changed, (std::vector<std::array<int, 4>>{{-7, 1 << 20, 200, 3}}));

    receive(world, Message(36).int32(1).int32(2).byte(3).bytes());
    receive(world, Message(36).int32(1).int32(2).bytes());
    EXPECT_EQ(seen.changed.size(), 1u);
    EXPECT_EQ(kiv_int(handle, KIV_TERRAIN_TILE_X), -7) << "a short message sets nothing";
    EXPECT_EQ(kiv_int(handle, KIV_TERRAIN_NODE_X), 200);
}

TEST_F(Terrain, TransactionResultPassesTheResultByteThrough) {
    RecordingTable::Socket& world = open_world();
    const KIVTerrainCell cells[64] = {};
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 11);
    ASSERT_EQ(query(), 0);
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 12);
    ASSERT_EQ(kiv_terrain_node_set(handle, 0, 0, 0, 0, cells), 0);
    receive(world, Message(17).int32(1).byte(200).bytes());
    receive(world, Message(17).int32(0).byte(3).bytes());
    EXPECT_EQ(seen.callbacks,
              (std::vector<std::array<int, 3>>{{KIV_CALLBACK_TERRAIN_NODE_SET, 200, 12},
                                               {KIV_CALLBACK_TERRAIN_QUERY, 3, 11}}));
    EXPECT_TRUE(instance().world.pending.empty());
}

}  // namespace
}  // namespace kivsdk::test
