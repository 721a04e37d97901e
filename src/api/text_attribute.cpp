#include "api/text_attribute.h"

#include <algorithm>

namespace kivsdk {

void TextAttribute::grow(std::size_t needed, const char*& text, std::size_t length) {
    const std::size_t capacity = std::max(needed, capacity_ * 2);
    auto bigger = std::make_unique<char[]>(capacity);
    // A text inside the current storage cannot need more room than that
    // storage holds, but copying it across first keeps it valid either way.
    if (text >= data_ && text < data_ + capacity_) {
        std::memcpy(bigger.get(), text, length);
        text = bigger.get();
    }
    heap_ = std::move(bigger);
    data_ = heap_.get();
    capacity_ = capacity;
}

}  // namespace kivsdk
