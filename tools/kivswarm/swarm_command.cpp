#include "swarm_command.h"

#include <fstream>
#include <memory>

#include "kivsdk.h"
#include "swarm_options.h"
#include "swarm_report.h"
#include "swarm_run.h"

namespace kivsdk::tools::swarm {
namespace {

// Opens (and so creates or empties) a report file before the run: a path
// that cannot be written is found in a second, not after an hour of load.
std::unique_ptr<std::ofstream> open_report(const std::string& path, std::ostream& err) {
    if (path.empty()) return nullptr;
    auto file = std::make_unique<std::ofstream>(path, std::ios::out | std::ios::trunc);
    if (!*file) {
        err << "kivswarm: cannot write " << path << "\n";
        return nullptr;
    }
    return file;
}

bool finish_report(std::ofstream* file, const std::string& path, std::ostream& err) {
    if (file == nullptr) return true;
    file->close();
    if (!*file) {
        err << "kivswarm: writing " << path << " failed\n";
        return false;
    }
    return true;
}

}  // namespace

int swarm_command(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                  bool terminal, const volatile std::sig_atomic_t* stop) {
    const CommandLine line = parse_command_line(arguments);
    if (line.action == CommandLine::Action::kHelp) {
        out << usage_text();
        return kExitOk;
    }
    if (line.action == CommandLine::Action::kError) {
        err << "kivswarm: " << line.error << "\n";
        return kExitBadCommand;
    }
    const Options& options = line.options;
    auto json = open_report(options.json_path, err);
    if (!options.json_path.empty() && json == nullptr) return kExitBadCommand;
    auto html = open_report(options.html_path, err);
    if (!options.html_path.empty() && html == nullptr) return kExitBadCommand;

    if (kiv_init(KIVSDK_INTERFACE_VERSION) != KIV_RC_SUCCESS) {
        err << "kivswarm: the library does not speak interface version " << KIVSDK_INTERFACE_VERSION
            << "\n";
        return kExitFailed;
    }
    // Two connections a bot, and a few descriptors of our own.
    const long files = raise_open_file_limit();
    if (files >= 0 && files < 2L * options.bots + 32) {
        err << "kivswarm: only " << files << " open files are allowed; " << options.bots
            << " bots need about " << 2L * options.bots + 32 << "\n";
    }

    const Report report = run_swarm(options, terminal ? &out : nullptr, err, stop);
    write_table(out, report);
    bool written = true;
    if (json != nullptr) {
        write_json(*json, report);
        written = finish_report(json.get(), options.json_path, err) && written;
    }
    if (html != nullptr) {
        write_html(*html, report);
        written = finish_report(html.get(), options.html_path, err) && written;
    }
    if (!report.fault.empty()) {
        err << "kivswarm: " << report.fault << "\n";
        return kExitFailed;
    }
    if (!written || !exceeded_thresholds(report).empty()) return kExitFailed;
    return kExitOk;
}

}  // namespace kivsdk::tools::swarm
