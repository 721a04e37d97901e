// The two server sides of an Instance.
#pragma once

#include "base/diagnostics.h"

namespace kivsdk {

enum class Side { kUniverse = 0, kWorld = 1 };

inline const char* side_name(Side side) noexcept {
    return side == Side::kUniverse ? "universe" : "world";
}

// The category of a side's diagnostic lines.
inline DiagnosticCategory category_of(Side side) noexcept {
    return side == Side::kUniverse ? DiagnosticCategory::kUniverse : DiagnosticCategory::kWorld;
}

}  // namespace kivsdk
