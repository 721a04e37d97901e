// Message types of the world protocol. Most numbers serve both directions:
// a request and its answer, or a change and its announcement, share one type.
#pragma once

#include <cstdint>

namespace kivsdk::world_message {

enum Type : std::uint8_t {
    kLogin = 1,  // world login with the ticket; its reply
    kConsoleMessage = 4,
    kCell = 6,    // cell query; the cell's end after its objects
    kObject = 7,  // an object announced
    kChat = 9,
    kObjectAdd = 10,
    kObjectChange = 11,
    kObjectDelete = 12,
    kAvatarAdd = 13,
    kAvatarChange = 14,  // own state change; another avatar's change
    kAvatarDelete = 15,
    kObjectClick = 16,
    kTransactionResult = 17,  // the answer to a numbered request
    kWorldSetting = 20,       // a setting, set or announced
    kWorldSettingsEnd = 25,
    kTerrainQuery = 26,  // terrain query; the nodes in reply
    kTerrainNodeSet = 27,
    kKeepAlive = 28,
    kObjectGet = 29,
    kAvatarClick = 30,
    kTeleport = 31,
    kUrl = 32,
    kBumpBegin = 33,
    kBumpEnd = 34,
    kObjectLoad = 35,
    kTerrainNodeChanged = 36,
    kSecureChannel = 39,  // switch to TLS; its status
    kPermissionUserSet = 40,
    kPermissionSessionSet = 41,
    kPermissions = 44,  // a permission entry
    kPermissionsGetMy = 45,
    kPermissionsGetByUser = 46,
    kPermissionsGetAll = 47,
};

}  // namespace kivsdk::world_message
