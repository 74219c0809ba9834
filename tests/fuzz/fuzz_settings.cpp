// libFuzzer entry: settings.json.
#include "phonedata_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!phonedata_fuzz::settings(data, size))
        __builtin_trap();
    return 0;
}
