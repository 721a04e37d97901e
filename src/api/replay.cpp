#include "api/replay.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "api/boundary.h"
#include "api/instance.h"
#include "base/clock.h"
#include "wire/universe_messages.h"

namespace kivsdk {
namespace {

// Client frames held back for comparison with the recording; past this the
// Instance is far off the recording and only the count goes on.
constexpr std::size_t kUnmatchedTypesKept = 65536;
// Both protocols' keep-alive: sent on a timer, so never waited for.
constexpr std::uint8_t kKeepAliveType = universe_message::kKeepAlive;

bool read_file(const std::string& path, std::vector<unsigned char>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    unsigned char chunk[65536];
    bool ok = true;
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, file);
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (n < sizeof chunk) {
            ok = std::ferror(file) == 0;
            break;
        }
    }
    std::fclose(file);
    return ok;
}

FailureNote failure_of(const wire::ConnectionNote& note) noexcept {
    FailureNote failure;
    failure.detail = note.detail;
    failure.tls_result = note.tls_result;
    failure.verify_flags = note.verify_flags;
    return failure;
}

}  // namespace

std::unique_ptr<Replay> Replay::load(const std::string& path, int flags, int& rc) {
    std::vector<unsigned char> bytes;
    if (!read_file(path, bytes)) {
        rc = KIV_RC_CONNECTION_ERROR;
        return nullptr;
    }
    wire::CaptureParser parser(bytes.data(), bytes.size());
    rc = KIV_RC_INVALID_ARGUMENT;
    if (!parser.read_header()) return nullptr;
    std::vector<Record> records;
    std::array<int, 2> connections{};
    wire::CaptureRecord read;
    while (parser.next(read)) {
        const Side side = read.side == 0 ? Side::kUniverse : Side::kWorld;
        int& count = connections[read.side];
        if (read.kind == wire::CaptureKind::kConnected) ++count;
        records.push_back(Record{static_cast<std::int64_t>(read.time_us), side, read.kind, count,
                                 std::move(read.body)});
        read.body = {};
    }
    // A damaged capture is refused whole: playing its front would pass for
    // a complete session.
    if (!parser.error().empty()) return nullptr;
    rc = KIV_RC_SUCCESS;
    return std::make_unique<Replay>(std::move(records), flags);
}

Replay::Replay(std::vector<Record> records, int flags) noexcept
    : records_(std::move(records)), flags_(flags) {}

Replay::~Replay() = default;

std::unique_ptr<Connection> Replay::connection(Side which, const ConnectionHandlers& handlers,
                                               Releasable& owner) {
    auto made = std::make_unique<Connection>(handlers, owner, *this);
    SideReplay& state = side(which);
    state.live = made.get();
    ++state.made;
    // Client frames are set against the recording connection by connection.
    state.unmatched_types.clear();
    state.matched = state.sent;
    if (started_us_ < 0) started_us_ = now_microseconds();
    return made;
}

void Replay::sent(Connection& connection, const unsigned char* body, std::size_t size) {
    for (SideReplay& state : sides_) {
        if (state.live != &connection) continue;
        ++state.sent;
        if (size > 0 && state.unmatched_types.size() < kUnmatchedTypesKept) {
            state.unmatched_types.push_back(body[0]);
        }
    }
}

void Replay::closed(Connection& connection) noexcept {
    for (SideReplay& state : sides_) {
        if (state.live == &connection) state.live = nullptr;
    }
}

std::int64_t Replay::due_us(const Record& record) const noexcept {
    if ((flags_ & KIV_REPLAY_RECORDED_TIMING) == 0 || started_us_ < 0) return 0;
    return started_us_ + (record.time_us - records_.front().time_us);
}

Replay::Step Replay::step(const Record& record, int& waiting) const {
    const SideReplay& state = side(record.side);
    if (record.connection == 0) return Step::kPass;  // no Connection ever matches it
    if (state.made < record.connection) {
        waiting = KIV_REPLAY_WAITS_FOR_CONNECT;
        return Step::kWait;
    }
    if (state.made > record.connection || state.live == nullptr) return Step::kPass;
    if (record.kind == wire::CaptureKind::kToServer) {
        if (record.body.empty() || record.body[0] == kKeepAliveType) return Step::kPass;
        if (state.sent > state.matched) return Step::kPlay;
        waiting = KIV_REPLAY_WAITS_FOR_SEND;
        return Step::kWait;
    }
    if (now_microseconds() < due_us(record)) {
        waiting = KIV_REPLAY_WAITS_FOR_TIME;
        return Step::kWait;
    }
    return Step::kPlay;
}

void Replay::play(Record& record) {
    SideReplay& state = side(record.side);
    Connection& connection = *state.live;
    wire::ConnectionNote note;
    switch (record.kind) {
        case wire::CaptureKind::kToServer:
            ++state.matched;
            if (!state.unmatched_types.empty()) {
                if (state.unmatched_types.front() != record.body[0]) ++mismatched_;
                state.unmatched_types.pop_front();
            }
            return;
        case wire::CaptureKind::kFromServer:
            connection.replay_frame(record.body.data(),
                                    static_cast<std::uint16_t>(record.body.size()));
            return;
        case wire::CaptureKind::kConnected:
            wire::decode_connection_note(record.body, note);
            connection.replay_connect_result(note.status, failure_of(note));
            return;
        case wire::CaptureKind::kSecured:
            wire::decode_connection_note(record.body, note);
            connection.replay_secured(note.status, failure_of(note));
            return;
        case wire::CaptureKind::kReported:
            wire::decode_connection_note(record.body, note);
            connection.replay_report(note.status, failure_of(note));
            return;
    }
}

int Replay::pump(Instance& instance) {
    int passed = 0;
    while (next_ < records_.size() && !instance.discarded()) {
        int waiting = KIV_REPLAY_FINISHED;
        Record& record = records_[next_];
        const Step next = step(record, waiting);
        if (next == Step::kWait) break;
        ++next_;
        ++passed;
        if (next == Step::kPass) {
            ++skipped_;
            continue;
        }
        play(record);
    }
    return passed;
}

int Replay::sleep_limit(int milliseconds) const {
    if (next_ >= records_.size()) return milliseconds;
    int waiting = KIV_REPLAY_FINISHED;
    if (step(records_[next_], waiting) != Step::kWait || waiting != KIV_REPLAY_WAITS_FOR_TIME) {
        return milliseconds;
    }
    const std::int64_t left_us = due_us(records_[next_]) - now_microseconds();
    // Rounded up: waking before the record is due would only sleep again.
    const std::int64_t left_ms = std::max<std::int64_t>(0, (left_us + 999) / 1000);
    return milliseconds < 0
               ? static_cast<int>(std::min<std::int64_t>(left_ms, std::numeric_limits<int>::max()))
               : static_cast<int>(std::min<std::int64_t>(left_ms, milliseconds));
}

bool Replay::skip() {
    if (next_ >= records_.size()) return false;
    int waiting = KIV_REPLAY_FINISHED;
    const Record& record = records_[next_];
    if (step(record, waiting) != Step::kWait || waiting != KIV_REPLAY_WAITS_FOR_SEND) {
        return false;
    }
    // No frame of the Instance's is used up for it.
    ++next_;
    ++skipped_;
    return true;
}

void Replay::status(KIVReplayStatus& out) const {
    out.records = static_cast<int>(records_.size());
    out.position = static_cast<int>(next_);
    out.skipped = skipped_;
    out.sent = sides_[0].sent + sides_[1].sent;
    out.mismatched = mismatched_;
    out.waiting = KIV_REPLAY_FINISHED;
    out.waiting_side = -1;
    out.waiting_type = -1;
    if (next_ >= records_.size()) return;
    const Record& record = records_[next_];
    int waiting = KIV_REPLAY_FINISHED;
    if (step(record, waiting) != Step::kWait) waiting = KIV_REPLAY_WAITS_FOR_TIME;  // due now
    out.waiting = waiting;
    out.waiting_side = record.side == Side::kUniverse ? KIV_SIDE_UNIVERSE : KIV_SIDE_WORLD;
    if (wire::is_frame(record.kind) && !record.body.empty()) out.waiting_type = record.body[0];
}

}  // namespace kivsdk

using kivsdk::Instance;

extern "C" {

KIVSDK_API int kiv_replay_start(KIVInstance* handle, const char* path, int flags) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (path == nullptr || *path == '\0') return KIV_RC_INVALID_ARGUMENT;
        if ((flags & ~KIV_REPLAY_RECORDED_TIMING) != 0) return KIV_RC_INVALID_ARGUMENT;
        // Only a fresh Instance: one that has talked to a server would mix
        // the recording into a real session.
        if (instance.replay || instance.universe.generation != 0 ||
            instance.world.generation != 0) {
            return KIV_RC_INVALID_ARGUMENT;
        }
        int rc = KIV_RC_SUCCESS;
        instance.replay = kivsdk::Replay::load(path, flags, rc);
        return rc;
    });
}

KIVSDK_API int kiv_replay_status(KIVInstance* handle, KIVReplayStatus* status, int size) {
    return kivsdk::with_instance(
        handle, static_cast<int>(KIV_RC_INVALID_ARGUMENT), static_cast<int>(KIV_RC_WRONG_THREAD),
        [&](Instance& instance) -> int {
            if (status == nullptr || size < static_cast<int>(sizeof(int)) || !instance.replay) {
                return KIV_RC_INVALID_ARGUMENT;
            }
            KIVReplayStatus all{};
            instance.replay->status(all);
            const std::size_t copied =
                std::min(static_cast<std::size_t>(size), sizeof(KIVReplayStatus));
            all.size = static_cast<int>(copied);
            std::memcpy(status, &all, copied);
            return KIV_RC_SUCCESS;
        });
}

KIVSDK_API int kiv_replay_skip(KIVInstance* handle) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.replay || !instance.replay->skip()) return KIV_RC_INVALID_ARGUMENT;
        return KIV_RC_SUCCESS;
    });
}

}  // extern "C"
