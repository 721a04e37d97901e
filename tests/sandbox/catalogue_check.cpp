#include "catalogue_check.h"

#include <algorithm>

#include "wire/frame.h"
#include "wire/universe_messages.h"
#include "wire/world_messages.h"

namespace kivsdk::test {
namespace {

using wire::Fit;
using wire::Protocol;

// Replies that end after their result byte when it is a refusal: the fields
// from `first_absent` on exist only for a success.
struct EndsAfterRefusal {
    Protocol protocol;
    std::uint8_t type;
    const char* first_absent;
};
constexpr EndsAfterRefusal kEndsAfterRefusal[] = {
    {Protocol::kUniverse, universe_message::kLogin, "text"},
    {Protocol::kUniverse, universe_message::kWorldEntry, "ticket"},
};

bool ends_after_refusal(Protocol protocol, const unsigned char* body, std::size_t size,
                        const std::string& description) {
    if (size < 2 || body[1] == 0) return false;
    for (const EndsAfterRefusal& reply : kEndsAfterRefusal) {
        if (reply.protocol != protocol || reply.type != body[0]) continue;
        const std::string cut = std::string(" ") + reply.first_absent + "=<cut>";
        return description.size() >= cut.size() &&
               description.compare(description.size() - cut.size(), cut.size(), cut) == 0;
    }
    return false;
}

// The sandbox's keep-alive is the same frame as the client's, type 28 with
// one INT32 0; a client reads nothing of it, so the catalogue lists no field.
bool is_keep_alive(const unsigned char* body, std::size_t size) {
    static_assert(int{universe_message::kKeepAlive} == int{world_message::kKeepAlive});
    const unsigned char keep_alive[] = {universe_message::kKeepAlive, 0, 0, 0, 0};
    return size == sizeof keep_alive && std::equal(body, body + size, keep_alive);
}

const char* fit_name(Fit fit) {
    switch (fit) {
        case Fit::kExact: return "exact";
        case Fit::kShort: return "short";
        case Fit::kLong: return "long";
        case Fit::kUnknown: return "unknown";
    }
    return "?";
}

}  // namespace

void CatalogueCheck::frame(const std::string& listener, const unsigned char* frame,
                           std::size_t size) {
    const Protocol protocol = listener == "universe" ? Protocol::kUniverse : Protocol::kWorld;
    const std::string side = protocol == Protocol::kUniverse ? "universe " : "world ";
    const std::lock_guard<std::mutex> lock(mutex_);
    if (size < kFrameHeaderSize || wire::load_frame_header(frame) != size - kFrameHeaderSize) {
        disagreements_.push_back(side + "frame of " + std::to_string(size) +
                                 " bytes whose length field announces another size");
        return;
    }
    const unsigned char* body = frame + kFrameHeaderSize;
    const std::size_t body_size = size - kFrameHeaderSize;
    std::string description;
    const Fit fit =
        wire::describe(protocol, wire::Direction::kFromServer, body, body_size, description);
    if (fit != Fit::kUnknown) ++seen_[{protocol, body[0]}];
    if (fit == Fit::kExact || (fit == Fit::kLong && is_keep_alive(body, body_size))) return;
    if (fit == Fit::kShort && ends_after_refusal(protocol, body, body_size, description)) return;
    disagreements_.push_back(side + description + ": " + fit_name(fit));
}

std::vector<std::string> CatalogueCheck::disagreements() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return disagreements_;
}

std::size_t CatalogueCheck::seen(Protocol protocol, std::uint8_t type) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = seen_.find({protocol, type});
    return found == seen_.end() ? 0 : found->second;
}

}  // namespace kivsdk::test
