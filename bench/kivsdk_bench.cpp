// The benchmark program: one measurement per run, chosen by its mode; each
// prints its figures as "FIGURE <key> <value> <unit>" lines.
//
//   kivsdk_bench dispatch | plain | tls | send [--reps N]
//   kivsdk_bench memory [INSTANCES]
//   kivsdk_bench roundtrip KIVSANDBOX
//   kivsdk_bench scale KIVSANDBOX [INSTANCES]
//   kivsdk_bench idle KIVSANDBOX [BOTS]
//   kivsdk_bench busy KIVSANDBOX [BOTS [SECONDS [tls|plain [TICK_MS]]]]
//   kivsdk_bench probe dispatch|bare|copy|minimal PASSES
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_modes.h"
#include "bench_support.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: kivsdk_bench dispatch|plain|tls|send [--reps N]\n"
                 "       kivsdk_bench memory [INSTANCES]\n"
                 "       kivsdk_bench roundtrip KIVSANDBOX\n"
                 "       kivsdk_bench scale KIVSANDBOX [INSTANCES]\n"
                 "       kivsdk_bench idle KIVSANDBOX [BOTS]\n"
                 "       kivsdk_bench busy KIVSANDBOX [BOTS [SECONDS [tls|plain [TICK_MS]]]]\n"
                 "       kivsdk_bench probe dispatch|bare|copy|minimal PASSES\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kivsdk::bench;
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--reps") set_repetitions(std::atoi(argv[i + 1]));
    }
    if (mode == "dispatch") return run_dispatch();
    if (mode == "plain") return run_loopback(false);
    if (mode == "tls") return run_loopback(true);
    if (mode == "send") return run_send_path();
    if (mode == "memory") return run_memory(argc > 2 ? std::atoi(argv[2]) : 100);
    if (mode == "roundtrip" && argc > 2) return run_round_trips(argv[2]);
    if (mode == "busy" && argc > 2) {
        return run_busy(
            argv[2], argc > 3 ? std::atoi(argv[3]) : 1000, argc > 4 ? std::atoi(argv[4]) : 20,
            argc > 5 && std::string(argv[5]) == "tls", argc > 6 ? std::atoi(argv[6]) : 0);
    }
    if (mode == "idle" && argc > 2) return run_idle(argv[2], argc > 3 ? std::atoi(argv[3]) : 5000);
    if (mode == "scale" && argc > 2)
        return run_scale(argv[2], argc > 3 ? std::atoi(argv[3]) : 1000);
    if (mode == "probe" && argc > 3) return run_instruction_probe(argv[2], std::atoi(argv[3]));
    return usage();
}
