// The view functions: what the window shows for a state, as texts and
// sensitivities, so each can be checked row by row without a window.
#pragma once
#include <string>

#include "core/call_model.h"

enum class VoiceCodec;   // core/voice_codec.h

// The connection state, `current_state`.
enum AppState { IDLE = 0, DISCOVERABLE, PAIRING, PAIRED, CONNECTING, CONNECTED, ERROR };

// The status label's style class for each state.
inline constexpr const char* kStatusClasses[7] = {"status-idle",      "status-discoverable", "status-pairing",
                                                  "status-paired",    "status-connecting",   "status-connected",
                                                  "status-error"};

// What the header shows for a state.
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

// The label's markup for a call state; name and number are escaped, so a
// caller's text always shows as typed.
std::string call_label_markup(int state, const char* name, const char* number, bool on_hold = false,
                              int action = 0);

// The line under a call's label that says how it sounds, "" without a call.
// It is there from the dial or the ring to the hang-up, so the buttons below
// do not move when the sound starts.
std::string call_sound_line(int state, bool sound_running, VoiceCodec codec, bool sound_on_phone);

// What the header shows for the phone's indicator values (-1 = not known).
// Icons are theme icon names, null when that icon is hidden.
struct PhoneStatusView {
    bool visible = false;
    const char* signal_icon = nullptr;
    const char* battery_icon = nullptr;
    std::string note;      // "No service", "Roaming" or ""
    std::string tooltip;
};
PhoneStatusView phone_status_view(bool connected, int service, int signal, int roam, int battchg);
