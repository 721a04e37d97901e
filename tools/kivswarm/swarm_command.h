// kivswarm as a function: parses the command line, runs the swarm, prints
// the table and writes the reports; main() only adds the terminal and the
// signals.
#pragma once

#include <csignal>
#include <ostream>
#include <string>
#include <vector>

namespace kivsdk::tools::swarm {

// The arguments after the program name. `out` gets the help, the progress
// line (when `terminal`) and the table; `err` the errors and the log.
// `stop` ends a run early when it turns nonzero (may be null). Returns the
// exit code (ExitCode).
int swarm_command(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                  bool terminal, const volatile std::sig_atomic_t* stop);

}  // namespace kivsdk::tools::swarm
