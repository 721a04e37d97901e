// The two server sides of an Instance.
#pragma once

namespace kivsdk {

enum class Side { kUniverse = 0, kWorld = 1 };

}  // namespace kivsdk
