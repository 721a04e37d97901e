// What of kivswarm needs no server: its command line, the percentiles,
// and the three report writers (table, JSON, HTML with inline SVG).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "swarm_command.h"
#include "swarm_options.h"
#include "swarm_report.h"

namespace kivsdk::test {
namespace {

using namespace tools::swarm;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::size_t trip(Trip kind) { return static_cast<std::size_t>(kind); }

// A NaN or an infinity as printf writes them, where a number would stand.
bool holds_a_number_json_lacks(const std::string& text) {
    return std::regex_search(text, std::regex("[^a-z](-?nan|-?inf)"));
}

// The texts that follow each occurrence of `before` up to the next '<'.
std::vector<std::string> labels(const std::string& svg, const std::string& before) {
    std::vector<std::string> found;
    for (std::size_t at = svg.find(before); at != std::string::npos;
         at = svg.find(before, at + 1)) {
        const std::size_t start = at + before.size();
        found.push_back(svg.substr(start, svg.find('<', start) - start));
    }
    return found;
}

// ---- Command line ---------------------------------------------------------

TEST(KivswarmCommandLine, DefaultsEnterTheLobbyWithEveryBehaviourButReentering) {
    const CommandLine line = parse_command_line({});
    ASSERT_EQ(line.action, CommandLine::Action::kRun);
    const Options& o = line.options;
    EXPECT_EQ(o.host, "127.0.0.1");
    EXPECT_EQ(o.port, 6670);
    EXPECT_EQ(o.worlds, std::vector<std::string>{"lobby"});
    EXPECT_GT(o.bots, 0);
    EXPECT_GT(o.ramp, 0);
    EXPECT_GT(o.walk_hz, 0);
    EXPECT_GT(o.chat_every, 0);
    EXPECT_GT(o.build_every, 0);
    EXPECT_GT(o.query_every, 0);
    EXPECT_EQ(o.reenter_every, 0);
    EXPECT_FALSE(o.max_p99_ms.has_value());
    EXPECT_FALSE(o.max_failures.has_value());
    EXPECT_EQ(o.pass_every_ms, 0) << "a pass at every readiness";
    EXPECT_TRUE(o.json_path.empty());
}

TEST(KivswarmCommandLine, ReadsEveryOptionAndKeepsTheWorldsInOrder) {
    const CommandLine line = parse_command_line(
        {"--host",          "10.1.2.3", "--port",         "7000",   "--world",       "garden",
         "--world",         "lobby",    "--world",        "garden", "--bots",        "250",
         "--ramp",          "12.5",     "--duration",     "90",     "--walk-hz",     "4",
         "--path",          "square",   "--path-size",    "7.5",    "--walk-speed",  "3",
         "--chat-every",    "5",        "--build-every",  "0",      "--query-every", "2.5",
         "--reenter-every", "40",       "--name",         "load",   "--password",    "pw",
         "--seed",          "99",       "--json",         "r.json", "--html",        "r.html",
         "--max-p99-ms",    "25.5",     "--max-failures", "0",      "--pass-every",  "10"});
    ASSERT_EQ(line.action, CommandLine::Action::kRun) << line.error;
    const Options& o = line.options;
    EXPECT_EQ(o.host, "10.1.2.3");
    EXPECT_EQ(o.port, 7000);
    EXPECT_EQ(o.worlds, (std::vector<std::string>{"garden", "lobby", "garden"}));
    EXPECT_EQ(o.bots, 250);
    EXPECT_DOUBLE_EQ(o.ramp, 12.5);
    EXPECT_DOUBLE_EQ(o.duration, 90);
    EXPECT_DOUBLE_EQ(o.walk_hz, 4);
    EXPECT_EQ(o.path, PathShape::kSquare);
    EXPECT_DOUBLE_EQ(o.path_size, 7.5);
    EXPECT_DOUBLE_EQ(o.walk_speed, 3);
    EXPECT_DOUBLE_EQ(o.chat_every, 5);
    EXPECT_DOUBLE_EQ(o.build_every, 0);
    EXPECT_DOUBLE_EQ(o.query_every, 2.5);
    EXPECT_DOUBLE_EQ(o.reenter_every, 40);
    EXPECT_EQ(o.name_prefix, "load");
    EXPECT_EQ(o.password, "pw");
    EXPECT_EQ(o.seed, 99u);
    EXPECT_EQ(o.json_path, "r.json");
    EXPECT_EQ(o.html_path, "r.html");
    ASSERT_TRUE(o.max_p99_ms.has_value());
    EXPECT_DOUBLE_EQ(*o.max_p99_ms, 25.5);
    ASSERT_TRUE(o.max_failures.has_value());
    EXPECT_EQ(*o.max_failures, 0);
    EXPECT_EQ(o.pass_every_ms, 10);
}

TEST(KivswarmCommandLine, RefusesBadValuesNamingTheOption) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bots", "0"}, "--bots"},
        {{"--bots", "12x"}, "--bots"},
        {{"--bots", "-3"}, "--bots"},
        {{"--port", "0"}, "--port"},
        {{"--port", "65536"}, "--port"},
        {{"--ramp", "0"}, "--ramp"},
        {{"--duration", "forever"}, "--duration"},
        {{"--walk-hz", "-1"}, "--walk-hz"},
        {{"--walk-hz", "nan"}, "--walk-hz"},
        {{"--chat-every", "0.001"}, "--chat-every"},
        {{"--path", "triangle"}, "--path"},
        {{"--world", ""}, "--world"},
        {{"--max-failures", "1.5"}, "--max-failures"},
        {{"--max-p99-ms", "-2"}, "--max-p99-ms"},
        {{"--pass-every", "2.5"}, "--pass-every"},
        {{"--pass-every", "1001"}, "--pass-every"},
        {{"--json"}, "--json needs a value"},
        {{"--frobnicate", "1"}, "unknown option --frobnicate"},
        {{"lobby"}, "unexpected argument lobby"},
    };
    for (const auto& [arguments, expected] : cases) {
        const CommandLine line = parse_command_line(arguments);
        EXPECT_EQ(line.action, CommandLine::Action::kError) << arguments.front();
        EXPECT_NE(line.error.find(expected), std::string::npos)
            << arguments.front() << ": " << line.error;
    }
}

TEST(KivswarmCommandLine, HelpDocumentsEveryOptionItAcceptsTheExitCodesAndLinux) {
    const std::vector<std::pair<std::string, std::string>> options = {
        {"--host", "h"},          {"--port", "1"},        {"--world", "w"},
        {"--name", "n"},          {"--password", "p"},    {"--bots", "1"},
        {"--ramp", "1"},          {"--duration", "1"},    {"--walk-hz", "1"},
        {"--path", "circle"},     {"--path-size", "1"},   {"--walk-speed", "1"},
        {"--chat-every", "1"},    {"--build-every", "1"}, {"--query-every", "1"},
        {"--reenter-every", "1"}, {"--seed", "1"},        {"--json", "j"},
        {"--html", "h"},          {"--max-p99-ms", "1"},  {"--max-failures", "1"},
        {"--pass-every", "10"},
    };
    const std::string help = usage_text();
    for (const auto& [name, value] : options) {
        EXPECT_NE(help.find("  " + name + " "), std::string::npos) << name;
        EXPECT_EQ(parse_command_line({name, value}).action, CommandLine::Action::kRun) << name;
    }
    EXPECT_NE(help.find("Linux only"), std::string::npos);
    for (const char* code : {"Exit status: 0 the run ended within its thresholds",
                             "; 1 a threshold", "\n2 a bad command line"})
        EXPECT_NE(help.find(code), std::string::npos) << code;
    EXPECT_EQ(parse_command_line({"--bots", "5", "--help"}).action, CommandLine::Action::kHelp);
}

TEST(KivswarmCommandLine, ExitsWithTwoBeforeRunningWhenAReportCannotBeWritten) {
    std::ostringstream out, err;
    EXPECT_EQ(swarm_command({"--help"}, out, err, false, nullptr), kExitOk);
    EXPECT_EQ(out.str(), usage_text());

    out.str("");
    EXPECT_EQ(swarm_command({"--bots", "none"}, out, err, false, nullptr), kExitBadCommand);
    EXPECT_NE(err.str().find("bad --bots: none"), std::string::npos) << err.str();

    // Nothing is started (no server listens at port 1): the path is refused first.
    err.str("");
    EXPECT_EQ(swarm_command({"--port", "1", "--json", "/nonexistent-kivswarm-dir/r.json"}, out, err,
                            false, nullptr),
              kExitBadCommand);
    EXPECT_NE(err.str().find("cannot write /nonexistent-kivswarm-dir/r.json"), std::string::npos)
        << err.str();
    EXPECT_EQ(out.str(), "") << "no table: nothing ran";
}

// ---- Percentiles ------------------------------------------------------------

TEST(KivswarmPercentiles, NearestRankOnKnownData) {
    std::vector<double> hundred(100);
    std::iota(hundred.begin(), hundred.end(), 1.0);
    std::shuffle(hundred.begin(), hundred.end(), std::mt19937(7));
    Percentiles p = summarize(hundred);
    EXPECT_EQ(p.count, 100u);
    EXPECT_DOUBLE_EQ(p.p50, 50);
    EXPECT_DOUBLE_EQ(p.p90, 90);
    EXPECT_DOUBLE_EQ(p.p99, 99);
    EXPECT_DOUBLE_EQ(p.max, 100);
    EXPECT_DOUBLE_EQ(p.mean, 50.5);

    std::vector<double> thousand(1000);
    std::iota(thousand.rbegin(), thousand.rend(), 1.0);  // descending
    p = summarize(thousand);
    EXPECT_DOUBLE_EQ(p.p50, 500);
    EXPECT_DOUBLE_EQ(p.p90, 900);
    EXPECT_DOUBLE_EQ(p.p99, 990);
    EXPECT_DOUBLE_EQ(p.max, 1000);

    // Ten samples: the 99th percentile is the largest, the median the fifth.
    p = summarize({0.5, 9, 3, 7, 1, 5, 2, 8, 4, 6});
    EXPECT_DOUBLE_EQ(p.p50, 4);
    EXPECT_DOUBLE_EQ(p.p90, 8);
    EXPECT_DOUBLE_EQ(p.p99, 9);

    p = summarize({42});
    EXPECT_EQ(p.count, 1u);
    EXPECT_DOUBLE_EQ(p.p50, 42);
    EXPECT_DOUBLE_EQ(p.p99, 42);
    EXPECT_DOUBLE_EQ(p.max, 42);

    EXPECT_EQ(summarize({}).count, 0u);
}

// ---- Reports ------------------------------------------------------------------

// A small run: three bots, one failed to enter; chats and object adds timed;
// three seconds of samples, the first without round trips.
Report sample_report() {
    Report r;
    r.options.worlds = {"lobby", "quote\"back\\slash<b>&"};
    r.options.bots = 3;
    r.started_utc = "2024-05-01T12:00:00Z";
    r.library_version = "0.2.0";
    r.elapsed_s = 3;
    r.requested = 3;
    r.in = 2;
    r.peak_in = 2;
    r.failed_bots = 1;
    r.failures = 1;
    r.failures_by_step["enter"] = 1;
    r.first_failures.push_back({"swarm2", "enter", 30, "refused\n\"twice\""});
    r.events = 300;
    r.events_by_kind["chat"] = 120;
    r.events_by_kind["avatar_change"] = 180;
    r.trips[trip(Trip::kChat)] = summarize({1, 2, 3, 4});
    r.trips_sent[trip(Trip::kChat)] = 5;
    r.trips_unanswered[trip(Trip::kChat)] = 1;
    r.trips[trip(Trip::kObjectAdd)] = summarize({10, 20});
    r.trips_sent[trip(Trip::kObjectAdd)] = 2;
    r.cpu_user_s = 0.25;
    r.cpu_system_s = 0.05;
    r.rss_peak_mib = 12.5;
    r.rss_end_mib = 12;
    r.series = {{1, 1, 2, 0, 40, 0, 0, 0, 5, 10},
                {2, 2, 0, 1, 120, 3, 2.5, 20, 8, 11.5},
                {3, 2, 0, 1, 140, 3, 1.5, 4, 7, 12}};
    return r;
}

TEST(KivswarmJson, TextFieldsAreEscapedIntoValidUtf8) {
    Report r = sample_report();
    r.fault = "say \"hi\" C:\\bots\n\x01 gr\xc3\xbc\xc3\x9f </script>\xff";
    std::ostringstream out;
    write_json(out, r);
    EXPECT_NE(out.str().find("\"fault\": \"say \\\"hi\\\" C:\\\\bots\\n\\u0001 gr\xc3\xbc\xc3\x9f "
                             "\\u003c/script\\u003e\xEF\xBF\xBD\""),
              std::string::npos)
        << out.str();
}

TEST(KivswarmJson, ReportCarriesTotalsPercentilesFailuresAndTheSeries) {
    std::ostringstream out;
    write_json(out, sample_report());
    const std::string json = out.str();
    EXPECT_NE(json.find(R"("worlds": ["lobby", "quote\"back\\slash\u003cb\u003e\u0026"])"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find(R"("bots": {"requested": 3, "in": 2, "peak_in": 2, "connecting": 0, )"
                        R"("failed": 1})"),
              std::string::npos);
    EXPECT_NE(json.find(R"("failures": {"total": 1, "by_step": {"enter": 1}, "first": [{"bot": )"
                        R"("swarm2", "step": "enter", "rc": 30, "text": "refused\n\"twice\""}]})"),
              std::string::npos);
    EXPECT_NE(json.find(R"("events": {"total": 300, "per_second": 100.0, "by_kind": )"
                        R"({"avatar_change": 180, "chat": 120}})"),
              std::string::npos);
    EXPECT_NE(json.find(R"("chat": {"count": 4, "p50": 2.000, "p90": 4.000, "p99": 4.000, )"
                        R"("max": 4.000, "mean": 2.500, "sent": 5, "unanswered": 1})"),
              std::string::npos);
    EXPECT_NE(json.find(R"("object_add": {"count": 2, "p50": 10.000, "p90": 20.000)"),
              std::string::npos);
    // A kind without samples has no numbers to give.
    EXPECT_NE(json.find(R"("cell_query": {"count": 0, "p50": null, "p90": null, "p99": null, )"
                        R"("max": null, "mean": null)"),
              std::string::npos);
    EXPECT_NE(json.find(R"("cpu_percent": 10.0)"), std::string::npos);
    EXPECT_NE(json.find(R"("thresholds": {"max_p99_ms": null, "max_failures": null, )"
                        R"("exceeded": [], "passed": true})"),
              std::string::npos);
    EXPECT_NE(json.find(R"({"t": 1, "in": 1, "connecting": 2, "failed": 0, "events": 40, )"
                        R"("trips": 0, "trip_p50_ms": null, "trip_p99_ms": null, )"
                        R"("cpu_percent": 5.0, "rss_mib": 10.0})"),
              std::string::npos);
    EXPECT_NE(json.find(R"("trips": 3, "trip_p50_ms": 2.500, "trip_p99_ms": 20.000)"),
              std::string::npos);
    EXPECT_FALSE(holds_a_number_json_lacks(json));
    EXPECT_EQ(json.back(), '\n');
}

TEST(KivswarmThresholds, ExceededByTheP99OfAnyKindOrByTheFailures) {
    Report r = sample_report();
    EXPECT_TRUE(exceeded_thresholds(r).empty()) << "no thresholds asked for";

    r.options.max_p99_ms = 20;  // object_add's p99 is 20: at the limit passes
    r.options.max_failures = 1;
    EXPECT_TRUE(exceeded_thresholds(r).empty());

    r.options.max_p99_ms = 3.5;
    r.options.max_failures = 0;
    const std::vector<std::string> exceeded = exceeded_thresholds(r);
    ASSERT_EQ(exceeded.size(), 3u);
    EXPECT_EQ(exceeded[0], "chat p99 4.000 ms > 3.5 ms");
    EXPECT_EQ(exceeded[1], "object_add p99 20.000 ms > 3.5 ms");
    EXPECT_EQ(exceeded[2], "1 failures > 0 allowed");

    std::ostringstream json, table;
    write_json(json, r);
    EXPECT_NE(json.str().find(R"("max_p99_ms": 3.5, "max_failures": 0, "exceeded": ["chat p99)"),
              std::string::npos);
    EXPECT_NE(json.str().find(R"("passed": false)"), std::string::npos);
    write_table(table, r);
    EXPECT_NE(table.str().find("thresholds EXCEEDED\n  chat p99 4.000 ms > 3.5 ms\n"),
              std::string::npos)
        << table.str();
}

TEST(KivswarmTable, ListsOnlyTheKindsOfRoundTripThatRan) {
    std::ostringstream out;
    write_table(out, sample_report());
    const std::string table = out.str();
    EXPECT_NE(table.find("bots       3 requested, 2 in (peak 2), 0 connecting, 1 failed"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("failures   1 (enter 1)"), std::string::npos);
    EXPECT_NE(table.find("chat                  4      2.00      4.00      4.00      4.00"
                         "           1"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("object_add            2     10.00     20.00"), std::string::npos);
    EXPECT_EQ(table.find("\ncell_query "), std::string::npos);
    EXPECT_EQ(table.find("\nreenter "), std::string::npos);
    EXPECT_NE(table.find("thresholds none"), std::string::npos);
}

TEST(KivswarmHtml, OnePageWithItsPlotsInlineAndNothingFetched) {
    Report r = sample_report();
    r.options.max_p99_ms = 15;
    std::ostringstream out;
    write_html(out, r);
    const std::string html = out.str();
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(html.find("</html>"), std::string::npos);
    EXPECT_EQ(occurrences(html, "<svg "), 5u);
    EXPECT_EQ(occurrences(html, "</svg>"), 5u);
    EXPECT_GE(occurrences(html, "<polyline "), 6u);  // p50, p99, limit, events, in, memory...
    for (const char* title : {"Round trips", "Events per second", "Bots", "Memory", "CPU"})
        EXPECT_NE(html.find(std::string("<title>") + title), std::string::npos) << title;
    // The threshold is drawn as a dashed line.
    EXPECT_NE(html.find("stroke-dasharray"), std::string::npos);
    // Nothing outside the page: no address, no script, no linked file.
    for (const char* outside :
         {"http:", "https:", "//", "<script", "src=", "href=", "url(", "@import", "<link", "<img"})
        EXPECT_EQ(html.find(outside), std::string::npos) << outside;
    // The world's name is text, never markup.
    EXPECT_NE(html.find("quote&quot;back\\slash&lt;b&gt;&amp;"), std::string::npos);
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    EXPECT_NE(html.find("refused\n&quot;twice&quot;"), std::string::npos);
}

TEST(KivswarmHtml, PlotBreaksALineAtGapsAndScalesToItsLargestValue) {
    const double gap = std::numeric_limits<double>::quiet_NaN();
    const std::string svg = svg_plot("Trips", "ms", {1, 2, 3, 4, 5, 6, 7},
                                     {{"p50", "#123456", {1, 2, gap, 3, 4.5, gap, 2}}});
    // Two stretches of two points, and a lone point as a dot.
    EXPECT_EQ(occurrences(svg, "<polyline "), 2u);
    EXPECT_EQ(occurrences(svg, "<circle "), 1u);
    EXPECT_FALSE(holds_a_number_json_lacks(svg));
    // The y axis ends on the first round tick above 4.5; the x axis at 7.
    EXPECT_EQ(labels(svg, "class=\"y-tick\">"),
              (std::vector<std::string>{"0", "1", "2", "3", "4", "5"}));
    EXPECT_EQ(labels(svg, "class=\"x-tick\">"),
              (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7"}));
    // Every point lies inside the drawing.
    std::size_t at = 0;
    while ((at = svg.find("points=\"", at)) != std::string::npos) {
        at += 8;
        std::istringstream points(svg.substr(at, svg.find('"', at) - at));
        double x = 0, y = 0;
        char comma = 0;
        while (points >> x >> comma >> y) {
            EXPECT_GE(x, 0);
            EXPECT_LE(x, 760);
            EXPECT_GE(y, 0);
            EXPECT_LE(y, 260);
        }
    }
    // A series with nothing to draw still makes an axis, and no line.
    const std::string empty = svg_plot("Nothing", "ms", {}, {{"p50", "#000", {}}});
    EXPECT_NE(empty.find("<svg "), std::string::npos);
    EXPECT_EQ(empty.find("<polyline"), std::string::npos);
}

}  // namespace
}  // namespace kivsdk::test
