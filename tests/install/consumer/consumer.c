/* Uses the installed library through the C header: prints one line and
 * exits 0 when every check holds. */
#include <kivsdk.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    KIVInstance* instance;
    int failures = 0;
    int length = -1;

    if (kiv_init(KIVSDK_INTERFACE_VERSION) != KIV_RC_SUCCESS) failures++;
    instance = kiv_create(NULL);
    if (instance == NULL) {
        fprintf(stderr, "kiv_create failed\n");
        return 1;
    }
    if (kiv_float_set(instance, KIV_MY_X, 1.5f) != KIV_RC_SUCCESS ||
        kiv_double(instance, KIV_MY_X) != 1.5)
        failures++;
    kiv_string_set(instance, KIV_LOGIN_EXTRA_1, "consumer");
    if (strcmp(kiv_string(instance, KIV_LOGIN_EXTRA_1), "consumer") != 0) failures++;
    if (kiv_data_set(instance, KIV_OBJECT_DATA, 3, "abc") != KIV_RC_SUCCESS ||
        kiv_data(instance, KIV_OBJECT_DATA, &length) == NULL || length != 3)
        failures++;
    /* The default sockets with no connection: the wait fails at once. */
    if (kiv_wait(instance, 0) != KIV_RC_CONNECTION_ERROR) failures++;
    if (kiv_say(instance, "hello") != KIV_RC_NOT_IN_WORLD) failures++;
    kiv_destroy(instance);

    if (failures != 0) {
        fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    printf("KIVSDK %d.%d.%d from C\n", KIVSDK_VERSION_MAJOR, KIVSDK_VERSION_MINOR,
           KIVSDK_VERSION_PATCH);
    return 0;
}
