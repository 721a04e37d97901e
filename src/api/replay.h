// Replaying a traffic capture into an Instance. Its Connections are made
// over the recording instead of sockets: each plays the server's side of
// the recorded connection on that side (its connect, handshake, frames and
// end) and drops what the Instance sends. A record waits for what caused it
// in the recorded session: a connection record for the Instance to open
// that connection, the server's frames after a client frame for the
// Instance to send one on that side. So the host code that made the capture
// sees the same events in the same order; nothing answers a request the
// recording does not hold.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "api/side.h"
#include "connection/connection.h"
#include "kivsdk.h"
#include "wire/capture_file.h"

namespace kivsdk {

class Instance;

class Replay final : public ReplayFeed {
public:
    // Reads a whole capture. Null with `rc` 9 (the file cannot be read) or
    // 12 (it is not a capture this library reads).
    static std::unique_ptr<Replay> load(const std::string& path, int flags, int& rc);
    ~Replay();

    // The side's next Connection, over the recording.
    std::unique_ptr<Connection> connection(Side side, const ConnectionHandlers& handlers,
                                           Releasable& owner);
    // Plays every record that is due and can be played, in order, until one
    // has to wait or a handler destroys the Instance. Returns how many
    // records it passed.
    int pump(Instance& instance);
    // How long a wait of `milliseconds` may sleep before the next record is
    // due (timing mode); `milliseconds` when nothing is due by time.
    int sleep_limit(int milliseconds) const;
    // Passes the client frame the replay waits for as if it had been sent.
    // False when it waits for none.
    bool skip();
    void status(KIVReplayStatus& status) const;

    // ReplayFeed.
    void sent(Connection& connection, const unsigned char* body, std::size_t size) override;
    void closed(Connection& connection) noexcept override;

    struct Record {
        std::int64_t time_us;
        Side side;
        wire::CaptureKind kind;
        // Which of the side's recorded connections it belongs to: 1 for the
        // first; 0 before any (a capture started on an open connection).
        int connection;
        std::vector<unsigned char> body;
    };
    Replay(std::vector<Record> records, int flags) noexcept;

private:
    enum class Step { kPlay, kPass, kWait };
    struct SideReplay {
        Connection* live = nullptr;                // the side's current Connection, until it closes
        int made = 0;                              // Connections made on the side
        int sent = 0;                              // frames the Instance sent on the side
        int matched = 0;                           // recorded client frames passed
        std::deque<std::uint8_t> unmatched_types;  // sent, not yet set against a record
    };

    Step step(const Record& record, int& waiting) const;
    void play(Record& record);
    std::int64_t due_us(const Record& record) const noexcept;
    SideReplay& side(Side which) noexcept { return sides_[which == Side::kUniverse ? 0 : 1]; }
    const SideReplay& side(Side which) const noexcept {
        return sides_[which == Side::kUniverse ? 0 : 1];
    }

    std::vector<Record> records_;
    std::size_t next_ = 0;
    int flags_;
    int skipped_ = 0;
    int mismatched_ = 0;
    std::int64_t started_us_ = -1;  // when the first Connection was made
    std::array<SideReplay, 2> sides_{};
};

}  // namespace kivsdk
