// Bots on a libuv loop (kivsdk/adapters/libuv.hpp): the farm of bots.h runs
// inside uv_run; the program never calls kiv_wait.
#include "bots.h"
#include "kivsdk/adapters/libuv.hpp"

namespace {

// The farm looks in after every loop iteration (a check handle) and keeps
// one timer for its own deadlines.
struct Watch {
    examples::Farm* farm;
    uv_check_t check;
    uv_timer_t deadline;
};

void after_iteration(uv_check_t* handle) {
    auto* watch = static_cast<Watch*>(handle->data);
    if (!watch->farm->after_wakeup()) {
        uv_stop(handle->loop);
        return;
    }
    uv_timer_start(
        &watch->deadline, [](uv_timer_t*) {}, static_cast<uint64_t>(watch->farm->next_wake_ms()),
        0);
}

}  // namespace

int main(int argc, char** argv) {
    examples::Farm farm(argc, argv, "uvbot");

    // The host's glue: the adapter on the loop, its table for every Instance.
    uv_loop_t* uv = uv_default_loop();
    kivsdk::adapters::UvAdapter adapter(uv);
    KIVNetConfig table = adapter.table();
    farm.start(table);
    Watch watch{&farm, {}, {}};
    uv_check_init(uv, &watch.check);
    uv_timer_init(uv, &watch.deadline);
    watch.check.data = &watch;
    uv_check_start(&watch.check, &after_iteration);
    uv_timer_start(
        &watch.deadline, [](uv_timer_t*) {}, static_cast<uint64_t>(farm.next_wake_ms()), 0);
    uv_run(uv, UV_RUN_DEFAULT);

    const int status = farm.finish("a libuv loop");
    uv_close(reinterpret_cast<uv_handle_t*>(&watch.check), nullptr);
    uv_close(reinterpret_cast<uv_handle_t*>(&watch.deadline), nullptr);
    uv_run(uv, UV_RUN_DEFAULT);  // the sockets' and these handles' close callbacks
    return status;
}
