// What the program knows about the one phone.
#pragma once
#include "base/phone.h"

#include <atomic>

// The phone. Written on the main loop only (BlueZ's signals, the agent,
// get_device_info, cleanup_connection forgetting the phone); read there
// only. Every worker is handed a copy when it starts (this_phone) and
// reads that copy through phone_addr.
extern char device_path[256];
extern char device_addr[18];
extern char device_name[248];
// device_paired: written on the main loop, read by the link workers.
extern std::atomic<int> device_paired;
