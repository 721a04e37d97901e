// Bots on an Asio io_context (kivsdk/adapters/asio.hpp): the farm of bots.h
// runs inside io.run_one(); the program never calls kiv_wait.
#include "bots.h"
#include "kivsdk/adapters/asio.hpp"

int main(int argc, char** argv) {
    examples::Farm farm(argc, argv, "asiobot");

    // The host's glue: the adapter on the io_context, its table for every Instance.
    asio::io_context io;
    kivsdk::adapters::AsioAdapter adapter(io);
    KIVNetConfig table = adapter.table();
    farm.start(table);

    // One handler a wakeup; the farm looks in after each and keeps one timer
    // for its own deadlines.
    asio::steady_timer deadline(io);
    examples::Farm::Clock::time_point armed_for{};
    do {
        if (farm.next_wake() != armed_for) {  // re-arming cancels: a wakeup of its own
            armed_for = farm.next_wake();
            deadline.expires_after(std::chrono::milliseconds(farm.next_wake_ms()));
            deadline.async_wait([](const std::error_code&) {});
        }
        io.run_one();
    } while (farm.after_wakeup());

    const int status = farm.finish("an Asio io_context");
    deadline.cancel();
    io.restart();
    io.poll();  // the cancelled waits complete
    return status;
}
