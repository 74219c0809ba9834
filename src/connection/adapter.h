// The PC's Bluetooth adapter: its settings, and the discoverable session
// that lets a phone find and pair with it. Main thread.
#pragma once
#include <gio/gio.h>

#include <atomic>
#include <functional>
#include <string>

// Never written after start (tests reset it); read on the main loop.
extern char adapter_path[256];
// While true the adapter is discoverable and the agent answers: from a
// successful Start until Stop or the 3-minute limit. Written on the main
// loop only (begin/end_discoverable_session); atomic, so any thread may read it.
extern std::atomic<bool> discoverable_session;


// Both report whether every setting was taken. make_discoverable(true)
// wants the adapter on (power_adapter_on first).
bool set_adapter_property(const char* name, GVariant* value);
// Why the last refused setting was refused ("Adapter setting error (...): ...").
const std::string& adapter_setting_error();
bool make_discoverable(bool on);
// Start: switches the adapter on if it is off, without waiting on the main
// loop; done runs there once it is on (at once when it was), or with false
// when BlueZ refused. Switched off again only by release_adapter_power.
void power_adapter_on(std::function<void(bool ok)> done);
// Discoverable, Pairable and their timeouts back to what they were before
// Start; nothing when Start did not change them.
bool restore_discoverability();
// Switches the adapter off again if Start switched it on (Stop, exit).
void release_adapter_power();
// At exit: the adapter as the user left it before Start.
void leave_adapter_as_found();
// The adapter went away: nothing of it is given back.
void forget_adapter_settings();
// Ends a discoverable session (our time limit, or BlueZ ending it) and
// tells DiscoverabilityEnded; why completes the log line.
void discoverability_ended(const char* why);
// BlueZ signalled Discoverable false: ends the session if that is still so.
void discoverability_ended_by_service();
// The adapter's object went away (unplugged, or BlueZ stopped): its
// session ends, and AdapterRemoved is told.
void adapter_removed();

// Start fails with a text that tells the user what to do about it, told
// as ConnectionFailed.
void start_failed(const char* what_to_do, const char* detail);
// The adapter answers; else Start fails saying why.
bool adapter_present();
// Sets discoverable_session and arms our 3-minute limit.
void begin_discoverable_session();
// Clears discoverable_session and disarms the limit; whether it was set.
bool end_discoverable_session();
