#include "ui/render.h"

#include "base/changes.h"
#include "base/log.h"
#include "base/main_thread.h"
#include "store/phone_record.h"
#include "connection/profile.h"
#include "store/reconnect.h"
#include "store/connection_state.h"
#include "connection/system_bus.h"
#include "phonedata/phonebook.h"
#include "store/phone_data.h"
#include "phonedata/recents.h"
#include "ui/call_display.h"
#include "ui/call_notify.h"
#include "ui/call_volume_ui.h"
#include "ui/list_views.h"
#include "ui/log_view.h"
#include "ui/phone_status.h"
#include "ui/waiting_number.h"
#include "ui/window.h"

#include <string>

namespace {

void render_header()
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
}

// The phone would not take the number: it goes to the clipboard, and a
// dialog says so.
void show_dial_failed(const std::string& number)
{
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), number.c_str(), -1);
    log_msgf("📋 %s copied to clipboard", number.c_str());
    GtkWidget* dialog = gtk_message_dialog_new(window ? GTK_WINDOW(window) : nullptr,
                                               static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL |
                                                                           GTK_DIALOG_DESTROY_WITH_PARENT),
                                               GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, "📞 %s", number.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                             "HFP connection failed.\nNumber copied to clipboard.");
    gtk_window_set_title(GTK_WINDOW(dialog), "Call");
    // Not run in a nested loop: the window keeps working while it is shown.
    g_signal_connect(dialog, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show_all(dialog);
}

void render_change(const ChangeNote& note)
{
    switch (note.what) {
    case Change::Header:
        render_header();
        update_call_ui();
        break;
    case Change::Call:
        update_call_ui();
        break;
    case Change::Ringing:
        if (note.arg)
            call_alert_start();
        else
            call_alert_stop();
        break;
    case Change::PhoneStatus:
        update_phone_status();
        break;
    case Change::Contacts:
        refresh_contacts_view();
        break;
    case Change::ContactsBusy:
        show_spinner(contacts_spinner, note.arg != 0);
        break;
    case Change::ContactsProgress:
        show_phonebook_progress(note.arg);
        break;
    case Change::Recents:
        refresh_recents_view();
        break;
    case Change::RecentsBusy:
        show_spinner(recents_spinner, note.arg != 0);
        if (note.arg && sync_recents_btn)
            gtk_widget_set_sensitive(sync_recents_btn, FALSE);
        break;
    case Change::RecentsSynced:
        call_history_synced(note.arg != 0);
        break;
    case Change::WaitingNumber:
        update_waiting_number_cb(nullptr);
        break;
    case Change::CallVolume:
        call_volume_changed_cb(nullptr);
        break;
    case Change::DialFailed:
        show_dial_failed(note.text);
        break;
    }
}

}  // namespace

void install_window_renderer()
{
    set_change_renderer(render_change);
    install_log_tab();
}
