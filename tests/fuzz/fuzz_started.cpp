// The upcalls once the recorder is bound and started, OptionsRecords, and the
// natives with extreme arguments through the JVM's own JNIEnv.
#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    zevfuzz::initialize(argc, argv, zevfuzz::Phase::Started);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zevfuzz::runInput(data, size);
    return 0;
}
