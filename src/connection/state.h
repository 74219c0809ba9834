// The connection state machine and the status header it drives.
#pragma once
#include <glib.h>

#include "core/views.h"

#include <atomic>
#include <string>


// Written on the main loop only (set_state); any thread reads it (atomic).
extern std::atomic<int> current_state;
extern const char* const state_names[7];   // constant

// How long PAIRING waits for the phone to complete before DISCOVERABLE again.
inline constexpr unsigned kPairingSeconds = 30;

// Main thread only.
void set_state(AppState new_state);
void update_ui();
// update_ui as a one-shot idle callback.
gboolean update_ui_cb(gpointer);
