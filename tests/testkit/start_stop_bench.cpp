// How long a test kit takes to start and stop: the median and the slowest
// of a run of starts, printed. A measurement, not a test.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kivsandbox.h"

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    const char* options[] = {"--world", "lobby", "--world", "garden:tls"};
    std::vector<double> milliseconds;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        KIVSandbox* kit = nullptr;
        char error[256] = "";
        if (kivsb_start(options, 4, error, sizeof error, &kit) != KIVSB_OK) {
            std::fprintf(stderr, "kivsb_start: %s\n", error);
            return 1;
        }
        int port = 0;
        kivsb_universe_port(kit, &port);
        kivsb_stop(kit);
        milliseconds.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("kit start+stop over %d runs: median %.2f ms, slowest %.2f ms\n", runs,
                milliseconds[milliseconds.size() / 2], milliseconds.back());
    return 0;
}
