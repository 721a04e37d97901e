// Bots on a GLib main context (kivsdk/adapters/glib.hpp): the farm of
// bots.h runs inside g_main_context_iteration; the program never calls
// kiv_wait.
#include "bots.h"
#include "kivsdk/adapters/glib.hpp"

int main(int argc, char** argv) {
    examples::Farm farm(argc, argv, "glibbot");

    // The host's glue: the adapter on the context, its table for every Instance.
    GMainContext* context = g_main_context_default();
    kivsdk::adapters::GlibAdapter adapter(context);
    KIVNetConfig table = adapter.table();
    farm.start(table);

    // One iteration a wakeup; the farm looks in after each and keeps one
    // timeout source for its own deadlines.
    guint deadline = 0;
    examples::Farm::Clock::time_point armed_for{};
    do {
        if (farm.next_wake() != armed_for) {
            armed_for = farm.next_wake();
            if (deadline != 0) g_source_remove(deadline);
            deadline = g_timeout_add(
                static_cast<guint>(farm.next_wake_ms()),
                [](gpointer) { return static_cast<gboolean>(G_SOURCE_CONTINUE); }, nullptr);
        }
        g_main_context_iteration(context, TRUE);
    } while (farm.after_wakeup());

    const int status = farm.finish("a GLib main context");
    if (deadline != 0) g_source_remove(deadline);
    while (g_main_context_iteration(context, FALSE)) {
    }
    return status;
}
