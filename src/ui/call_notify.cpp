#include "ui/call_notify.h"

#include "base/main_thread.h"
#include "store/connection_state.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "phonedata/missed.h"
#include "phonedata/recents.h"
#include "store/phone_data.h"
#include "ui/window.h"

#include <gio/gio.h>

namespace {

constexpr const char* kIncomingId = "incoming-call";
constexpr const char* kWaitingId = "waiting-call";

// Main loop only, all of them: the notifications follow the store's call.
GApplication* notifying_app = nullptr;
int followed_state = CALL_IDLE;
std::string ringing_number, ringing_name, ringing_shown;
bool decided_here = false;   // Answer or Reject pressed for the ringing call
unsigned missed_count = 0;
WaitingCallHandler waiting_answer = nullptr, waiting_reject = nullptr;

// Without a session bus there is nobody to show them; GLib would complain.
bool can_notify()
{
    return notifying_app && g_application_get_is_registered(notifying_app) &&
           g_application_get_dbus_connection(notifying_app) != nullptr;
}

void send(const char* id, GNotification* notification)
{
    if (can_notify())
        g_application_send_notification(notifying_app, id, notification);
    g_object_unref(notification);
}

void withdraw(const char* id)
{
    if (can_notify())
        g_application_withdraw_notification(notifying_app, id);
}

GNotification* caller_notification(const char* title, const char* number, const char* name,
                                   const char* answer_action, const char* reject_action)
{
    GNotification* n = g_notification_new(title);
    std::string body = notification_caller(name, number);
    std::string shown_number = notification_caller(nullptr, number);
    if (name && name[0] && number && number[0])
        body += "\n" + shown_number;
    g_notification_set_body(n, body.c_str());
    g_notification_set_priority(n, G_NOTIFICATION_PRIORITY_URGENT);
    GIcon* icon = g_themed_icon_new("call-start");
    g_notification_set_icon(n, icon);
    g_object_unref(icon);
    g_notification_add_button(n, "Answer", answer_action);
    g_notification_add_button(n, "Reject", reject_action);
    g_notification_set_default_action(n, "app.show-window");
    return n;
}

void present_window()
{
    if (!window)
        return;
    gtk_widget_show(window);
    gtk_window_present(GTK_WINDOW(window));
}

void press(GtkWidget* button)
{
    if (button)
        gtk_button_clicked(GTK_BUTTON(button));
}

void on_answer_call(GSimpleAction*, GVariant*, gpointer) { press(answer_btn); }
void on_reject_call(GSimpleAction*, GVariant*, gpointer) { press(reject_btn); }
void on_sound_to_pc(GSimpleAction*, GVariant*, gpointer) { press(sound_btn); }
void on_show_window(GSimpleAction*, GVariant*, gpointer) { present_window(); }
void on_answer_waiting(GSimpleAction*, GVariant*, gpointer)
{
    if (waiting_answer)
        waiting_answer();
}
void on_reject_waiting(GSimpleAction*, GVariant*, gpointer)
{
    if (waiting_reject)
        waiting_reject();
}

void on_show_recents(GSimpleAction*, GVariant*, gpointer)
{
    present_window();
    GtkWidget* notebook = recent_view ? gtk_widget_get_ancestor(recent_view, GTK_TYPE_NOTEBOOK) : nullptr;
    if (!notebook)
        return;
    for (int i = 0; i < gtk_notebook_get_n_pages(GTK_NOTEBOOK(notebook)); ++i)
        if (gtk_widget_is_ancestor(recent_view, gtk_notebook_get_nth_page(GTK_NOTEBOOK(notebook), i)))
            gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook), i);
}

void on_call_button_clicked(GtkButton*, gpointer) { decided_here = true; }

void post_missed_call()
{
    std::string title = "Missed call from " + ringing_shown;
    GNotification* n = g_notification_new(title.c_str());
    if (!ringing_name.empty() && !ringing_number.empty())
        g_notification_set_body(n, notification_caller(nullptr, ringing_number.c_str()).c_str());
    GIcon* icon = g_themed_icon_new("call-missed");
    g_notification_set_icon(n, icon);
    g_object_unref(icon);
    g_notification_set_default_action(n, "app.show-recents");
    // Each missed call leaves its own trace.
    std::string id = "missed-call-" + std::to_string(++missed_count);
    send(id.c_str(), n);
}

// Set while the phone's call history is asked whether the call that rang
// out was missed; main loop only.
bool asking_history = false;

gboolean ask_history_cb(gpointer)
{
    // A sync under way answers as well; else one is started.
    if (!syncing_recents.load()) {
        if (current_state.load() != CONNECTED) {
            call_history_synced(false);
            return G_SOURCE_REMOVE;
        }
        start_recents_sync("missed_check");
    }
    return G_SOURCE_REMOVE;
}

// Runs after the click that ended the ringing (if any) has been handled in
// full, so a Reject pressed here is known before the call counts as missed.
gboolean missed_call_check_cb(gpointer)
{
    if (decided_here)
        return G_SOURCE_REMOVE;
    // Declined on the phone or given up by the caller: only the phone's own
    // history tells, once it has written the call down.
    asking_history = true;
    g_timeout_add(kHistorySettleMs, ask_history_cb, nullptr);
    return G_SOURCE_REMOVE;
}

}  // namespace

void call_history_synced(bool success)
{
    if (!asking_history)
        return;
    asking_history = false;
    // Without the phone's word a missed call is rather told than lost.
    if (!success || ringing_number.empty() ||
        history_says_missed(recent_entries, recent_count, ringing_number.c_str(), history_key_now()))
        post_missed_call();
}

std::string notification_caller(const char* name, const char* number)
{
    const char* text = (name && name[0]) ? name : (number && number[0]) ? number : "Unknown caller";
    std::string out;
    for (const char* p = text; *p && out.size() < 128; ++p)
        if (static_cast<unsigned char>(*p) >= 0x20 && *p != 0x7f)
            out += *p;
    gchar* valid = g_utf8_make_valid(out.c_str(), -1);
    out = valid;
    g_free(valid);
    return out.empty() ? "Unknown caller" : out;
}

void install_call_notifications(GtkApplication* application)
{
    notifying_app = G_APPLICATION(application);
    const GActionEntry entries[] = {
        {"answer-call", on_answer_call, nullptr, nullptr, nullptr, {}},
        {"reject-call", on_reject_call, nullptr, nullptr, nullptr, {}},
        {"sound-to-pc", on_sound_to_pc, nullptr, nullptr, nullptr, {}},
        {"show-window", on_show_window, nullptr, nullptr, nullptr, {}},
        {"show-recents", on_show_recents, nullptr, nullptr, nullptr, {}},
        {"answer-waiting", on_answer_waiting, nullptr, nullptr, nullptr, {}},
        {"reject-waiting", on_reject_waiting, nullptr, nullptr, nullptr, {}},
    };
    g_action_map_add_action_entries(G_ACTION_MAP(application), entries, G_N_ELEMENTS(entries), nullptr);
    for (GtkWidget* button : {answer_btn, reject_btn})
        if (button)
            g_signal_connect(button, "clicked", G_CALLBACK(on_call_button_clicked), nullptr);
    followed_state = current_call_state.load();
}

void call_notifications_follow()
{
    ASSERT_MAIN_THREAD();
    int state = current_call_state.load();
    if (state == CALL_INCOMING) {
        bool fresh = followed_state != CALL_INCOMING;
        if (fresh)
            decided_here = false;
        // The caller's line often comes a moment after RING: the notification
        // is replaced (same id) once the caller is known.
        std::string shown = notification_caller(current_call_name, current_call_number);
        if (fresh || ringing_number != current_call_number || ringing_name != current_call_name) {
            ringing_number = current_call_number;
            ringing_name = current_call_name;
            ringing_shown = shown;
            send(kIncomingId, caller_notification("Incoming call", current_call_number, current_call_name,
                                                  "app.answer-call", "app.reject-call"));
        }
    } else if (followed_state == CALL_INCOMING) {
        withdraw(kIncomingId);
        // A caller's line and the end of the ring can reach the window
        // together: the model still knows who rang.
        if (ringing_number.empty()) {
            CallParty rung = call_model_snapshot().rung_party();
            ringing_number = rung.number;
            ringing_name = rung.name;
            ringing_shown = notification_caller(rung.name.c_str(), rung.number.c_str());
        }
        if (state == CALL_IDLE)
            g_idle_add(missed_call_check_cb, nullptr);
    }
    followed_state = state;
}

void set_waiting_call_handlers(WaitingCallHandler answer, WaitingCallHandler reject)
{
    waiting_answer = answer;
    waiting_reject = reject;
}

void notify_waiting_call(const char* number, const char* name)
{
    ASSERT_MAIN_THREAD();
    send(kWaitingId, caller_notification("Call waiting", number, name, "app.answer-waiting", "app.reject-waiting"));
}

void withdraw_waiting_call_notification()
{
    ASSERT_MAIN_THREAD();
    withdraw(kWaitingId);
}
