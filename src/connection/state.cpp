#include "connection/state.h"

#include "app/app.h"
#include "app/log.h"
#include "app/text.h"
#include "app/main_thread.h"
#include "audio/sco_listen.h"
#include "connection/device.h"
#include "connection/profile.h"
#include "connection/reconnect.h"
#include "hfp/hfp.h"
#include "hfp/listener.h"
#include "phonedata/phonebook.h"
#include "phonedata/recents.h"
#include "ui/call_display.h"
#include "ui/window.h"

std::atomic<int> current_state{IDLE};
const char* const state_names[7] = {"IDLE", "DISCOVERABLE", "PAIRING", "PAIRED", "CONNECTING", "CONNECTED", "ERROR"};

namespace {

// A phone that gives up pairing half way sends nothing more: PAIRING must
// not wait for the end of discoverability. Main loop only.
guint pairing_timer = 0;

gboolean pairing_timeout_cb(gpointer)
{
    pairing_timer = 0;
    log_msgf("⚠️ Pairing not completed within %u s", kPairingSeconds);
    set_state(resting_state());
    update_ui();
    return G_SOURCE_REMOVE;
}

void follow_pairing(int old_state, int new_state)
{
    if (old_state == PAIRING && pairing_timer) {
        g_source_remove(pairing_timer);
        pairing_timer = 0;
    }
    if (new_state == PAIRING)
        pairing_timer = g_timeout_add_seconds(kPairingSeconds, pairing_timeout_cb, nullptr);
}

}  // namespace

void set_state(AppState new_state)
{
    ASSERT_MAIN_THREAD();
    int old_state = current_state.load();
    if (new_state == old_state)
        return;
    log_msgf("State: %s -> %s", state_names[old_state], state_names[new_state]);
    current_state = new_state;
    follow_pairing(old_state, new_state);
    reconnect_state_changed(static_cast<AppState>(old_state), new_state);
    if (old_state == CONNECTED) {
        cleanup_connection(nullptr, false);
        return;
    }
    if (new_state != CONNECTED)
        return;
    sco_listen_set_phone(device_addr);
    if (device_addr[0] != '\0')
        start_incoming_listener();
    if (!phonebook_loaded.load() && !syncing_contacts.load())
        log_msg("📥 Loading data in background…");
    start_phonebook_preload();
}

namespace {

const char* const kStatusClasses[7] = {"status-idle",      "status-discoverable", "status-pairing",
                                       "status-paired",    "status-connecting",   "status-connected",
                                       "status-error"};

// Info texts are composed in room for 511 bytes, cut on a character boundary.
std::string bounded_info(gchar* text)
{
    std::string info = utf8_repair(text);
    g_free(text);
    if (info.size() > 511)
        info.resize(utf8_cut_len(info, 511));
    return info;
}

}  // namespace

StatusView status_view_for(AppState state, const char* name, const char* addr, const char* error,
                           bool syncing_contacts_now, bool syncing_recents_now, int next_try_s, bool held)
{
    const char* shown_name = (name && *name) ? name : "Unknown";
    const char* shown_addr = (addr && *addr) ? addr : "-";
    StatusView v{"", "", kStatusClasses[IDLE], false, false, false, false, false, false, false};
    switch (state) {
    case IDLE:
        v.status_text = "🔵 Ready";
        v.info_text = "PC in passive mode.\n\nPress 'Start' to become discoverable.\nConnect from your phone.";
        v.start = true;
        break;
    case DISCOVERABLE:
        v.status_text = "📡 Discoverable - Waiting for phone";
        v.info_text = "Scan for Bluetooth on your phone\nand connect to this PC.\n\n"
                      "Pairing and connection are auto-accepted.";
        v.stop = true;
        v.spinner = true;
        break;
    case PAIRING:
        v.status_text = "🔗 Pairing";
        v.info_text = "Pairing request from phone.\nAuto-approved.";
        v.stop = true;
        v.spinner = true;
        break;
    case PAIRED:
        v.status_text = "✓ Paired";
        if (next_try_s >= 0)
            v.info_text = bounded_info(g_strdup_printf("Device: %s\nAddress: %s\n\nNot connected: next try in %d s",
                                                       shown_name, shown_addr, next_try_s));
        else if (held)
            v.info_text = bounded_info(g_strdup_printf(
                "Device: %s\nAddress: %s\n\nNot connected: press Connect, or connect from your phone.", shown_name,
                shown_addr));
        else
            v.info_text = bounded_info(g_strdup_printf(
                "Device: %s\nAddress: %s\n\nNot connected: connect from your phone.", shown_name, shown_addr));
        v.stop = true;
        v.connect = addr && *addr;
        break;
    case CONNECTING:
        v.status_text = "🔗 Connecting";
        v.info_text = bounded_info(
            g_strdup_printf("Device: %s\nAddress: %s\n\nConnecting to %s…", shown_name, shown_addr, shown_name));
        v.spinner = true;
        break;
    case CONNECTED:
        v.status_text = "✅ CONNECTED";
        v.info_text = bounded_info(g_strdup_printf("Device: %s\nAddress: %s\n\nPhone is using this PC as headset.",
                                                   shown_name, shown_addr));
        v.disconnect = true;
        v.search = !syncing_contacts_now;
        v.sync = !syncing_recents_now;
        break;
    case ERROR:
        v.status_text = "❌ ERROR";
        v.info_text = bounded_info(g_strdup_printf("Error: %s", error ? error : ""));
        // Start is how the user tries again once the cause is mended.
        v.start = true;
        break;
    }
    v.style_class = kStatusClasses[state];
    return v;
}

void update_ui()
{
    ASSERT_MAIN_THREAD();
    int state = current_state.load();
    if (state < IDLE || state > ERROR)
        state = ERROR;
    if (state_label && info_label) {
        StatusView v = status_view_for(static_cast<AppState>(state), device_name, device_addr, error_msg,
                                       syncing_contacts.load() != 0, syncing_recents.load() != 0,
                                       reconnect_seconds_left(), reconnect_held());
        if (hands_free_role_taken())
            v.info_text += std::string("\n\n") + kRoleTakenNotice;
        gtk_label_set_text(GTK_LABEL(state_label), v.status_text);
        gtk_label_set_text(GTK_LABEL(info_label), v.info_text.c_str());
        GtkStyleContext* style = gtk_widget_get_style_context(state_label);
        for (const char* style_class : kStatusClasses)
            gtk_style_context_remove_class(style, style_class);
        gtk_style_context_add_class(style, v.style_class);

        if (start_btn)
            gtk_widget_set_sensitive(start_btn, v.start);
        if (stop_btn)
            gtk_widget_set_sensitive(stop_btn, v.stop);
        if (disconnect_btn)
            gtk_widget_set_sensitive(disconnect_btn, v.disconnect);
        if (connect_btn)
            gtk_widget_set_sensitive(connect_btn, v.connect);
        // Known contacts can be searched whatever the phone does.
        if (contacts_search_entry)
            gtk_widget_set_sensitive(contacts_search_entry, v.search || phonebook_snapshot()->count > 0);
        if (sync_recents_btn)
            gtk_widget_set_sensitive(sync_recents_btn, v.sync);
        show_spinner(spinner, v.spinner);
    }
    update_call_ui();
}

gboolean update_ui_cb(gpointer)
{
    update_ui();
    return G_SOURCE_REMOVE;
}
