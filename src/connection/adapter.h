// The PC's Bluetooth adapter: its settings, and the discoverable session
// that lets a phone find and pair with it. Main thread.
#pragma once
#include <gio/gio.h>

#include <atomic>

// Fixed at start; read on the main loop.
extern char adapter_path[256];

// While true the adapter is discoverable and the agent answers: from a
// successful Start until Stop or the 3-minute limit. Written on the main
// loop only; atomic, so any thread may read it.
extern std::atomic<bool> discoverable_session;

// Both report whether every setting was taken.
bool set_adapter_property(const char* name, GVariant* value);
bool make_discoverable(bool on);
// Ends a discoverable session (our time limit, or BlueZ ending it); why
// completes the log line.
void discoverability_ended(const char* why);
// The adapter's object went away (unplugged, or BlueZ stopped).
void adapter_removed();

// Start fails with a text that tells the user what to do about it: ERROR,
// with the text in error_msg.
void start_failed(const char* what_to_do, const char* detail);
// The adapter answers; else Start fails saying why.
bool adapter_present();
// Sets discoverable_session and arms our 3-minute limit.
void begin_discoverable_session();
// Clears discoverable_session and disarms the limit; whether it was set.
bool end_discoverable_session();
