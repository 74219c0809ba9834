// The buses of the simulated world: a private dbus-daemon, python3-dbusmock's
// BlueZ on it, the stand-in obexd and the stand-in notification server.
#pragma once
#include "world/processes.h"

#include <gio/gio.h>

#include <string>
#include <vector>

namespace th {

// A private bus (dbus-daemon with the session configuration, no policy).
class DbusDaemon {
public:
    explicit DbusDaemon(const std::string& dir);
    ~DbusDaemon();
    const std::string& address() const { return address_; }
    // A connection of the test's own, made on first use.
    GDBusConnection* connection();
    // A further connection (the caller unrefs it), not closing the process
    // when the bus goes.
    GDBusConnection* open_connection() const;
    bool wait_for_name(const std::string& name, int timeout_ms = 30000);

private:
    std::string address_;
    Process* process_ = nullptr;
    GDBusConnection* conn_ = nullptr;
};

// python3-dbusmock's bluez5 template on a private system bus, with bluetoothd's
// external profiles (tools/world/bluez_profiles.py) and BlueZ's
// real answer to a second RegisterAgent ("Already Exists").
class MockBluez {
public:
    explicit MockBluez(DbusDaemon& system_bus, const std::string& log_path = "/dev/null");
    ~MockBluez();

    std::string add_adapter(const std::string& name = "hci0", const std::string& system_name = "telvane-test");
    std::string add_device(const std::string& address, const std::string& alias,
                           const std::string& adapter = "hci0");
    void pair_device(const std::string& address, const std::string& adapter = "hci0");
    void connect_device(const std::string& address, const std::string& adapter = "hci0");
    void disconnect_device(const std::string& address, const std::string& adapter = "hci0");
    // Replaces (or adds) a method on an object, as dbusmock's AddMethod does.
    void add_method(const std::string& path, const std::string& iface, const std::string& name,
                    const std::string& in_sig, const std::string& out_sig, const std::string& code);
    // Calls recorded by dbusmock on an object: "timestamp method args" lines.
    std::vector<std::string> calls(const std::string& path);
    void clear_calls(const std::string& path);
    // Generic call on org.bluez; returns the reply (caller unrefs) or null with error set.
    GVariant* call(const std::string& path, const std::string& iface, const std::string& method,
                   GVariant* params, GError** error = nullptr, int timeout_ms = 25000);
    GVariant* get_property(const std::string& path, const std::string& iface, const std::string& name);

private:
    DbusDaemon& bus_;
    Process* process_ = nullptr;
};

// tools/fake-obexd/fake_obexd.py on a private session bus, steered through a
// JSON file and recording every call it receives.
class FakeObexd {
public:
    FakeObexd(DbusDaemon& session_bus, const std::string& dir);
    ~FakeObexd();
    FakeObexd(const FakeObexd&) = delete;
    FakeObexd& operator=(const FakeObexd&) = delete;

    // Replaces the behaviour (a JSON object, see fake_obexd.py).
    void configure(const std::string& json);
    // Calls received so far, one JSON object each.
    std::vector<std::string> calls() const;
    int count(const std::string& method) const;
    bool running() { return process_ && process_->running(); }
    // Kills the daemon at once, as a crash would; start() brings it back
    // with the same behaviour and call record.
    void kill();
    void start();

private:
    DbusDaemon& bus_;
    std::string dir_;
    std::string config_path_;
    std::string log_path_;
    Process* process_ = nullptr;
};

// tools/fake-notifications/fake_notifications.py on a private session bus: the desktop's
// notification server, recording what it is asked; the test is its user.
class FakeNotifications {
public:
    FakeNotifications(DbusDaemon& session_bus, const std::string& dir);
    ~FakeNotifications();
    FakeNotifications(const FakeNotifications&) = delete;
    FakeNotifications& operator=(const FakeNotifications&) = delete;

    // Recorded calls, one JSON object each, oldest first.
    std::vector<std::string> calls() const;
    // Id of the newest Notify whose summary contains the text; 0 when none.
    unsigned notified(const std::string& summary_part) const;
    bool closed(unsigned id) const;   // a CloseNotification for it came
    // The action key the notification gave to a button label ("" if none).
    std::string action_key(unsigned id, const std::string& label) const;
    // The user clicks a button (or the body: "default").
    bool invoke(unsigned id, const std::string& action_key);

private:
    DbusDaemon& bus_;
    std::string log_path_;
    Process* process_ = nullptr;
};

// The real rtkit-daemon on a private system bus, behind python3-dbusmock's
// polkitd that grants it the right to hand out real-time scheduling. It
// keeps its own rules: it refuses a process whose real-time CPU limit is
// unset or above 200 ms, or a priority above 20.
class RealtimeKit {
public:
    RealtimeKit(DbusDaemon& system_bus, const std::string& dir);
    ~RealtimeKit();
    RealtimeKit(const RealtimeKit&) = delete;
    RealtimeKit& operator=(const RealtimeKit&) = delete;

    // What the daemon logged ("Successfully made thread N of process M ... RT at priority P.").
    std::string log() const;

private:
    std::string log_path_;
    Process* polkit_ = nullptr;
    Process* daemon_ = nullptr;
};

}  // namespace th
