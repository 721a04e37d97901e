// A string attribute: its text, always followed by a NUL, in storage that is
// reused while new text fits. Received messages rewrite these for every
// event, so assigning is a copy and nothing else on the common path.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace kivsdk {

class TextAttribute {
public:
    TextAttribute() noexcept = default;
    TextAttribute(const TextAttribute&) = delete;
    TextAttribute& operator=(const TextAttribute&) = delete;

    // Valid until the next assign, clear or reset.
    const char* c_str() const noexcept { return data_; }
    std::size_t size() const noexcept { return length_; }
    std::string_view view() const noexcept { return {data_, length_}; }

    // The text may be this attribute's own (a host handing back what it
    // read, or its tail): such a text is shorter than the storage, so it
    // never needs room and memmove copies it in place. May throw
    // std::bad_alloc, leaving the old text in place.
    void assign(const char* text, std::size_t length) {
        if (length >= capacity_) grow(length + 1);
        std::memmove(data_, text, length);
        data_[length] = '\0';
        length_ = length;
    }
    void clear() noexcept {
        length_ = 0;
        data_[0] = '\0';
    }
    // Empty, and the heap storage given back.
    void reset() noexcept {
        heap_.reset();
        data_ = inline_.data();
        capacity_ = inline_.size();
        clear();
    }

private:
    static constexpr std::size_t kInlineCapacity = 16;  // NUL included

    // Storage for `needed` bytes; the old text is not kept.
    void grow(std::size_t needed);

    std::array<char, kInlineCapacity> inline_{};
    std::unique_ptr<char[]> heap_;
    char* data_ = inline_.data();
    std::size_t length_ = 0;
    std::size_t capacity_ = kInlineCapacity;
};

}  // namespace kivsdk
