// The measurements of the benchmark program, one per mode.
#pragma once

#include <string>

namespace kivsdk::bench {

int run_dispatch();
// One run of `passes` passes over the world stream through "dispatch",
// "bare" (no handlers), "copy" or "minimal", for an instruction count under
// callgrind.
int run_instruction_probe(const std::string& what, int passes);
int run_loopback(bool tls);
int run_send_path();
int run_memory(int instances);
// Against the sandbox server program.
int run_round_trips(const std::string& sandbox_program);
int run_scale(const std::string& sandbox_program, int instances);
// `count` idle bots on one shared loop: memory, bring-in rate, idle CPU.
int run_idle(const std::string& sandbox_program, int count);
// `count` bots in one world of the sandbox, each walking at 1 Hz for
// `seconds`: avatar changes sent and delivered, and both processes' CPU.
// With `batch_ms` > 0 the host runs a 0 ms pass every `batch_ms` instead of
// waking at every readiness.
int run_busy(const std::string& sandbox_program, int count, int seconds, bool tls, int batch_ms);

}  // namespace kivsdk::bench
