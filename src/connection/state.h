// The connection state machine and the status header it drives.
#pragma once
#include <glib.h>

#include "core/views.h"

#include <atomic>
#include <string>


// While true the adapter is discoverable and the agent answers: from a
// successful Start until Stop or the 3-minute limit. Written on the main
// loop only (by the adapter's Start and Stop); atomic, so any thread may read it.
extern std::atomic<bool> discoverable_session;

// Written on the main loop only (set_state); any thread reads it (atomic).
extern std::atomic<int> current_state;
extern const char* const state_names[7];   // constant

// How long PAIRING waits for the phone to complete before DISCOVERABLE again.
inline constexpr unsigned kPairingSeconds = 30;

// Main thread only.
void set_state(AppState new_state);
void update_ui();

// Where the program rests when no phone link is up: DISCOVERABLE during a
// discoverable session, else PAIRED with a paired phone, else IDLE.
AppState resting_state();
// Ends the phone's links and its call; forget_phone also forgets the phone.
// Their threads are joined by a worker (hfp_end_links).
void cleanup_connection(const char* message, bool forget_phone);
