// The connect of the phone that BlueZ is asked for ("auto_connect"), and
// reading the phone's record from BlueZ.
#pragma once
#include "base/events.h"
#include "connection/phone_record.h"
#include "connection/state.h"

#include <gio/gio.h>

#include <atomic>
#include <cstdint>
#include <string>

// Main loop only: set when "auto_connect" starts, cleared by its result or by the phone connecting first.
extern std::atomic<int> auto_connect_in_progress;

void get_device_info(const char* path);
// Thread body of "auto_connect"; takes ownership of a g_strdup'ed device path.
gpointer connect_thread(gpointer path_copy);
// Starts "auto_connect" for device_path (the caller has set
// auto_connect_in_progress); a thread that cannot start reports failure.
bool start_auto_connect();
// Case of apply: "auto_connect" ended.
void apply_auto_connect_done(const AutoConnectDone& event);
