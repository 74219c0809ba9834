#include "store/reconnect.h"

#include "base/log.h"
#include "base/main_thread.h"
#include "store/phone_record.h"
#include "connection/profile.h"

#include <glib.h>

#include <string>

namespace {

constexpr int kFirstDelayS = 5;
constexpr int kLongestDelayS = 300;
// A connect BlueZ reports done or under way whose link never showed.
constexpr guint kUnderWayCheckS = 20;

// Main loop only, all of them.
int failures = 0;
bool held = false;
bool trying = false;
guint try_timer = 0;
guint tick_timer = 0;
gint64 due_us = 0;

void cancel()
{
    if (try_timer)
        g_source_remove(try_timer);
    if (tick_timer)
        g_source_remove(tick_timer);
    try_timer = tick_timer = 0;
    due_us = 0;
}

void try_now();

gboolean try_cb(gpointer)
{
    try_timer = 0;
    if (tick_timer)
        g_source_remove(tick_timer);
    tick_timer = 0;
    due_us = 0;
    try_now();
    return G_SOURCE_REMOVE;
}

// The header counts down to the next try.
gboolean tick_cb(gpointer)
{
    update_ui();
    return G_SOURCE_CONTINUE;
}

void schedule(int delay_s)
{
    cancel();
    due_us = g_get_monotonic_time() + gint64(delay_s) * G_USEC_PER_SEC;
    try_timer = g_timeout_add(guint(delay_s) * 1000, try_cb, nullptr);
    if (delay_s > 0)
        tick_timer = g_timeout_add(1000, tick_cb, nullptr);
}

gboolean under_way_check_cb(gpointer data)
{
    std::string* path = static_cast<std::string*>(data);
    if (current_state.load() == CONNECTING && !trying && *path == device_path) {
        ++failures;
        log_msg("⚠️ Not connected: the phone's link did not come");
        set_state(PAIRED);
        update_ui();
    }
    delete path;
    return G_SOURCE_REMOVE;
}

void try_now()
{
    if (trying || held || device_path[0] == '\0' || current_state.load() != PAIRED)
        return;
    trying = true;
    std::string path = device_path;
    log_msgf("🔗 Connecting to %s…", device_name[0] ? device_name : device_addr);
    set_state(CONNECTING);
    update_ui();
    profile_connect(path, [path](ProfileConnect result, const std::string& message) {
        trying = false;
        if (current_state.load() != CONNECTING || path != device_path)
            return;   // connected meanwhile, or the phone was given up
        if (result == ProfileConnect::CONNECTED || result == ProfileConnect::UNDER_WAY) {
            g_timeout_add_seconds(kUnderWayCheckS, under_way_check_cb, new std::string(path));
            return;
        }
        ++failures;
        log_msgf("⚠️ Not connected: %s", message.c_str());
        set_state(PAIRED);
        update_ui();
    });
}

}  // namespace

int reconnect_delay_s(int failed)
{
    int delay = kFirstDelayS;
    for (int i = 1; i < failed && delay < kLongestDelayS; ++i)
        delay *= 2;
    return delay < kLongestDelayS ? delay : kLongestDelayS;
}

void reconnect_state_changed(AppState from, AppState to)
{
    ASSERT_MAIN_THREAD();
    if (to == CONNECTED) {
        failures = 0;
        held = false;
        cancel();
        return;
    }
    if (to != PAIRED || held || device_path[0] == '\0' || !device_paired.load()) {
        cancel();
        return;
    }
    // Found at start (or BlueZ back): try at once. Else after the back-off.
    bool fresh = (from == IDLE || from == ERROR) && failures == 0;
    schedule(fresh ? 0 : reconnect_delay_s(failures));
}

void reconnect_now()
{
    ASSERT_MAIN_THREAD();
    held = false;
    cancel();
    try_now();
}

void reconnect_hold()
{
    ASSERT_MAIN_THREAD();
    held = true;
    cancel();
}

bool reconnect_held() { return held; }

void reconnect_reset()
{
    cancel();
    failures = 0;
    held = false;
    trying = false;
}

int reconnect_seconds_left()
{
    if (!try_timer || due_us == 0)
        return -1;
    gint64 left = due_us - g_get_monotonic_time();
    return left <= 0 ? 0 : int((left + G_USEC_PER_SEC - 1) / G_USEC_PER_SEC);
}
