#include "store/phone_record.h"

#include "hfp/hfp.h"

char device_path[256] = "";
char device_addr[18] = "";
char device_name[248] = "";
std::atomic<int> device_paired{0};

void forget_phone_record()
{
    device_path[0] = device_addr[0] = device_name[0] = '\0';
    device_paired = 0;
    hfp_channel = 0;
}

namespace {

// The links read the phone through base/phone.h.
const bool record_shared = (set_phone_record(device_addr, device_path), true);

}  // namespace
