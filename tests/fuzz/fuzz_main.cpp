// libFuzzer driver: the target is chosen at build time (one executable per target).
#include "fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    kora::fuzz::RunOne(KORA_FUZZ_TARGET, data, size);
    return 0;
}
