// What the program knows about the one phone: its record, the connect
// BlueZ is asked for, and the teardown of its links.
#pragma once
#include "base/events.h"
#include "base/phone.h"
#include "connection/state.h"

#include <gio/gio.h>

#include <atomic>
#include <cstdint>
#include <string>

// The phone. Written on the main loop only (BlueZ's signals, the agent,
// get_device_info, cleanup_connection forgetting the phone). A worker
// copies the text it needs when it starts (auto-connect is handed a copy
// of device_path) and does not read these arrays again.
extern char device_path[256];
extern char device_addr[18];
extern char device_name[248];
// device_paired: written on the main loop, read by the link workers.
extern std::atomic<int> device_paired;
// 0 while unknown. Written by the listener thread (its channel lookup, and
// back to 0 when a handshake or connect on it failed) and by the main loop
// when the phone is forgotten.
extern std::atomic<uint8_t> hfp_channel;
// Main loop only: set when "auto_connect" starts, cleared by its result.
extern std::atomic<int> auto_connect_in_progress;

void get_device_info(const char* path);
// Thread body of "auto_connect"; takes ownership of a g_strdup'ed device path.
gpointer connect_thread(gpointer path_copy);
// Starts "auto_connect" for device_path (the caller has set
// auto_connect_in_progress); a thread that cannot start reports failure.
bool start_auto_connect();
// Case of apply: "auto_connect" ended.
void apply_auto_connect_done(const AutoConnectDone& event);
void cleanup_connection(const char* message, bool forget_phone);
// Where the program rests when no phone link is up: DISCOVERABLE during a
// discoverable session, else PAIRED with a paired phone, else IDLE.
AppState resting_state();
