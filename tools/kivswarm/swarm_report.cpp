#include "swarm_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

#include "json_text.h"

namespace kivsdk::tools::swarm {
namespace {

constexpr std::array<const char*, kTripKinds> kTripNames = {
    "connect",    "login",         "enter",         "reenter",   "chat",
    "object_add", "object_change", "object_delete", "cell_query"};

// `value` with that many decimals, or in the shortest form for -1.
std::string format(double value, int decimals) {
    char buffer[64];
    if (decimals < 0)
        std::snprintf(buffer, sizeof buffer, "%.10g", value);
    else
        std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

// A JSON number, or null for what JSON cannot hold.
std::string number(double value, int decimals = 3) {
    return std::isfinite(value) ? format(value, decimals) : "null";
}
std::string quoted(const std::string& text) { return json::json_quoted(text); }

Trip trip_at(std::size_t index) { return static_cast<Trip>(index); }

// Kinds that were asked for or answered in this run.
bool trip_used(const Report& report, std::size_t index) {
    return report.trips_sent[index] > 0 || report.trips[index].count > 0;
}

std::string seconds_or_off(double seconds) {
    return seconds > 0 ? format(seconds, -1) + " s" : "off";
}

}  // namespace

const char* trip_name(Trip trip) { return kTripNames[static_cast<std::size_t>(trip)]; }

double nearest_rank(const std::vector<double>& sorted, double share) {
    const double n = static_cast<double>(sorted.size());
    std::size_t rank = static_cast<std::size_t>(std::ceil(share * n - 1e-9));
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

Percentiles summarize(std::vector<double> values) {
    Percentiles result;
    if (values.empty()) return result;
    std::sort(values.begin(), values.end());
    result.count = values.size();
    result.p50 = nearest_rank(values, 0.50);
    result.p90 = nearest_rank(values, 0.90);
    result.p99 = nearest_rank(values, 0.99);
    result.max = values.back();
    double sum = 0;
    for (const double value : values) sum += value;
    result.mean = sum / static_cast<double>(values.size());
    return result;
}

std::vector<std::string> exceeded_thresholds(const Report& report) {
    std::vector<std::string> exceeded;
    const Options& o = report.options;
    if (o.max_p99_ms) {
        for (std::size_t i = 0; i < kTripKinds; ++i) {
            const Percentiles& trip = report.trips[i];
            if (trip.count > 0 && trip.p99 > *o.max_p99_ms) {
                exceeded.push_back(std::string(kTripNames[i]) + " p99 " + format(trip.p99, 3) +
                                   " ms > " + format(*o.max_p99_ms, -1) + " ms");
            }
        }
    }
    if (o.max_failures && report.failures > *o.max_failures) {
        exceeded.push_back(std::to_string(report.failures) + " failures > " +
                           std::to_string(*o.max_failures) + " allowed");
    }
    return exceeded;
}

std::string html_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

// ---- Table ------------------------------------------------------------------

void write_table(std::ostream& out, const Report& r) {
    const Options& o = r.options;
    std::string worlds;
    for (const std::string& world : o.worlds) worlds += (worlds.empty() ? "" : ", ") + world;
    char line[256];
    out << "kivswarm: " << r.requested << " bots against " << o.host << ":" << o.port << " ("
        << worlds << ") for " << format(r.elapsed_s, 1) << " s\n";
    if (!r.fault.empty()) out << "FAULT      " << r.fault << "\n";
    if (r.stopped_early) out << "stopped    early, by a signal\n";
    out << "behaviour  walk " << (o.walk_hz > 0 ? format(o.walk_hz, -1) + " Hz" : "off")
        << ", chat " << seconds_or_off(o.chat_every) << ", build " << seconds_or_off(o.build_every)
        << ", query " << seconds_or_off(o.query_every) << ", reenter "
        << seconds_or_off(o.reenter_every) << "\n";
    out << "bots       " << r.requested << " requested, " << r.in << " in (peak " << r.peak_in
        << "), " << r.connecting << " connecting, " << r.failed_bots << " failed\n";
    out << "events     " << r.events << " in all, " << format(r.events_per_second(), 1) << "/s\n";
    out << "failures   " << r.failures;
    std::string steps;
    for (const auto& [step, count] : r.failures_by_step)
        steps += (steps.empty() ? "" : ", ") + step + " " + std::to_string(count);
    if (!steps.empty()) out << " (" << steps << ")";
    out << "\n";
    std::snprintf(line, sizeof line, "cpu        %.2f s user, %.2f s system: %.1f%% of one core\n",
                  r.cpu_user_s, r.cpu_system_s, r.cpu_percent());
    out << line;
    std::snprintf(line, sizeof line, "memory     %.1f MiB peak resident, %.1f MiB at the end\n\n",
                  r.rss_peak_mib, r.rss_end_mib);
    out << line;
    std::snprintf(line, sizeof line, "%-14s %8s %9s %9s %9s %9s %11s\n", "round trip", "count",
                  "p50 ms", "p90 ms", "p99 ms", "max ms", "unanswered");
    out << line;
    for (std::size_t i = 0; i < kTripKinds; ++i) {
        if (!trip_used(r, i)) continue;
        const Percentiles& p = r.trips[i];
        if (p.count == 0) {
            std::snprintf(line, sizeof line, "%-14s %8zu %9s %9s %9s %9s %11lld\n", kTripNames[i],
                          p.count, "-", "-", "-", "-", r.trips_unanswered[i]);
        } else {
            std::snprintf(line, sizeof line, "%-14s %8zu %9.2f %9.2f %9.2f %9.2f %11lld\n",
                          kTripNames[i], p.count, p.p50, p.p90, p.p99, p.max,
                          r.trips_unanswered[i]);
        }
        out << line;
    }
    const std::vector<std::string> exceeded = exceeded_thresholds(r);
    out << "\nthresholds ";
    if (!o.max_p99_ms && !o.max_failures) {
        out << "none\n";
    } else if (exceeded.empty()) {
        out << "passed\n";
    } else {
        out << "EXCEEDED\n";
        for (const std::string& text : exceeded) out << "  " << text << "\n";
    }
}

// ---- JSON -------------------------------------------------------------------

void write_json(std::ostream& out, const Report& r) {
    const Options& o = r.options;
    out << "{\n  \"tool\": \"kivswarm\",\n";
    out << "  \"library_version\": " << quoted(r.library_version) << ",\n";
    out << "  \"started\": " << quoted(r.started_utc) << ",\n";

    out << "  \"options\": {\"host\": " << quoted(o.host) << ", \"port\": " << o.port
        << ", \"worlds\": [";
    for (std::size_t i = 0; i < o.worlds.size(); ++i) out << (i ? ", " : "") << quoted(o.worlds[i]);
    out << "], \"bots\": " << o.bots << ", \"ramp\": " << number(o.ramp, -1)
        << ", \"duration_s\": " << number(o.duration, -1)
        << ", \"walk_hz\": " << number(o.walk_hz, -1) << ", \"path\": \"" << path_name(o.path)
        << "\", \"path_size\": " << number(o.path_size, -1)
        << ", \"walk_speed\": " << number(o.walk_speed, -1)
        << ", \"chat_every_s\": " << number(o.chat_every, -1)
        << ", \"build_every_s\": " << number(o.build_every, -1)
        << ", \"query_every_s\": " << number(o.query_every, -1)
        << ", \"reenter_every_s\": " << number(o.reenter_every, -1)
        << ", \"pass_every_ms\": " << o.pass_every_ms << ", \"name\": " << quoted(o.name_prefix)
        << ", \"seed\": " << o.seed << "},\n";

    out << "  \"elapsed_s\": " << number(r.elapsed_s) << ",\n";
    out << "  \"stopped_early\": " << (r.stopped_early ? "true" : "false") << ",\n";
    out << "  \"fault\": " << (r.fault.empty() ? "null" : quoted(r.fault)) << ",\n";
    out << "  \"bots\": {\"requested\": " << r.requested << ", \"in\": " << r.in
        << ", \"peak_in\": " << r.peak_in << ", \"connecting\": " << r.connecting
        << ", \"failed\": " << r.failed_bots << "},\n";

    out << "  \"failures\": {\"total\": " << r.failures << ", \"by_step\": {";
    bool first = true;
    for (const auto& [step, count] : r.failures_by_step) {
        out << (first ? "" : ", ") << quoted(step) << ": " << count;
        first = false;
    }
    out << "}, \"first\": [";
    for (std::size_t i = 0; i < r.first_failures.size(); ++i) {
        const FailureNote& note = r.first_failures[i];
        out << (i ? ", " : "") << "{\"bot\": " << quoted(note.bot)
            << ", \"step\": " << quoted(note.step) << ", \"rc\": " << note.rc
            << ", \"text\": " << quoted(note.text) << "}";
    }
    out << "]},\n";

    out << "  \"events\": {\"total\": " << r.events
        << ", \"per_second\": " << number(r.events_per_second(), 1) << ", \"by_kind\": {";
    first = true;
    for (const auto& [kind, count] : r.events_by_kind) {
        out << (first ? "" : ", ") << quoted(kind) << ": " << count;
        first = false;
    }
    out << "}},\n";

    out << "  \"latency_ms\": {";
    for (std::size_t i = 0; i < kTripKinds; ++i) {
        const Percentiles& p = r.trips[i];
        out << (i ? "," : "") << "\n    \"" << kTripNames[i] << "\": {\"count\": " << p.count;
        const bool none = p.count == 0;
        const double nan = std::numeric_limits<double>::quiet_NaN();
        out << ", \"p50\": " << number(none ? nan : p.p50)
            << ", \"p90\": " << number(none ? nan : p.p90)
            << ", \"p99\": " << number(none ? nan : p.p99)
            << ", \"max\": " << number(none ? nan : p.max)
            << ", \"mean\": " << number(none ? nan : p.mean) << ", \"sent\": " << r.trips_sent[i]
            << ", \"unanswered\": " << r.trips_unanswered[i] << "}";
    }
    out << "\n  },\n";

    out << "  \"resources\": {\"cpu_user_s\": " << number(r.cpu_user_s)
        << ", \"cpu_system_s\": " << number(r.cpu_system_s)
        << ", \"cpu_percent\": " << number(r.cpu_percent(), 1)
        << ", \"rss_peak_mib\": " << number(r.rss_peak_mib, 1)
        << ", \"rss_end_mib\": " << number(r.rss_end_mib, 1) << "},\n";

    const std::vector<std::string> exceeded = exceeded_thresholds(r);
    out << "  \"thresholds\": {\"max_p99_ms\": "
        << (o.max_p99_ms ? number(*o.max_p99_ms, -1) : "null")
        << ", \"max_failures\": " << (o.max_failures ? std::to_string(*o.max_failures) : "null")
        << ", \"exceeded\": [";
    for (std::size_t i = 0; i < exceeded.size(); ++i) out << (i ? ", " : "") << quoted(exceeded[i]);
    out << "], \"passed\": " << (exceeded.empty() ? "true" : "false") << "},\n";

    out << "  \"series\": [";
    for (std::size_t i = 0; i < r.series.size(); ++i) {
        const SecondSample& s = r.series[i];
        const bool none = s.trips == 0;
        out << (i ? "," : "") << "\n    {\"t\": " << s.t << ", \"in\": " << s.in
            << ", \"connecting\": " << s.connecting << ", \"failed\": " << s.failed
            << ", \"events\": " << s.events << ", \"trips\": " << s.trips
            << ", \"trip_p50_ms\": " << (none ? "null" : number(s.trip_p50_ms))
            << ", \"trip_p99_ms\": " << (none ? "null" : number(s.trip_p99_ms))
            << ", \"cpu_percent\": " << number(s.cpu_percent, 1)
            << ", \"rss_mib\": " << number(s.rss_mib, 1) << "}";
    }
    out << (r.series.empty() ? "]\n" : "\n  ]\n") << "}\n";
}

// ---- SVG plots -----------------------------------------------------------------

namespace {

// A round step for about `count` ticks over [0, top].
double tick_step(double top, int count) {
    const double raw = top / count;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 2.5, 5.0, 10.0}) {
        if (raw <= factor * magnitude) return factor * magnitude;
    }
    return 10 * magnitude;
}

std::string coordinate(double value) { return format(value, 1); }

}  // namespace

std::string svg_plot(const std::string& title, const std::string& unit,
                     const std::vector<double>& x, const std::vector<PlotLine>& lines) {
    constexpr double kWidth = 760, kHeight = 260;
    constexpr double kLeft = 64, kRight = 16, kTop = 34, kBottom = 40;
    const double plot_w = kWidth - kLeft - kRight;
    const double plot_h = kHeight - kTop - kBottom;

    double x_top = 0;
    for (const double value : x) x_top = std::max(x_top, value);
    if (x_top <= 0) x_top = 1;
    double y_top = 0;
    for (const PlotLine& line : lines) {
        for (const double value : line.values) {
            if (std::isfinite(value)) y_top = std::max(y_top, value);
        }
    }
    if (y_top <= 0) y_top = 1;
    const double y_step = tick_step(y_top, 5);
    y_top = std::ceil(y_top / y_step - 1e-9) * y_step;
    const double x_step = tick_step(x_top, 10);

    const auto px = [&](double value) { return kLeft + plot_w * value / x_top; };
    const auto py = [&](double value) { return kTop + plot_h * (1 - value / y_top); };

    std::ostringstream svg;
    svg << "<svg class=\"plot\" role=\"img\" viewBox=\"0 0 " << kWidth << " " << kHeight
        << "\" width=\"" << kWidth << "\" height=\"" << kHeight << "\">\n";
    svg << "<title>" << html_escape(title) << "</title>\n";
    svg << "<text x=\"" << kLeft << "\" y=\"20\" class=\"plot-title\">" << html_escape(title)
        << "</text>\n";
    // Grid and y ticks.
    for (double tick = 0; tick <= y_top + y_step / 2; tick += y_step) {
        const std::string y = coordinate(py(tick));
        svg << "<line class=\"grid\" x1=\"" << kLeft << "\" y1=\"" << y << "\" x2=\""
            << kLeft + plot_w << "\" y2=\"" << y << "\"/>";
        svg << "<text x=\"" << kLeft - 6 << "\" y=\"" << y
            << "\" text-anchor=\"end\" dominant-baseline=\"middle\" class=\"y-tick\">"
            << format(tick, -1) << "</text>\n";
    }
    for (double tick = 0; tick <= x_top + x_step / 2; tick += x_step) {
        const std::string xs = coordinate(px(tick));
        svg << "<line class=\"axis\" x1=\"" << xs << "\" y1=\"" << kTop + plot_h << "\" x2=\"" << xs
            << "\" y2=\"" << kTop + plot_h + 4 << "\"/>";
        svg << "<text x=\"" << xs << "\" y=\"" << kTop + plot_h + 16
            << "\" text-anchor=\"middle\" class=\"x-tick\">" << format(tick, -1) << "</text>\n";
    }
    svg << "<line class=\"axis\" x1=\"" << kLeft << "\" y1=\"" << kTop << "\" x2=\"" << kLeft
        << "\" y2=\"" << kTop + plot_h << "\"/>";
    svg << "<line class=\"axis\" x1=\"" << kLeft << "\" y1=\"" << kTop + plot_h << "\" x2=\""
        << kLeft + plot_w << "\" y2=\"" << kTop + plot_h << "\"/>\n";
    svg << "<text class=\"label\" x=\"" << kLeft + plot_w / 2 << "\" y=\"" << kHeight - 6
        << "\" text-anchor=\"middle\">seconds since the start</text>\n";
    svg << "<text class=\"label\" transform=\"translate(14 " << kTop + plot_h / 2
        << ") rotate(-90)\" text-anchor=\"middle\">" << html_escape(unit) << "</text>\n";

    // Each unbroken stretch of a line is one polyline; a lone point a dot.
    for (const PlotLine& line : lines) {
        const std::string style = "stroke=\"" + html_escape(line.color) + "\"" +
                                  (line.dashed ? " stroke-dasharray=\"6 4\"" : "");
        std::vector<std::string> stretch;
        const auto flush = [&] {
            if (stretch.size() == 1) {
                const std::size_t comma = stretch[0].find(',');
                svg << "<circle cx=\"" << stretch[0].substr(0, comma) << "\" cy=\""
                    << stretch[0].substr(comma + 1) << "\" r=\"2.5\" fill=\""
                    << html_escape(line.color) << "\"/>\n";
            } else if (stretch.size() > 1) {
                svg << "<polyline fill=\"none\" stroke-width=\"2\" " << style << " points=\"";
                for (std::size_t i = 0; i < stretch.size(); ++i)
                    svg << (i ? " " : "") << stretch[i];
                svg << "\"/>\n";
            }
            stretch.clear();
        };
        const std::size_t n = std::min(x.size(), line.values.size());
        for (std::size_t i = 0; i < n; ++i) {
            if (!std::isfinite(line.values[i])) {
                flush();
                continue;
            }
            stretch.push_back(coordinate(px(x[i])) + "," + coordinate(py(line.values[i])));
        }
        flush();
    }
    // Legend, right-aligned above the plot.
    double legend_x = kLeft + plot_w;
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        legend_x -= 14 + 7.0 * static_cast<double>(line->name.size()) + 18;
        svg << "<line x1=\"" << legend_x << "\" y1=\"16\" x2=\"" << legend_x + 14
            << "\" y2=\"16\" stroke-width=\"3\" stroke=\"" << html_escape(line->color) << "\""
            << (line->dashed ? " stroke-dasharray=\"4 2\"" : "") << "/>";
        svg << "<text class=\"legend\" x=\"" << legend_x + 18 << "\" y=\"20\">"
            << html_escape(line->name) << "</text>\n";
    }
    svg << "</svg>\n";
    return svg.str();
}

// ---- HTML -------------------------------------------------------------------

void write_html(std::ostream& out, const Report& r) {
    const Options& o = r.options;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> x;
    PlotLine p50{"p50", "#1f77b4", {}}, p99{"p99", "#d62728", {}};
    PlotLine events{"events/s", "#1f77b4", {}};
    PlotLine in{"in", "#2ca02c", {}}, connecting{"connecting", "#ff7f0e", {}},
        failed{"failed", "#d62728", {}};
    PlotLine rss{"resident", "#9467bd", {}}, cpu{"cpu", "#8c564b", {}};
    for (const SecondSample& s : r.series) {
        x.push_back(s.t);
        p50.values.push_back(s.trips > 0 ? s.trip_p50_ms : nan);
        p99.values.push_back(s.trips > 0 ? s.trip_p99_ms : nan);
        events.values.push_back(static_cast<double>(s.events));
        in.values.push_back(s.in);
        connecting.values.push_back(s.connecting);
        failed.values.push_back(s.failed);
        rss.values.push_back(s.rss_mib);
        cpu.values.push_back(s.cpu_percent);
    }
    std::vector<PlotLine> trip_lines = {p50, p99};
    if (o.max_p99_ms) {
        trip_lines.push_back(
            {"limit", "#7f7f7f", std::vector<double>(x.size(), *o.max_p99_ms), true});
    }

    std::string worlds;
    for (const std::string& world : o.worlds) worlds += (worlds.empty() ? "" : ", ") + world;
    const std::vector<std::string> exceeded = exceeded_thresholds(r);

    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        << "<title>kivswarm: " << r.requested << " bots, " << html_escape(worlds)
        << "</title>\n<style>\n"
        << "body{font-family:system-ui,sans-serif;margin:2em;color:#222;max-width:60em}\n"
        << "table{border-collapse:collapse;margin:1em 0}\n"
        << "td,th{padding:.25em .8em;border-bottom:1px solid #ddd;text-align:right}\n"
        << "td:first-child,th:first-child{text-align:left}\n"
        << ".plot{display:block;margin:1.5em 0;max-width:100%;height:auto}\n"
        << ".plot .grid{stroke:#e5e5e5}.plot .axis{stroke:#555}\n"
        << ".plot text{font-size:12px;fill:#333}.plot .plot-title{font-size:15px;"
        << "font-weight:600}\n"
        << ".passed{color:#2ca02c}.exceeded{color:#d62728;font-weight:600}\n"
        << "</style>\n</head>\n<body>\n";
    out << "<h1>kivswarm report</h1>\n<p>" << r.requested << " bots against " << html_escape(o.host)
        << ":" << o.port << " in " << html_escape(worlds) << ", " << format(r.elapsed_s, 1)
        << " s from " << html_escape(r.started_utc) << " (library "
        << html_escape(r.library_version) << ").<br>Walk "
        << (o.walk_hz > 0 ? format(o.walk_hz, -1) + " Hz" + " along a " + path_name(o.path)
                          : std::string("off"))
        << ", chat " << seconds_or_off(o.chat_every) << ", build " << seconds_or_off(o.build_every)
        << ", query " << seconds_or_off(o.query_every) << ", reenter "
        << seconds_or_off(o.reenter_every) << ", ramp " << format(o.ramp, -1) << " bots/s.</p>\n";

    out << "<table>\n<tr><th>bots in at the end</th><td>" << r.in << " of " << r.requested
        << " (peak " << r.peak_in << ")</td></tr>\n";
    out << "<tr><th>connecting at the end</th><td>" << r.connecting << "</td></tr>\n";
    out << "<tr><th>failed bots</th><td>" << r.failed_bots << "</td></tr>\n";
    out << "<tr><th>failures</th><td>" << r.failures << "</td></tr>\n";
    out << "<tr><th>events</th><td>" << r.events << " (" << format(r.events_per_second(), 1)
        << "/s)</td></tr>\n";
    out << "<tr><th>CPU</th><td>" << format(r.cpu_user_s, 2) << " s user, "
        << format(r.cpu_system_s, 2) << " s system (" << format(r.cpu_percent(), 1)
        << "% of one core)</td></tr>\n";
    out << "<tr><th>memory</th><td>" << format(r.rss_peak_mib, 1) << " MiB peak, "
        << format(r.rss_end_mib, 1) << " MiB at the end</td></tr>\n";
    out << "<tr><th>thresholds</th><td>";
    if (!o.max_p99_ms && !o.max_failures)
        out << "none";
    else if (exceeded.empty())
        out << "<span class=\"passed\">passed</span>";
    else
        out << "<span class=\"exceeded\">exceeded</span>";
    out << "</td></tr>\n</table>\n";
    if (!exceeded.empty()) {
        out << "<ul class=\"exceeded\">\n";
        for (const std::string& text : exceeded) out << "<li>" << html_escape(text) << "</li>\n";
        out << "</ul>\n";
    }

    out << "<h2>Round trips</h2>\n<table>\n<tr><th>kind</th><th>count</th><th>p50 ms</th>"
        << "<th>p90 ms</th><th>p99 ms</th><th>max ms</th><th>unanswered</th></tr>\n";
    for (std::size_t i = 0; i < kTripKinds; ++i) {
        if (!trip_used(r, i)) continue;
        const Percentiles& p = r.trips[i];
        const auto cell = [&](double value) {
            return p.count > 0 ? format(value, 2) : std::string("-");
        };
        out << "<tr><td>" << trip_name(trip_at(i)) << "</td><td>" << p.count << "</td><td>"
            << cell(p.p50) << "</td><td>" << cell(p.p90) << "</td><td>" << cell(p.p99)
            << "</td><td>" << cell(p.max) << "</td><td>" << r.trips_unanswered[i] << "</td></tr>\n";
    }
    out << "</table>\n";

    out << "<h2>Over time</h2>\n";
    out << svg_plot("Round trips, all kinds, per second", "ms", x, trip_lines);
    out << svg_plot("Events per second", "events/s", x, {events});
    out << svg_plot("Bots", "bots", x, {in, connecting, failed});
    out << svg_plot("Memory", "MiB resident", x, {rss});
    out << svg_plot("CPU", "% of one core", x, {cpu});

    if (!r.first_failures.empty()) {
        out << "<h2>First failures</h2>\n<table>\n<tr><th>bot</th><th>step</th><th>code</th>"
            << "<th>detail</th></tr>\n";
        for (const FailureNote& note : r.first_failures) {
            out << "<tr><td>" << html_escape(note.bot) << "</td><td>" << html_escape(note.step)
                << "</td><td>" << note.rc << "</td><td>" << html_escape(note.text)
                << "</td></tr>\n";
        }
        out << "</table>\n";
    }
    out << "</body>\n</html>\n";
}

}  // namespace kivsdk::tools::swarm
