// What the program knows about the one phone.
#pragma once
#include "base/phone.h"

#include <atomic>

// The phone. Written by the store only, on the main loop (the connection's
// cases of apply, get_device_info, cleanup_connection forgetting the
// phone); read there only. The layers below read it through base/phone.h:
// the main loop the record itself, a worker the copy it was handed when it
// started (this_phone).
extern char device_path[256];
extern char device_addr[18];
extern char device_name[248];
// device_paired: written on the main loop, read by the link workers.
extern std::atomic<int> device_paired;

// No phone: the record empty, and the hands-free channel that was its with it.
void forget_phone_record();
