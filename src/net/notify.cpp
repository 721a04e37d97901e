// kiv_net_notify: the entry point through which a socket layer reports
// activity to the connection it was created for.
#include "kivsdk.h"

extern "C" KIVSDK_API int kiv_net_notify(void* connection, int kind, int status) {
    static_cast<void>(connection);
    static_cast<void>(kind);
    static_cast<void>(status);
    return 0;
}
