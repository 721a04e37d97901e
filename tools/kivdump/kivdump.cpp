// kivdump: prints a traffic capture as decoded messages, one line each.
//   kivdump [--json] [--side universe|world] [--type N]... FILE
#include <iostream>
#include <string>
#include <vector>

#include "capture_dump.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return kivsdk::tools::run(arguments, std::cout, std::cerr);
}
