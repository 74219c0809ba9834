#include "ui/second_call.h"

#include "base/main_thread.h"
#include "core/text.h"
#include "hfp/call_actions.h"
#include "ui/call_buttons.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "ui/call_notify.h"

GtkWidget* second_call_label = nullptr;
GtkWidget* hold_answer_btn = nullptr;
GtkWidget* end_answer_btn = nullptr;
GtkWidget* reject_waiting_btn = nullptr;
GtkWidget* swap_btn = nullptr;

namespace {

GtkWidget* second_call_box = nullptr;   // main loop only, like the widgets above

std::string party_text(const char* name, const char* number)
{
    if (name && name[0])
        return markup_escaped(name) + "\n" + markup_escaped(number);
    return markup_escaped(number);
}

GtkWidget* action_button(const char* label, GCallback handler, const char* css_class = nullptr)
{
    GtkWidget* button = gtk_button_new_with_label(label);
    if (css_class)
        gtk_style_context_add_class(gtk_widget_get_style_context(button), css_class);
    g_signal_connect(button, "clicked", handler, nullptr);
    return button;
}

// During a call a key is a tone, not part of a number to dial: the entry
// keeps what the user typed before the call.
void on_dial_entry_insert_text(GtkEditable* editable, gchar* text, gint length, gpointer, gpointer)
{
    if (current_call_state.load() != CALL_ACTIVE)
        return;
    for (gint i = 0; text && i < length; ++i)
        send_key_tone(text[i]);
    g_signal_stop_emission_by_name(editable, "insert-text");
}

// The notification's buttons do what the row's buttons do.
void answer_waiting_from_notification() { gtk_button_clicked(GTK_BUTTON(hold_answer_btn)); }
void reject_waiting_from_notification() { gtk_button_clicked(GTK_BUTTON(reject_waiting_btn)); }

// One notification per waiting caller, withdrawn once the caller is decided.
void follow_waiting_notification(bool waiting)
{
    // Main loop only.
    static std::string notified;   // the waiting caller's number, "" when none is notified
    static bool shown = false;
    if (waiting && (!shown || notified != waiting_call_party.number)) {
        notify_waiting_call(waiting_call_party.number.c_str(), waiting_call_party.name.c_str());
        notified = waiting_call_party.number;
        shown = true;
    } else if (!waiting && shown) {
        withdraw_waiting_call_notification();
        notified.clear();
        shown = false;
    }
}

}  // namespace

std::string second_call_markup(bool waiting, const char* waiting_name, const char* waiting_number, bool held,
                               const char* held_name, const char* held_number)
{
    std::string out;
    if (waiting)
        out = "⏳ Call waiting\n" + party_text(waiting_name, waiting_number);
    if (held)
        out += (out.empty() ? "" : "\n") + std::string("⏸️ On hold\n") + party_text(held_name, held_number);
    return out;
}

namespace {

// Indicator events may still arrive while the window is being torn down.
void on_second_call_box_destroyed(GtkWidget*, gpointer)
{
    second_call_box = second_call_label = hold_answer_btn = end_answer_btn = reject_waiting_btn = swap_btn = nullptr;
}

}  // namespace

void build_second_call_area(GtkWidget* main_box)
{
    second_call_box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    second_call_label = gtk_label_new(nullptr);
    gtk_label_set_justify(GTK_LABEL(second_call_label), GTK_JUSTIFY_CENTER);
    gtk_box_pack_start(GTK_BOX(second_call_box), second_call_label, FALSE, FALSE, 0);
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    hold_answer_btn = action_button("⏸️ Hold & Answer", G_CALLBACK(on_waiting_hold_answer_clicked), "btn-answer");
    end_answer_btn = action_button("🔚 End & Answer", G_CALLBACK(on_waiting_end_answer_clicked));
    reject_waiting_btn = action_button("❌ Reject Waiting", G_CALLBACK(on_waiting_reject_clicked), "btn-reject");
    swap_btn = action_button("🔁 Swap", G_CALLBACK(on_swap_clicked), "btn-answer");
    for (GtkWidget* button : {hold_answer_btn, end_answer_btn, reject_waiting_btn, swap_btn})
        gtk_box_pack_start(GTK_BOX(row), button, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(second_call_box), row, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(main_box), second_call_box, FALSE, FALSE, 2);
    gtk_widget_set_no_show_all(second_call_box, TRUE);
    g_signal_connect(second_call_box, "destroy", G_CALLBACK(on_second_call_box_destroyed), nullptr);
    set_waiting_call_handlers(answer_waiting_from_notification, reject_waiting_from_notification);
}

void update_second_call_ui()
{
    ASSERT_MAIN_THREAD();
    if (!second_call_box)
        return;
    bool active = current_call_state.load() == CALL_ACTIVE;
    bool waiting = active && current_call_view.waiting;
    // A call held alone shows in the main label; Swap takes it back.
    bool held = active && current_call_view.held;
    std::string markup = second_call_markup(waiting, waiting_call_party.name.c_str(),
                                            waiting_call_party.number.c_str(), held && !current_call_view.held_only,
                                            held_call_party.name.c_str(), held_call_party.number.c_str());
    gtk_label_set_markup(GTK_LABEL(second_call_label), markup.c_str());
    gtk_widget_set_visible(second_call_label, !markup.empty());
    gtk_widget_set_visible(hold_answer_btn, waiting);
    gtk_widget_set_visible(end_answer_btn, waiting);
    gtk_widget_set_visible(reject_waiting_btn, waiting);
    gtk_widget_set_visible(swap_btn, held && !waiting);
    gtk_widget_set_visible(gtk_widget_get_parent(hold_answer_btn), waiting || held);
    gtk_widget_set_visible(second_call_box, waiting || held);
    follow_waiting_notification(waiting);
}

void attach_key_tones(GtkWidget* dial_entry)
{
    g_signal_connect(dial_entry, "insert-text", G_CALLBACK(on_dial_entry_insert_text), nullptr);
}
