// The connection state machine and the status header it drives.
#pragma once
#include <glib.h>

#include <atomic>
#include <string>

enum AppState { IDLE = 0, DISCOVERABLE, PAIRING, PAIRED, CONNECTING, CONNECTED, ERROR };

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

// What the header shows for a state (pure, so it can be checked per row).
struct StatusView {
    const char* status_text;
    std::string info_text;
    const char* style_class;
    bool start, stop, disconnect, search, sync, spinner;
    bool connect = false;
};
// next_try_s: seconds to the next reconnect try, -1 when none is scheduled;
// held: the user disconnected, so nothing is tried until Connect.
StatusView status_view_for(AppState state, const char* name, const char* addr, const char* error,
                           bool syncing_contacts, bool syncing_recents, int next_try_s = -1, bool held = false);
