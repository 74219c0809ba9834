#include "hfp/call_actions.h"

#include "app/log.h"
#include "app/text.h"
#include "app/main_thread.h"
#include "audio/sco.h"
#include "connection/device.h"
#include "connection/state.h"
#include "hfp/call_state.h"
#include "hfp/hfp.h"
#include "hfp/listener.h"
#include "ui/call_display.h"
#include "ui/window.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <unistd.h>

namespace {

void set_sensitive(GtkWidget* widget, bool on)
{
    if (widget)
        gtk_widget_set_sensitive(widget, on);
}

// Only the listener thread reads the listener connection: the phone's reply
// to a command written here is read, logged and acted on there ("ERROR" ends
// a call being set up), so the main loop never waits on the phone.
bool write_command(int fd, const char* command)
{
    if (fd < 0)
        return false;
    return write(fd, command, std::strlen(command)) > 0;
}

// The link that carries call commands now: the listener once it is past its
// handshake, else the dial connection.
int command_link()
{
    int listen_fd = hfp_listen_socket.load();
    if (listen_fd >= 0 && listener_link_ready())
        return listen_fd;
    return hfp_socket.load();
}

void feed(const std::function<void(CallModel&)>& change)
{
    call_feed(hfp_link_generation(), change);
}

void hold_action(int action, const char* what)
{
    ASSERT_MAIN_THREAD();
    if (current_call_state.load() != CALL_ACTIVE) {
        log_msgf("⚠️ %s: no call", what);
        return;
    }
    char command[16];
    std::snprintf(command, sizeof command, "AT+CHLD=%d\r", action);
    if (!write_command(command_link(), command)) {
        log_msgf("⚠️ %s: command could not be sent", what);
        return;
    }
    log_msgf("📞 %s (AT+CHLD=%d)", what, action);
    feed([action](CallModel& m) { m.on_hold_action(action); });
}

void clear_caller()
{
    std::memset(current_call_number, 0, sizeof current_call_number);
    std::memset(current_call_name, 0, sizeof current_call_name);
}

}  // namespace

void on_waiting_hold_answer_clicked(GtkButton*, gpointer) { hold_action(2, "Hold and answer"); }
void on_waiting_end_answer_clicked(GtkButton*, gpointer) { hold_action(1, "End and answer"); }
void on_waiting_reject_clicked(GtkButton*, gpointer) { hold_action(0, "Reject waiting call"); }
void on_swap_clicked(GtkButton*, gpointer) { hold_action(2, "Swap calls"); }

bool send_key_tone(char key)
{
    ASSERT_MAIN_THREAD();
    bool valid = (key >= '0' && key <= '9') || key == '*' || key == '#';
    if (!valid || current_call_state.load() != CALL_ACTIVE || current_call_view.held_only)
        return false;
    char command[16];
    std::snprintf(command, sizeof command, "AT+VTS=%c\r", key);
    if (!write_command(command_link(), command)) {
        log_msgf("⚠️ Key tone %c could not be sent", key);
        return false;
    }
    log_msgf("🔢 Key tone: %c", key);
    return true;
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
    feed([](CallModel& m) { m.on_answer(); });
    voice_link_sync(true);
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
    feed([](CallModel& m) { m.on_reject(); });
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
    CallView after;
    call_feed(hfp_link_generation(), [](CallModel& m) { m.on_hangup(); }, nullptr, &after);
    if (after.state != CALL_IDLE) {
        // A held call is left, or the waiting caller goes on ringing: the
        // voice link and the display stay with them.
        write_command(command_link(), "AT+CHUP\r");
        log_msg("📱 AT+CHUP sent");
        return;
    }
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
