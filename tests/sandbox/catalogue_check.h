// CatalogueCheck: holds every frame the sandbox sends to the message
// catalogue. The length field must announce exactly the body that follows
// (each reply is framed once), and the body must have exactly the fields of
// its catalogue entry; a reply may end early only where the catalogue's
// later fields are conditional (listed in catalogue_check.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "wire/message_catalogue.h"

namespace kivsdk::test {

class CatalogueCheck {
public:
    // One frame, length field included, sent to a client of `listener`
    // ("universe" or a world's name). Safe from the sandbox's thread.
    void frame(const std::string& listener, const unsigned char* frame, std::size_t size);

    // "universe login reply result=0 value=1<cut>: short", one per frame
    // that disagrees.
    std::vector<std::string> disagreements() const;
    // Frames of that protocol and type checked so far.
    std::size_t seen(wire::Protocol protocol, std::uint8_t type) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> disagreements_;
    std::map<std::pair<wire::Protocol, std::uint8_t>, std::size_t> seen_;
};

}  // namespace kivsdk::test
