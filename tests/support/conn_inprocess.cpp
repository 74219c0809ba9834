#include "conn_inprocess.h"
#include "ui_gtk.h"

#include "app/app.h"
#include "connection/bluez.h"
#include "connection/signals.h"
#include "ui/window.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace th {

InProcessApp::InProcessApp(TestWorld& world)
{
    if (chdir(world.dir.path().c_str()) != 0)
        throw std::runtime_error("cannot enter the test folder");
    // The process's one GTK, and a main window for this world unless one is
    // open; it is closed after every test.
    GtkApplication* application = uitest::ensure_gtk();
    setenv("HOME", world.dir.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", world.dir.file(".config").c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + world.dir.file("no-pulse")).c_str(), 1);
    if (!window)
        build_main_window(application);
    setenv("DBUS_SESSION_BUS_ADDRESS", world.session_bus.address().c_str(), 1);

    dbus_conn = world.system_bus->open_connection();
    subscriptions_[0] = bluez::subscribe_properties_changed(dbus_conn, on_properties_changed);
    subscriptions_[1] = bluez::subscribe_interfaces_removed(dbus_conn, on_interfaces_removed);
    // The subscriptions reach the bus daemon before anything we do next.
    GVariant* r = g_dbus_connection_call_sync(dbus_conn, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (r)
        g_variant_unref(r);
}

InProcessApp::~InProcessApp()
{
    settle(100);
    for (unsigned id : subscriptions_)
        if (id)
            g_dbus_connection_signal_unsubscribe(dbus_conn, id);
    g_dbus_connection_close_sync(dbus_conn, nullptr, nullptr);
    g_object_unref(dbus_conn);
    dbus_conn = nullptr;
}

std::string InProcessApp::output() { return log_.text(); }

std::string InProcessApp::bus_name() const { return g_dbus_connection_get_unique_name(dbus_conn); }

void InProcessApp::settle(int ms) const
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    wait_until([&] { return std::chrono::steady_clock::now() >= until; }, ms + 1000);
}

}  // namespace th
