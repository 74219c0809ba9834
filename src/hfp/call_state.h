// The one call model, the phone's indicator events that feed it, and the
// voice link it asks for. The window's copy of the call is the store's.
#pragma once
#include <glib.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "base/events.h"
#include "core/call_model.h"
#include "hfp/indicator_map.h"

// indicator is the phone's 1-based position, mapped through hfp_indicator_map().
void handle_ciev_event(int indicator, int value);

// The call model the phone's events feed. Every connection to the phone
// belongs to a link generation; cleanup_connection starts a new one, and
// whatever an older link still sends or has queued is dropped.
unsigned hfp_link_generation();
// Main loop: the phone is gone; its calls are forgotten and CallLinkClosed posted.
void call_link_closed();
// Whether a CallModelChanged is the newest of the current link.
bool call_change_is_latest(unsigned generation, unsigned long ticket);
// The phone says there is no call.
void call_model_forget();

// Changes the model for a link of the given generation (any thread) and
// queues the display's refresh. False, and nothing changed, for a stale link.
bool call_feed(unsigned generation, const std::function<void(CallModel&)>& change, CallView* before = nullptr,
               CallView* after = nullptr);
CallModel call_model_snapshot();
// Brings the voice link in line with the model: opens it when a call needs
// it (may_open; blocks for the connect), closes it when none does.
void voice_link_sync(bool may_open);
// The call's sound back from the phone's handset: our voice connect, at once.
void voice_link_bring_back();

// Case of apply (main loop).
void apply_voice_link_wanted(const VoiceLinkWanted& event);

// Reader side: one "+CIEV:" / the answer to AT+CIND? of a link.
void handle_ciev_event_from(unsigned generation, int indicator, int value);
void call_status_from_phone(unsigned generation, const std::vector<int>& values);
