/* Starts an installed kit, reads its ports and stops it; the certificates
 * must come from the installation. Prints "kit ok" on success. */
#include <stdio.h>
#include <string.h>

#include "kivsandbox.h"

int main(void) {
    const char* options[] = {"--world", "lobby", "--world", "garden:tls"};
    char error[256] = "";
    KIVSandbox* kit = NULL;
    int universe = 0;
    int garden = 0;
    if (strstr(kivsb_pki_dir(), "share/kivsdk/sandbox-pki") == NULL) {
        fprintf(stderr, "certificates not from the installation: %s\n", kivsb_pki_dir());
        return 1;
    }
    if (kivsb_start(options, 4, error, sizeof error, &kit) != KIVSB_OK) {
        fprintf(stderr, "kivsb_start: %s\n", error);
        return 1;
    }
    if (kivsb_universe_port(kit, &universe) != KIVSB_OK || universe <= 0 ||
        kivsb_world_port(kit, "garden", &garden) != KIVSB_OK || garden <= 0) {
        fprintf(stderr, "no ports\n");
        kivsb_stop(kit);
        return 1;
    }
    kivsb_stop(kit);
    printf("kit ok\n");
    return 0;
}
