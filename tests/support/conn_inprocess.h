// The application's own handlers run inside the test process, on its
// default main context, against a world's private system bus: for what a
// user does with the buttons, which the real binary offers only as clicks.
#pragma once
#include "audio_log_capture.h"
#include "harness.h"

#include <gio/gio.h>

#include <string>

namespace th {

class InProcessApp {
public:
    // Connects dbus_conn to the world's system bus and subscribes the two
    // BlueZ signals as startup does; the window is built once per process.
    explicit InProcessApp(TestWorld& world);
    ~InProcessApp();
    InProcessApp(const InProcessApp&) = delete;
    InProcessApp& operator=(const InProcessApp&) = delete;

    // Log lines written since this object was made.
    std::string output();
    // Our own unique name on the system bus, where the agent lives.
    std::string bus_name() const;
    // Lets queued idle callbacks and signals run.
    void settle(int ms = 200) const;

private:
    StdoutCapture log_;   // shown in the test's own output when it ends
    unsigned subscriptions_[2] = {0, 0};
};

}  // namespace th
