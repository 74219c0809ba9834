// The hands-free service BlueZ publishes for us: our registration of the
// hands-free role, the Profile1 object BlueZ hands the phone's links to
// (whoever opened them), and the connect that asks BlueZ for one.
// Main loop only; nothing here waits on BlueZ.
#pragma once
#include <gio/gio.h>

#include <functional>
#include <string>

inline constexpr const char* kProfilePath = "/org/telvane/hands_free";
// The SDP record's version and features: HFP 1.7; echo cancelling, three-way
// calling and caller number presentation, as our AT+BRSF says.
inline constexpr guint16 kProfileVersion = 0x0107;
inline constexpr guint16 kProfileFeatures = 0x0007;

// Exports Profile1 (once) and registers the role with BlueZ.
void profile_start();
// Withdraws the registration (at exit).
void profile_stop();
bool profile_registered();
// BlueZ left the bus: its registrations went with it.
void profile_bluez_vanished();

// Another program holds the hands-free role: BlueZ refused us with
// NotPermitted. The adapter's UUIDs, whenever they change: once the role's
// UUID has left them, we register and take over.
bool hands_free_role_taken();
void profile_adapter_uuids_changed(GVariant* uuids);
// What the window says while the role is taken (with the change that frees it).
extern const char* const kRoleTakenNotice;

enum class ProfileConnect {
    CONNECTED,     // BlueZ opened the link; it arrives through NewConnection
    UNDER_WAY,     // another connect (bluetoothd's own, the phone's) or the link is already up
    NOT_AVAILABLE, // no hands-free registration of ours, or the phone offers no gateway
    FAILED,        // the phone did not answer or refused
};
// Classifies a ConnectProfile error by its D-Bus name (pure).
ProfileConnect classify_connect_error(const char* dbus_error_name);

// Device1.ConnectProfile on the phone's gateway UUID. done runs on the main
// loop with the outcome and BlueZ's message ("" on success).
void profile_connect(const std::string& device_path,
                     std::function<void(ProfileConnect, const std::string&)> done);
