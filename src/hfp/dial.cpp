#include "hfp/dial.h"

#include "app/app.h"
#include "app/log.h"
#include "app/text.h"
#include "audio/sco.h"
#include "connection/bluez.h"
#include "connection/device.h"
#include "connection/state.h"
#include "hfp/at.h"
#include "hfp/call_state.h"
#include "hfp/caller_line.h"
#include "hfp/dial_monitor.h"
#include "hfp/hfp.h"
#include "hfp/listener.h"
#include "phonedata/phonebook.h"
#include "ui/window.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace {

// A number longer than this would push ";\r" out of the 127-byte command.
constexpr size_t kMaxNumberLength = 122;
// Bounds on the phone's answer to ATD; the described waits stay the minimum.
constexpr int kListenerReplyWaitMs = 500;
constexpr int kDialReplyWaitMs = 1000;
constexpr int kReplyTimeoutMs = 5000;
constexpr gint64 kListenerWaitUs = 5 * G_USEC_PER_SEC;

std::mutex exchange_mutex;   // one dial exchange at a time
std::atomic<int> dial_in_progress{0};

gboolean dial_fallback_cb(gpointer data)
{
    std::unique_ptr<std::string> number(static_cast<std::string*>(data));
    // The phone took the number after all (its answer came late): the
    // display follows the call, and a failure dialog would contradict it.
    if (call_model_snapshot().view().state != CALL_IDLE) {
        log_msgf("ℹ️ %s: the phone placed the call after all", number->c_str());
        return G_SOURCE_REMOVE;
    }
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), number->c_str(), -1);
    log_msgf("📋 %s copied to clipboard", number->c_str());
    GtkWidget* dialog = gtk_message_dialog_new(window ? GTK_WINDOW(window) : nullptr,
                                               static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL |
                                                                           GTK_DIALOG_DESTROY_WITH_PARENT),
                                               GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, "📞 %s", number->c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                             "HFP connection failed.\nNumber copied to clipboard.");
    gtk_window_set_title(GTK_WINDOW(dialog), "Call");
    // Not run in a nested loop: the window keeps working while it is shown.
    g_signal_connect(dialog, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show_all(dialog);
    return G_SOURCE_REMOVE;
}

void fallback(const std::string& number)
{
    g_idle_add(dial_fallback_cb, new std::string(number));
}

// Fed before the reader of the connection reads again, so the phone's
// callsetup event that follows is judged against the outgoing call.
void accept(const std::string& number, unsigned generation)
{
    char name[128] = "";
    if (!phonebook_name_exact(number.c_str(), name, sizeof name))
        name[0] = '\0';
    CallParty callee{number, name};
    // A dial the phone took just before it went away shows nothing.
    if (call_feed(generation, [&callee](CallModel& m) { m.on_dial_accepted(callee); }))
        voice_link_sync(true);
}

void connect_hands_free_profile()
{
    const char* path = phone_path();
    if (path[0] == '\0' || !dbus_conn)
        return;
    GError* error = nullptr;
    if (!bluez::connect_profile(dbus_conn, path, bluez::kHfpHfUuid, &error)) {
        g_clear_error(&error);
        bluez::connect_profile(dbus_conn, path, bluez::kHfpAgUuid, &error);
        g_clear_error(&error);
    }
}

// The listener holds the phone's channel while it connects and shakes hands;
// a link of our own would be refused (EBUSY) meanwhile, so wait for it.
bool wait_for_listener()
{
    gint64 deadline = g_get_monotonic_time() + kListenerWaitUs;
    while (!listener_link_ready()) {
        if (hfp_listen_socket.load() < 0 || g_get_monotonic_time() > deadline)
            return false;
        g_usleep(20 * 1000);
    }
    return true;
}

void dial_over_listener(const std::string& number, const std::string& command, unsigned generation)
{
    log_msg("📱 Using existing HFP connection...");
    std::shared_ptr<AtChannel> channel = listener_pause();
    AtReply reply;
    if (channel)
        reply = channel->exchange(command, kListenerReplyWaitMs, kReplyTimeoutMs);
    if (!channel || reply.write_failed || (reply.io_error && reply.lines.empty())) {
        log_msg("⚠️ Call command could not be sent");
        listener_resume();
        fallback(number);
        return;
    }
    std::string text = utf8_repair(reply.joined());
    log_msgf("📥 HFP response (%d byte): [%s]", static_cast<int>(reply.bytes), text.c_str());
    switch (judge_dial_reply(reply, hfp_indicator_map())) {
    case DialVerdict::ACCEPTED:
        log_msgf("✓ Call started: %s", number.c_str());
        break;
    case DialVerdict::REFUSED:
        log_msg("⚠️ Phone rejected call");
        listener_resume();
        fallback(number);
        return;
    case DialVerdict::UNKNOWN:
        // The phone may still be dialling; its events correct the display.
        log_msg("⚠️ Unknown response, trying anyway...");
        break;
    }
    accept(number, generation);
    listener_resume();
}

void dial_over_new_connection(const std::string& number, const std::string& command, unsigned generation)
{
    hfp_close();
    // The phone's channel is needed by a link of our own only; the lookup can take 20 s.
    if (hfp_channel.load() == 0)
        hfp_lookup_channel();
    log_msg("📱 Establishing HFP connection...");
    bool socket_failed = false;
    int fd = hfp_rfcomm_open(&socket_failed);
    if (fd < 0 && errno == EBUSY && wait_for_listener()) {
        dial_over_listener(number, command, generation);
        return;
    }
    if (fd < 0) {
        log_msg(socket_failed ? "⚠️ RFCOMM socket error" : "⚠️ HFP connection failed");
        fallback(number);
        return;
    }
    hfp_socket = fd;
    log_msg("✓ HFP connection established");
    auto channel = std::make_shared<AtChannel>(fd);
    PhoneStatus status;
    if (!hfp_outgoing_handshake(*channel, &status)) {
        hfp_close();
        fallback(number);
        return;
    }
    call_status_from_phone(generation, status.values);
    AtReply reply = channel->exchange(command, kDialReplyWaitMs, kReplyTimeoutMs);
    bool accepted = false;
    if (reply.lines.empty())
        log_msg("⚠️ Call response: (empty)");
    else if (judge_dial_reply(reply, hfp_indicator_map()) == DialVerdict::ACCEPTED)
        accepted = true;
    else if (reply.contains("ERROR"))
        log_msg("⚠️ Phone rejected call");
    else if (reply.contains("NO CARRIER"))
        log_msg("⚠️ Connection lost");
    else
        log_msgf("⚠️ Call response: %s", utf8_repair(reply.joined()).c_str());
    if (!accepted) {
        hfp_close();
        fallback(number);
        return;
    }
    log_msgf("✓ Call started: %s", number.c_str());
    accept(number, generation);
    connect_hands_free_profile();
    hfp_monitor_running = 1;
    hfp_monitor_thread_handle =
        g_thread_new("hfp_monitor", hfp_monitor_thread, new MonitorStart{channel, generation, this_phone()});
}

void dial_exchange(const std::string& number, unsigned generation)
{
    std::lock_guard<std::mutex> lock(exchange_mutex);
    if (phone_addr()[0] == '\0') {
        log_msg("⚠️ No phone address");
        fallback(number);
        return;
    }
    std::string command = "ATD" + number + ";\r";
    if (wait_for_listener())
        dial_over_listener(number, command, generation);
    else
        dial_over_new_connection(number, command, generation);
}

struct DialJob {
    std::string number;
    unsigned generation;
    PhoneRef phone;
};

gpointer dial_thread(gpointer data)
{
    std::unique_ptr<DialJob> job(static_cast<DialJob*>(data));
    dial_exchange(job->number, job->generation);
    dial_in_progress = 0;
    return nullptr;
}

// A refused number is shown with its control characters made visible.
std::string printable(const char* number)
{
    std::string out;
    for (const char* p = number; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f)
            out += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        else
            out += *p;
    }
    return utf8_repair(out);
}

void dial_from_model(GtkTreeView* view, GtkTreePath* path, int column)
{
    GtkTreeModel* model = gtk_tree_view_get_model(view);
    GtkTreeIter iter;
    if (!model || !gtk_tree_model_get_iter(model, &iter, path))
        return;
    gchar* number = nullptr;
    gtk_tree_model_get(model, &iter, column, &number, -1);
    if (number && number[0] != '\0')
        dial_number(number);
    g_free(number);
}

}  // namespace

void dial_number(const char* number)
{
    if (!number || number[0] == '\0') {
        log_msg("⚠️ Number empty");
        return;
    }
    // A CR, LF or ';' would end the ATD command early and let the rest of
    // the text run as commands of its own.
    if (!number_is_dialable(number) || std::strlen(number) > kMaxNumberLength) {
        log_msgf("⚠️ Number refused (control character, ';' or too long): %s", printable(number).c_str());
        return;
    }
    if (current_state.load() != CONNECTED) {
        log_msg("⚠️ Phone must be connected for call");
        return;
    }
    // One call at a time: a second dial would put the call in progress on
    // hold on most phones, or be refused with nothing to show for it.
    if (call_model_snapshot().view().state != CALL_IDLE) {
        log_msgf("⚠️ A call is in progress; not dialling %s", number);
        return;
    }
    int idle = 0;
    if (!dial_in_progress.compare_exchange_strong(idle, 1)) {
        log_msgf("⚠️ A dial is already in progress; not dialling %s", number);
        return;
    }
    log_msgf("📞 Calling: %s", number);
    auto* job = new DialJob{number, hfp_link_generation(), this_phone()};
    if (g_main_context_is_owner(g_main_context_default())) {
        auto thread_body = [](gpointer data) -> gpointer {
            adopt_phone(static_cast<DialJob*>(data)->phone);
            return dial_thread(data);
        };
        GThread* worker = g_thread_new("dial", thread_body, job);
        g_thread_unref(worker);
        return;
    }
    dial_thread(job);
}

void on_dial_call_clicked(GtkButton*, gpointer entry)
{
    if (!entry)
        return;
    const gchar* text = gtk_entry_get_text(GTK_ENTRY(entry));
    if (text && text[0] != '\0') {
        std::string number = text;
        dial_number(number.c_str());
        gtk_entry_set_text(GTK_ENTRY(entry), "");
    } else {
        log_msg("⚠️ No number entered");
    }
}

void on_contact_row_activated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn*, gpointer)
{
    dial_from_model(view, path, 1);
}

void on_recent_row_activated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn*, gpointer)
{
    dial_from_model(view, path, 2);
}
