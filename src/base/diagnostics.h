// The one funnel for the library's diagnostic lines. Every line the library
// writes goes through report(); the default sink writes it to standard
// output, unchanged, and flushes.
#pragma once

namespace kivsdk {

enum class DiagnosticLevel { kError = 0, kWarning = 1, kInfo = 2, kDebug = 3 };
enum class DiagnosticCategory { kUniverse = 0, kWorld = 1, kTls = 2, kNet = 3 };

// Receives each formatted line, with its line end as the library wrote it.
using DiagnosticSink = void (*)(DiagnosticLevel level, DiagnosticCategory category,
                                const char* text);

#if defined(__GNUC__) || defined(__clang__)
#define KIVSDK_PRINTF_FORMAT(format_index, first_argument) \
    __attribute__((format(printf, format_index, first_argument)))
#else
#define KIVSDK_PRINTF_FORMAT(format_index, first_argument)
#endif

// Formats one diagnostic and hands it to the sink. Never throws; a line that
// cannot be formatted is dropped.
void report(DiagnosticLevel level, DiagnosticCategory category, const char* format, ...) noexcept
    KIVSDK_PRINTF_FORMAT(3, 4);

// Tests capture the lines; a null sink restores standard output.
void set_diagnostic_sink_for_testing(DiagnosticSink sink) noexcept;

}  // namespace kivsdk
