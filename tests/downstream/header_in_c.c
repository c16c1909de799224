/* The VM interface header, compiled as C with nothing but its own include paths. */
#include <zev/vm_interface.h>

jint zev_downstream_version(void) {
    return RECORDER_INTERFACE_VERSION;
}

size_t zev_downstream_slots(void) {
    return sizeof(VmRecorderInterface) / sizeof(void*);
}
