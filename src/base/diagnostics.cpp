#include "base/diagnostics.h"

#include <cstdarg>
#include <cstdio>

namespace kivsdk {
namespace {

const char* category_name(DiagnosticCategory category) noexcept {
    switch (category) {
        case DiagnosticCategory::kUniverse: return "universe";
        case DiagnosticCategory::kWorld: return "world";
        case DiagnosticCategory::kTls: return "tls";
        case DiagnosticCategory::kNet: break;
    }
    return "net";
}

// The route that decides for a source: its own when set, else the global.
const LogRoute& deciding_route(const LogSource& source) noexcept {
    if (source.route != nullptr &&
        source.route->level.load(std::memory_order_acquire) != LogRoute::kUnset) {
        return *source.route;
    }
    return global_log_route();
}

}  // namespace

LogRoute& global_log_route() noexcept {
    static LogRoute route;
    static const bool initialised = [] {
        route.level.store(KIV_LOG_WARNING, std::memory_order_release);
        return true;
    }();
    static_cast<void>(initialised);
    return route;
}

bool log_enabled(const LogSource& source, DiagnosticLevel level) noexcept {
    return static_cast<int>(level) <= deciding_route(source).level.load(std::memory_order_acquire);
}

void report(const LogSource& source, DiagnosticLevel level, DiagnosticCategory category,
            const char* format, ...) noexcept {
    const LogRoute& route = deciding_route(source);
    if (static_cast<int>(level) > route.level.load(std::memory_order_acquire)) return;
    // The library's lines are short; a longer one is cut rather than
    // allocated for.
    char line[1024];
    std::va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (written < 0) return;
    const KIVLogHandler handler = route.handler.load(std::memory_order_acquire);
    if (handler == nullptr) {
        std::fputs(line, stdout);
        std::fflush(stdout);
        return;
    }
    try {
        handler(source.instance, static_cast<int>(level), category_name(category), line);
    } catch (...) {
        // A handler's exception must not cross into the library's caller.
    }
}

}  // namespace kivsdk
