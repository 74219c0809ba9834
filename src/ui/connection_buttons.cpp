#include "ui/connection_buttons.h"

#include "connection/system_bus.h"
#include "base/log.h"
#include "base/main_thread.h"
#include "connection/adapter.h"
#include "connection/agent.h"
#include "base/events.h"
#include "connection/device.h"
#include "base/phone.h"

#include <string>

namespace {

// Main loop only: a Start waits for the adapter to come on.
bool starting = false;

void finish_start(bool powered)
{
    starting = false;
    if (!powered || !make_discoverable(true)) {
        std::string detail = adapter_setting_error();
        restore_discoverability();
        release_adapter_power();
        agent_unregister();
        start_failed("Bluetooth is switched off or blocked: switch it on (or unblock it), then press Start",
                     detail.c_str());
        return;
    }
    begin_discoverable_session();
    deliver_event(DiscoverableStarted{});
}

}  // namespace

void on_start_clicked(GtkButton*, gpointer)
{
    ASSERT_MAIN_THREAD();
    if (starting)
        return;
    log_msg("🚀 Starting…");
    std::string why;
    if (!open_system_bus(&why)) {
        start_failed(why.c_str(), nullptr);
        return;
    }
    if (!adapter_present())
        return;
    if (!agent_setup(&why)) {
        deliver_event(ConnectionFailed{why});
        return;
    }
    log_msg("✓ Agent registered");
    starting = true;
    power_adapter_on(finish_start);
}

void on_stop_clicked(GtkButton*, gpointer)
{
    ASSERT_MAIN_THREAD();
    end_discoverable_session();
    make_discoverable(false);
    release_adapter_power();
    agent_unregister();
    deliver_event(DiscoverableStopped{});
}

void on_disconnect_clicked(GtkButton*, gpointer)
{
    ASSERT_MAIN_THREAD();
    disconnect_phone(phone_path());
    deliver_event(PhoneLetGo{});
}

void on_connect_clicked(GtkButton*, gpointer)
{
    ASSERT_MAIN_THREAD();
    deliver_event(ConnectAsked{});
}
