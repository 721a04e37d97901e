// Sizes of the attribute, event and callback tables.
#pragma once

#include "kivsdk.h"

namespace kivsdk {

constexpr int kIntAttributeCount = KIV_INT_ATTRIBUTE_COUNT;
constexpr int kFloatAttributeCount = KIV_FLOAT_ATTRIBUTE_COUNT;
constexpr int kStringAttributeCount = KIV_STRING_ATTRIBUTE_COUNT;
constexpr int kDataAttributeCount = KIV_DATA_ATTRIBUTE_COUNT;
constexpr int kEventCount = KIV_EVENT_COUNT;
constexpr int kCallbackCount = KIV_CALLBACK_COUNT;

// The last name of each table closes it: a new slot must move the count too.
static_assert(KIV_DISCONNECT_SIDE + 1 == kIntAttributeCount, "int attribute table");
static_assert(KIV_INVITE_PITCH + 1 == kFloatAttributeCount, "float attribute table");
static_assert(KIV_DISCONNECT_TEXT + 1 == kStringAttributeCount, "string attribute table");
static_assert(KIV_TERRAIN_NODE_DATA + 1 == kDataAttributeCount, "data attribute table");
static_assert(KIV_EVENT_GAVE_UP + 1 == kEventCount, "event table");
static_assert(KIV_CALLBACK_WORLD_PERMISSIONS_GET_ALL + 1 == kCallbackCount, "callback table");

// Slots the library itself relies on.
static_assert(KIV_REFERENCE_NUMBER == 9 && KIV_CURRENT_CALLBACK == 10 && KIV_CURRENT_EVENT == 36 &&
                  KIV_DISCONNECT_REASON == 34,
              "bookkeeping slots");
static_assert(KIV_URL_TARGET == 35 && KIV_CELL_REVISION == 38, "slot 37 stays unnamed");
static_assert(sizeof(KIVTerrainCell) == 8, "terrain cells are 8 bytes");
static_assert(sizeof(KIVNetConfig) == 8 * sizeof(void*), "the socket table has eight slots");

static_assert(KIVSDK_VERSION_NUMBER ==
                  KIVSDK_VERSION_MAJOR * 10000 + KIVSDK_VERSION_MINOR * 100 + KIVSDK_VERSION_PATCH,
              "the version as one number");
#if defined(KIVSDK_PROJECT_VERSION_NUMBER)
static_assert(KIVSDK_VERSION_NUMBER == KIVSDK_PROJECT_VERSION_NUMBER,
              "the header's version is the project's");
#endif

// Index checks treat the index as unsigned, so negatives are out of range.
constexpr bool in_range(int index, int count) noexcept {
    return static_cast<unsigned>(index) < static_cast<unsigned>(count);
}

}  // namespace kivsdk
