// kiv_net_notify: the entry point through which a socket layer reports
// activity to the connection it was created for.
#include "api/boundary.h"
#include "connection/connection.h"
#include "kivsdk.h"

extern "C" KIVSDK_API int kiv_net_notify(void* connection, int kind, int status) {
    if (connection == nullptr) return 0;
    auto* target = static_cast<kivsdk::Connection*>(connection);
    kivsdk::guarded_void([&] { target->notify(kind, status); });
    return 0;
}
