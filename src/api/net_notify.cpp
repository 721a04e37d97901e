// kiv_net_notify: the entry point through which a socket layer reports
// activity to the connection it was created for.
#include "api/boundary.h"
#include "base/diagnostics.h"
#include "connection/connection.h"
#include "kivsdk.h"

extern "C" KIVSDK_API int kiv_net_notify(void* connection, int kind, int status) {
    if (connection == nullptr) return 0;
    auto* target = static_cast<kivsdk::Connection*>(connection);
    kivsdk::Instance& owner = kivsdk::Instance::owning(*target);
    // Handlers may destroy the Instance: the call scope keeps it allocated
    // until the claim is let go.
    const kivsdk::CallScope call(owner);
    if (!call.allowed()) {
        // Another thread is inside this Instance: the notification cannot be
        // delivered now without a race, and is dropped.
        kivsdk::report(kivsdk::LogSource{&owner.log_route, nullptr},
                       kivsdk::DiagnosticLevel::kError, kivsdk::DiagnosticCategory::kNet,
                       "kiv_net_notify from a second thread while the Instance is busy: "
                       "notification %d dropped\n",
                       kind);
        return 0;
    }
    kivsdk::guarded_void([&] { target->notify(kind, status); });
    return 0;
}
