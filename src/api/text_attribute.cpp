#include "api/text_attribute.h"

#include <algorithm>

namespace kivsdk {

void TextAttribute::grow(std::size_t needed) {
    const std::size_t capacity = std::max(needed, capacity_ * 2);
    heap_ = std::make_unique<char[]>(capacity);
    data_ = heap_.get();
    capacity_ = capacity;
}

}  // namespace kivsdk
