// What a kivswarm run measured, and the three ways it is written out: a
// table for the terminal, JSON for machines, an HTML page with inline SVG
// plots for people.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "swarm_options.h"

namespace kivsdk::tools::swarm {

// The kinds of round trip, in the order every report lists them.
enum class Trip {
    kConnect,       // connect request -> the secure channel is up (callback 13)
    kLogin,         // login -> callback 10
    kEnter,         // first enter -> callback 11
    kReenter,       // enter after leaving -> callback 11
    kChat,          // a line said -> heard by the chosen bot of the same world
    kObjectAdd,     // -> callback 0
    kObjectChange,  // -> callback 1
    kObjectDelete,  // -> callback 2
    kCellQuery,     // query -> the cell's end (event 15)
};
constexpr std::size_t kTripKinds = 9;
const char* trip_name(Trip trip);

// Nearest-rank percentiles of one set of samples.
struct Percentiles {
    std::size_t count = 0;
    double p50 = 0, p90 = 0, p99 = 0, max = 0, mean = 0;
};

// The value at rank ceil(share * n) (1-based) of `sorted` (ascending, not
// empty); share in (0, 1].
double nearest_rank(const std::vector<double>& sorted, double share);
// Sorts `values` and summarizes them; count 0 for none.
Percentiles summarize(std::vector<double> values);

// One second of the run.
struct SecondSample {
    int t = 0;  // seconds since the start, at the end of this second
    int in = 0;
    int connecting = 0;
    int failed = 0;
    long long events = 0;
    std::size_t trips = 0;   // round trips completed in this second, all kinds
    double trip_p50_ms = 0;  // of those; meaningless when trips is 0
    double trip_p99_ms = 0;
    double cpu_percent = 0;  // of one core
    double rss_mib = 0;
};

struct FailureNote {
    std::string bot;
    std::string step;
    int rc = 0;
    std::string text;
};

struct Report {
    Options options;
    std::string started_utc;  // e.g. 2024-05-01T12:00:00Z
    std::string library_version;
    double elapsed_s = 0;
    bool stopped_early = false;  // by a signal, before the duration was over
    std::string fault;           // why the run could not be made or go on; empty when it could

    int requested = 0;
    int in = 0;  // in a world at the end
    int peak_in = 0;
    int connecting = 0;
    int failed_bots = 0;

    long long failures = 0;
    std::map<std::string, long long> failures_by_step;
    std::vector<FailureNote> first_failures;  // the first few, for the reader

    long long events = 0;
    std::map<std::string, long long> events_by_kind;

    std::array<Percentiles, kTripKinds> trips{};           // milliseconds
    std::array<long long, kTripKinds> trips_sent{};        // requests made
    std::array<long long, kTripKinds> trips_unanswered{};  // no answer by the end

    double cpu_user_s = 0;
    double cpu_system_s = 0;
    double rss_peak_mib = 0;
    double rss_end_mib = 0;

    std::vector<SecondSample> series;

    double events_per_second() const { return elapsed_s > 0 ? events / elapsed_s : 0; }
    double cpu_percent() const {
        return elapsed_s > 0 ? 100 * (cpu_user_s + cpu_system_s) / elapsed_s : 0;
    }
};

// The thresholds of the options that the report exceeds, one sentence each;
// empty when it passes.
std::vector<std::string> exceeded_thresholds(const Report& report);

// `text` safe inside HTML text and attribute values.
std::string html_escape(const std::string& text);

void write_table(std::ostream& out, const Report& report);
void write_json(std::ostream& out, const Report& report);
void write_html(std::ostream& out, const Report& report);

// One plot: lines over the seconds of the run.
struct PlotLine {
    std::string name;
    std::string color;
    std::vector<double> values;  // one per x; NaN leaves a gap
    bool dashed = false;
};
// An SVG element with axes, grid, ticks, a legend and one polyline per
// unbroken stretch of each line.
std::string svg_plot(const std::string& title, const std::string& unit,
                     const std::vector<double>& x, const std::vector<PlotLine>& lines);

}  // namespace kivsdk::tools::swarm
