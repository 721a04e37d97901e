// Command line of kivsandbox.
#pragma once

#include <string>
#include <vector>

#include "sandbox.h"

namespace kivsdk::sandbox {

struct CommandLine {
    enum class Action { kRun, kHelp, kError } action = Action::kRun;
    Options options;
    std::string error;  // for kError
};

// `default_pki` is the folder of the build's sandbox PKI, used for the
// certificates and keys not given on the command line.
CommandLine parse_command_line(const std::vector<std::string>& arguments,
                               const std::string& default_pki);

std::string usage_text();

// A decimal integer in [low, high], nothing else in `text`.
bool parse_number(const std::string& text, long low, long high, long& value);

}  // namespace kivsdk::sandbox
