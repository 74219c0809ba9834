// What the program knows about the one phone.
#pragma once
#include "base/phone.h"

#include <atomic>

// The phone. Written on the main loop only (BlueZ's signals, the agent,
// get_device_info, cleanup_connection forgetting the phone). A worker
// copies the text it needs when it starts (this_phone, or a copy handed to
// it); the hands-free link's reader and "voice-stop", handed none, read the
// record itself through phone_addr.
extern char device_path[256];
extern char device_addr[18];
extern char device_name[248];
// device_paired: written on the main loop, read by the link workers.
extern std::atomic<int> device_paired;
