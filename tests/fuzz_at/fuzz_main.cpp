// libFuzzer entry (built with clang by tests/fuzz/CMakeLists.txt).
#include "at_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!at_fuzz_one(data, size))
        __builtin_trap();
    return 0;
}
