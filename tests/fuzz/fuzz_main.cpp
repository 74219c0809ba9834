// libFuzzer entry; FUZZ_BODY names the body in fuzz_bodies.h.
#include "fuzz_bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!FUZZ_BODY(data, size))
        __builtin_trap();
    return 0;
}
