/* Compiled as strict C99: the public header must be plain C. */
#include "kivsdk.h"

#include <stdio.h>

static void on_chat(KIVInstance* instance) { (void)instance; }
static void on_login(KIVInstance* instance, int rc, int reference) {
    (void)instance;
    (void)rc;
    (void)reference;
}

int main(void) {
    KIVNetConfig table = {0};
    KIVInstance* instance;
    int failures = 0;

    if (kiv_init(KIVSDK_INTERFACE_VERSION) != KIV_RC_SUCCESS) failures++;
    if (kiv_init(4) != KIV_RC_VERSION_MISMATCH) failures++;

    instance = kiv_create(&table);
    if (instance == NULL) return 1;
    if (kiv_event_set(instance, KIV_EVENT_CHAT, on_chat) != KIV_RC_SUCCESS) failures++;
    if (kiv_callback_set(instance, KIV_CALLBACK_LOGIN, on_login) != KIV_RC_SUCCESS) failures++;
    if (kiv_int_set(instance, KIV_MY_TYPE, 7) != KIV_RC_SUCCESS ||
        kiv_int(instance, KIV_MY_TYPE) != 7)
        failures++;
    if (kiv_wait(instance, 0) != KIV_RC_NO_WAIT_FUNCTION) failures++;
    kiv_destroy(instance);

    if (failures != 0) fprintf(stderr, "%d checks failed\n", failures);
    return failures == 0 ? 0 : 1;
}
