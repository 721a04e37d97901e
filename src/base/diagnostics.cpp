#include "base/diagnostics.h"

#include <cstdarg>
#include <cstdio>

namespace kivsdk {
namespace {

void write_to_standard_output(DiagnosticLevel, DiagnosticCategory, const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

DiagnosticSink current_sink = &write_to_standard_output;

}  // namespace

void report(DiagnosticLevel level, DiagnosticCategory category, const char* format, ...) noexcept {
    // Mbed TLS debug lines and the library's own lines are short; a longer
    // one is cut rather than allocated for.
    char line[1024];
    std::va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (written < 0) return;
    current_sink(level, category, line);
}

void set_diagnostic_sink_for_testing(DiagnosticSink sink) noexcept {
    current_sink = sink != nullptr ? sink : &write_to_standard_output;
}

}  // namespace kivsdk
