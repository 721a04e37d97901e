// kivreplay: plays a traffic capture into a fresh Instance and prints what
// its host would have seen: every event and callback, in order. A built-in
// host repeats the recorded bot's steps that shape a session (connect,
// login with the masked strings, enter, say, own state) when the replay
// reaches them, and passes over its other requests.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kivsdk::tools {

// kivreplay [--timing] [--json] [--attributes] FILE. Returns the exit code:
// 0 the whole capture played, 1 the replay stalled (it waits for something
// the built-in host cannot do), 2 a bad command line or file.
int replay(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace kivsdk::tools
