#include "testkit/recorder.h"

#include "wire/message_catalogue.h"

namespace kivsdk::testkit {
namespace {

// Frames kept; the oldest go first.
constexpr std::size_t kMaxRecorded = 100000;

}  // namespace

void Recorder::attach(server::ServerLoop& loop) {
    loop.tap_received_frames([this](const server::Peer& peer, const unsigned char* body,
                                    std::size_t size) { record(peer, body, size); });
}

void Recorder::record(const server::Peer& peer, const unsigned char* body, std::size_t size) {
    if (peer.label().empty()) return;
    if (sent_.size() >= kMaxRecorded) sent_.pop_front();
    sent_.push_back({peer.listener(), peer.label(), {body, body + size}});
}

std::vector<std::string> Recorder::sent_by(const std::string& user,
                                           const std::string& where) const {
    const wire::Protocol protocol =
        where == "universe" ? wire::Protocol::kUniverse : wire::Protocol::kWorld;
    std::vector<std::string> messages;
    for (const Sent& sent : sent_) {
        if (sent.user != user || sent.where != where) continue;
        std::string text;
        wire::describe(protocol, wire::Direction::kToServer, sent.body.data(), sent.body.size(),
                       text);
        messages.push_back(std::move(text));
    }
    return messages;
}

}  // namespace kivsdk::testkit
