// The one funnel for the library's diagnostic lines. Every line goes
// through report(): to the handler and level of its Instance (kiv_log_set
// on an Instance), else to the global ones (kiv_log_set with NULL). Without
// a handler a line is written to standard output, unchanged, and flushed;
// the default level lets through the errors and warnings the library has
// always written, so a host that sets nothing sees the same lines.
#pragma once

#include <atomic>

#include "kivsdk.h"

namespace kivsdk {

enum class DiagnosticLevel { kError = 0, kWarning = 1, kInfo = 2, kDebug = 3 };
enum class DiagnosticCategory { kUniverse = 0, kWorld = 1, kTls = 2, kNet = 3 };

// Where the lines of one Instance (or, globally, of all) go. Set atomically:
// Instances may live on different threads.
struct LogRoute {
    static constexpr int kUnset = -2;  // an Instance's route: use the global one

    std::atomic<int> level{kUnset};
    std::atomic<KIVLogHandler> handler{nullptr};
};

// The global route: level KIV_LOG_WARNING, standard output.
LogRoute& global_log_route() noexcept;

// Who a line is about: the Instance's route and handle, or none (global).
struct LogSource {
    const LogRoute* route = nullptr;
    KIVInstance* instance = nullptr;
};

// True when a line of that level would go anywhere: callers with costly
// arguments check first.
bool log_enabled(const LogSource& source, DiagnosticLevel level) noexcept;

#if defined(__GNUC__) || defined(__clang__)
#define KIVSDK_PRINTF_FORMAT(format_index, first_argument) \
    __attribute__((format(printf, format_index, first_argument)))
#else
#define KIVSDK_PRINTF_FORMAT(format_index, first_argument)
#endif

// Formats one line and hands it to the source's route. Never throws; a line
// that cannot be formatted is dropped.
void report(const LogSource& source, DiagnosticLevel level, DiagnosticCategory category,
            const char* format, ...) noexcept KIVSDK_PRINTF_FORMAT(4, 5);

}  // namespace kivsdk
