// The swarm: N bots, each an Instance on one shared loop (kiv_loop_create),
// brought in with the callback forms of connect, login and enter at the
// ramp's pace, then walking, chatting, building, querying cells and
// re-entering on timers of their own, all on the calling thread.
#pragma once

#include <csignal>
#include <ostream>

#include "swarm_options.h"
#include "swarm_report.h"

namespace kivsdk::tools::swarm {

// Runs the swarm until its duration is over, or until `*stop` turns
// nonzero (a signal handler's flag; may be null), and returns what it
// measured. `progress`, when not null, gets a line redrawn with '\r' once
// a second; `log` gets failures (the first few) and the library's warnings.
// kiv_init must have been called.
Report run_swarm(const Options& options, std::ostream* progress, std::ostream& log,
                 const volatile std::sig_atomic_t* stop);

// Raises the soft limit of open descriptors to the hard limit. Returns the
// soft limit now in force (-1 when it cannot be read).
long raise_open_file_limit();

// The process's resident memory now (MiB), from /proc/self/statm; 0 when it
// cannot be read.
double resident_mib();

}  // namespace kivsdk::tools::swarm
