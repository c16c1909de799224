// The upcalls before the recorder is reported started: bootstraps that bind,
// answer null or throw, releases and new bindings, OptionsRecords, on the
// calling thread and on attached VM threads; and the natives, which a VM
// whose recorder has not started serves too.
#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    zevfuzz::initialize(argc, argv, zevfuzz::Phase::BeforeStart);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zevfuzz::runInput(data, size);
    return 0;
}
