// kivreplay: plays a traffic capture into a fresh Instance and prints every
// event and callback its host sees.
//   kivreplay [--timing] [--json] [--attributes] FILE
#include <iostream>
#include <string>
#include <vector>

#include "replay_run.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return kivsdk::tools::replay(arguments, std::cout, std::cerr);
}
