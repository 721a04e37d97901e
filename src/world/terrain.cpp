// Terrain: querying the nodes of a tile, replacing a node's cells, and the
// node reply and node-changed messages.
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>

#include "api/boundary.h"
#include "api/instance.h"
#include "api/request_flow.h"
#include "connection/connection.h"
#include "wire/byte_order.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"
#include "wire/world_messages.h"
#include "world/message_fields.h"
#include "world/world_session.h"

namespace kivsdk {
namespace {

constexpr int kNodesPerSide = 4;
constexpr int kNodesPerTile = kNodesPerSide * kNodesPerSide;
constexpr int kCellsPerNode = 64;
constexpr std::size_t kCellSize = sizeof(KIVTerrainCell);
constexpr std::size_t kNodeDataSize = kCellsPerNode * kCellSize;
// A node set message: type, number, tile, node, revision and 64 cells of
// FLOAT and UINT16, 403 bytes; its writer reserves room for it at once.
constexpr std::size_t kNodeSetSizeHint = 406;
static_assert(kNodeDataSize == 512, "a node is 512 bytes of cells");
static_assert(offsetof(KIVTerrainCell, height) == 0 && offsetof(KIVTerrainCell, attributes) == 4 &&
                  offsetof(KIVTerrainCell, padding) == 6,
              "terrain cell layout");

// Reads a node's cells into `cells` in the KIVTerrainCell layout. The
// height's bit pattern is copied, never converted, so NaN payloads survive.
// A cell field that cannot be read keeps what the buffer held.
void read_node_cells(FieldCursor& fields, std::array<unsigned char, kNodeDataSize>& cells) {
    for (std::size_t k = 0; k < kCellsPerNode && fields.intact(); ++k) {
        unsigned char height[4];
        if (fields.raw(height, sizeof height)) {
            const std::uint32_t bits = wire::load_u32(height);
            std::memcpy(cells.data() + k * kCellSize, &bits, sizeof bits);
        }
        std::uint16_t attributes = 0;
        if (fields.uint16(attributes)) {
            std::memcpy(cells.data() + k * kCellSize + 4, &attributes, sizeof attributes);
        }
    }
}

}  // namespace

void on_terrain_nodes(Instance& instance, PacketReader& body) {
    // A handler may leave or replace the world between two events: the rest
    // of the message belongs to a Connection that is gone.
    const Connection* delivering = instance.world.connection.get();
    FieldCursor fields(body);
    std::int32_t number = 0, unused = 0, tile_x = 0, tile_z = 0;
    const bool numbered = fields.int32(number);
    fields.int32(unused);
    fields.int32(tile_x);
    fields.int32(tile_z);

    // One buffer for the whole reply: a cut node keeps the cells of the
    // node before it, and the padding bytes stay zero throughout.
    std::array<unsigned char, kNodeDataSize> cells{};
    for (int node_z = 0; node_z < kNodesPerSide; ++node_z) {
        for (int node_x = 0; node_x < kNodesPerSide; ++node_x) {
            std::int32_t revision = -1;
            fields.int32(revision);
            if (revision < 0) continue;
            read_node_cells(fields, cells);
            instance.set_int(KIV_TERRAIN_TILE_X, tile_x);
            instance.set_int(KIV_TERRAIN_TILE_Z, tile_z);
            instance.set_int(KIV_TERRAIN_NODE_X, node_x);
            instance.set_int(KIV_TERRAIN_NODE_Z, node_z);
            instance.set_int(KIV_TERRAIN_NODE_REVISION, revision);
            instance.set_data(KIV_TERRAIN_NODE_DATA, cells.data(),
                              static_cast<std::int32_t>(cells.size()));
            instance.fire_event(KIV_EVENT_TERRAIN_NODE);
            if (instance.discarded() || instance.world.connection.get() != delivering) return;
        }
    }
    static_assert(kNodesPerTile == 16, "a tile holds 16 nodes");

    if (!numbered) return;
    // The reply completes whatever request its number names, silently when
    // none is pending.
    CallbackInfo record(0, 0, 0);
    if (take_pending_request_quietly(instance.world.pending, number, record)) {
        instance.fire_callback(record.callback_number, KIV_RC_SUCCESS, record.reference);
    }
}

void on_terrain_node_changed(Instance& instance, PacketReader& body) {
    std::int32_t tile_x = 0, tile_z = 0;
    std::uint8_t node_x = 0, node_z = 0;
    if (!body.read_int32(tile_x) || !body.read_int32(tile_z) || !body.read_byte(node_x) ||
        !body.read_byte(node_z)) {
        return;
    }
    instance.set_int(KIV_TERRAIN_TILE_X, tile_x);
    instance.set_int(KIV_TERRAIN_TILE_Z, tile_z);
    instance.set_int(KIV_TERRAIN_NODE_X, node_x);
    instance.set_int(KIV_TERRAIN_NODE_Z, node_z);
    instance.fire_event(KIV_EVENT_TERRAIN_NODE_CHANGED);
}

}  // namespace kivsdk

using kivsdk::Instance;
using kivsdk::PacketWriter;

extern "C" {

KIVSDK_API int kiv_terrain_query(KIVInstance* handle, int tile_x, int tile_z,
                                 const int revisions[16]) {
    if (revisions == nullptr) return KIV_RC_INVALID_ARGUMENT;
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.world.connection) return KIV_RC_NOT_IN_WORLD;
        return kivsdk::world_request(instance, kivsdk::world_message::kTerrainQuery,
                                     KIV_CALLBACK_TERRAIN_QUERY,
                                     [&](PacketWriter& writer, std::int32_t number) {
                                         writer.append_int32(number);
                                         writer.append_int32(tile_x);
                                         writer.append_int32(tile_z);
                                         for (int node = 0; node < kivsdk::kNodesPerTile; ++node) {
                                             writer.append_int32(revisions[node]);
                                         }
                                     });
    });
}

KIVSDK_API int kiv_terrain_node_set(KIVInstance* handle, int tile_x, int tile_z, int node_x,
                                    int node_z, const KIVTerrainCell cells[64]) {
    if (cells == nullptr) return KIV_RC_INVALID_ARGUMENT;
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.world.connection) return KIV_RC_NOT_IN_WORLD;
        return kivsdk::world_request(
            instance, kivsdk::world_message::kTerrainNodeSet, KIV_CALLBACK_TERRAIN_NODE_SET,
            [&](PacketWriter& writer, std::int32_t number) {
                writer.append_int32(number);
                writer.append_int32(tile_x);
                writer.append_int32(tile_z);
                writer.append_byte(static_cast<std::uint8_t>(node_x));
                writer.append_byte(static_cast<std::uint8_t>(node_z));
                writer.append_int32(0);
                for (int k = 0; k < kivsdk::kCellsPerNode; ++k) {
                    writer.append_float(cells[k].height);
                    writer.append_uint16(cells[k].attributes);
                }
            },
            kivsdk::kNodeSetSizeHint);
    });
}

}  // extern "C"
