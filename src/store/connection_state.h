// The connection state machine: where the one phone stands with us, and
// why the last connection step failed. Written by the store alone, on the
// main loop (its apply and its own timers); any thread reads the atomics.
#pragma once
#include <glib.h>

#include "core/views.h"

#include <atomic>
#include <string>

// Written by set_state only; any thread reads it.
extern std::atomic<int> current_state;
extern const char* const state_names[7];   // constant
// Written by the ConnectionFailed case; read by the header in ERROR.
extern char error_msg[256];
// Set when "auto_connect" starts, cleared by its result or by the phone
// connecting first. The store writes it; any thread reads it.
extern std::atomic<int> auto_connect_in_progress;

// How long PAIRING waits for the phone to complete before DISCOVERABLE again.
inline constexpr unsigned kPairingSeconds = 30;

// Main thread only.
void set_state(AppState new_state);
void update_ui();

// DISCOVERABLE and PAIRING: a phone may pair now.
inline bool pairing_state(int state) { return state == DISCOVERABLE || state == PAIRING; }

// Where the program rests when no phone link is up: DISCOVERABLE during a
// discoverable session, else PAIRED with a paired phone, else IDLE.
AppState resting_state();
// Ends the phone's links and its call; forget_phone also forgets the phone.
// Their threads are joined by a worker (hfp_end_links).
void cleanup_connection(const char* message, bool forget_phone);
// Records what BlueZ knows of the phone at path as the phone.
void get_device_info(const char* path);
