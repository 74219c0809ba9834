#include "hfp/call_actions.h"

#include "app/log.h"
#include "app/main_thread.h"
#include "audio/sco.h"
#include "connection/device.h"
#include "connection/state.h"
#include "hfp/call_state.h"
#include "hfp/hfp.h"
#include "ui/call_notify.h"
#include "ui/window.h"

#include <cstring>
#include <unistd.h>

namespace {

std::string escaped(const char* text)
{
    gchar* e = g_markup_escape_text(text ? text : "", -1);
    std::string out(e);
    g_free(e);
    return out;
}

void set_sensitive(GtkWidget* widget, bool on)
{
    if (widget)
        gtk_widget_set_sensitive(widget, on);
}

// Only the listener thread reads the listener connection: the phone's reply
// to a command written here is read, logged and acted on there ("ERROR" ends
// the call), so the main loop never waits on the phone.
bool write_command(int fd, const char* command)
{
    if (fd < 0)
        return false;
    return write(fd, command, std::strlen(command)) > 0;
}

void clear_caller()
{
    std::memset(current_call_number, 0, sizeof current_call_number);
    std::memset(current_call_name, 0, sizeof current_call_name);
}

}  // namespace

std::string call_label_markup(int state, const char* name_raw, const char* number_raw)
{
    bool has_name = name_raw && name_raw[0];
    bool has_number = number_raw && number_raw[0];
    std::string name = escaped(name_raw), number = escaped(number_raw);
    switch (state) {
    case CALL_INCOMING:
        if (!has_number)
            return "🔔 INCOMING CALL";
        if (has_name)
            return "🔔 INCOMING CALL\n\n" + name + "\n" + number;
        return "🔔 INCOMING CALL\n\n" + number;
    case CALL_OUTGOING:
        if (has_name)
            return "📱 Calling...\n\n" + name + "\n" + number;
        return "📱 Calling...\n\n" + number;
    case CALL_ACTIVE:
        if (has_name)
            return "✅ Call Active\n\n" + name + "\n" + number;
        return "✅ Call Active\n\n" + number;
    default:
        return "📞 No call";
    }
}

void update_call_ui()
{
    ASSERT_MAIN_THREAD();
    int state = current_call_state.load();
    if (call_status_label) {
        std::string markup = call_label_markup(state, current_call_name, current_call_number);
        gtk_label_set_markup(GTK_LABEL(call_status_label), markup.c_str());
    }
    if (state == CALL_IDLE && window) {
        gtk_window_set_keep_above(GTK_WINDOW(window), FALSE);
        gtk_window_set_urgency_hint(GTK_WINDOW(window), FALSE);
    }
    set_sensitive(answer_btn, state == CALL_INCOMING);
    set_sensitive(reject_btn, state == CALL_INCOMING);
    set_sensitive(hangup_btn, state == CALL_OUTGOING || state == CALL_ACTIVE);
    call_notifications_follow();
}

gboolean hfp_refresh_ui_cb(gpointer)
{
    update_call_ui();
    return G_SOURCE_REMOVE;
}

void on_answer_clicked(GtkButton*, gpointer)
{
    log_msg("✅ Call answered");
    if (current_call_state.load() != CALL_INCOMING) {
        log_msg("⚠️ Answer: Invalid state");
        return;
    }
    set_sensitive(answer_btn, false);
    set_sensitive(reject_btn, false);
    write_command(hfp_listen_socket.load(), "ATA\r");
    if (device_addr[0] != '\0')
        sco_connect();
    set_call_state(CALL_ACTIVE);
    update_ui();
}

void on_reject_clicked(GtkButton*, gpointer)
{
    log_msg("❌ Call rejected");
    if (current_call_state.load() != CALL_INCOMING) {
        log_msg("⚠️ Reject: Invalid state");
        return;
    }
    set_sensitive(reject_btn, false);
    set_sensitive(hangup_btn, false);
    write_command(hfp_listen_socket.load(), "AT+CHUP\r");
    set_call_state(CALL_IDLE);
    clear_caller();
}

void on_hangup_clicked(GtkButton*, gpointer)
{
    log_msg("🔚 Call ended");
    int state = current_call_state.load();
    if (state != CALL_OUTGOING && state != CALL_ACTIVE) {
        log_msg("⚠️ Hangup: Invalid state");
        return;
    }
    set_sensitive(reject_btn, false);
    set_sensitive(hangup_btn, false);
    sco_audio_running = 0;
    int listen_fd = hfp_listen_socket.load(), dial_fd = hfp_socket.load();
    if (listen_fd >= 0) {
        write_command(listen_fd, "AT+CHUP\r");
        log_msg("📱 AT+CHUP sent (listen)");
    } else if (dial_fd >= 0) {
        write_command(dial_fd, "AT+CHUP\r");
        log_msg("📱 AT+CHUP sent");
    }
    GThread* cleanup = g_thread_new("hangup_cleanup", stop_sco_audio, const_cast<char*>("🔊 SCO closed"));
    g_thread_unref(cleanup);
    set_call_state(CALL_IDLE);
    clear_caller();
}
