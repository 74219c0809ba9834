#include "ui/phone_status.h"

#include "base/main_thread.h"
#include "store/connection_state.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "ui/window.h"

namespace {

// Main loop only: made by the window build.
GtkWidget* status_box = nullptr;
GtkWidget* note_label = nullptr;
GtkWidget* signal_image = nullptr;
GtkWidget* battery_image = nullptr;

void on_state_label_changed(GObject*, GParamSpec*, gpointer) { update_phone_status(); }

// Indicator events may still arrive while the window is being torn down.
void on_status_box_destroyed(GtkWidget*, gpointer)
{
    status_box = note_label = signal_image = battery_image = nullptr;
}

// A value outside HFP's range (0-1 or 0-5) says nothing; the last good one
// stays until the phone's values are forgotten.
int last_good(const char* name, int max, int& kept)
{
    int value = phone_indicator(name);
    if (value <= max)
        kept = value;
    return kept;
}

void show_icon(GtkWidget* image, const char* icon)
{
    if (icon)
        gtk_image_set_from_icon_name(GTK_IMAGE(image), icon, GTK_ICON_SIZE_MENU);
    gtk_widget_set_visible(image, icon != nullptr);
}

}  // namespace

GtkWidget* build_phone_status()
{
    status_box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    note_label = gtk_label_new("");
    signal_image = gtk_image_new();
    battery_image = gtk_image_new();
    for (GtkWidget* child : {note_label, signal_image, battery_image})
        gtk_box_pack_start(GTK_BOX(status_box), child, FALSE, FALSE, 0);
    // Shown only beside a connected phone, never by showing the window.
    gtk_widget_set_no_show_all(status_box, TRUE);
    g_signal_connect(status_box, "destroy", G_CALLBACK(on_status_box_destroyed), nullptr);
    // Every state change rewrites the state label; the phone's status follows it.
    g_signal_connect(state_label, "notify::label", G_CALLBACK(on_state_label_changed), nullptr);
    return status_box;
}

void update_phone_status()
{
    ASSERT_MAIN_THREAD();
    if (!status_box)
        return;
    bool connected = current_state.load() == CONNECTED;
    static int service = -1, signal = -1, roam = -1, battchg = -1;   // main loop only: last good values
    PhoneStatusView v = phone_status_view(connected, last_good("service", 1, service), last_good("signal", 5, signal),
                                          last_good("roam", 1, roam), last_good("battchg", 5, battchg));
    gtk_label_set_text(GTK_LABEL(note_label), v.note.c_str());
    gtk_widget_set_visible(note_label, !v.note.empty());
    show_icon(signal_image, v.signal_icon);
    show_icon(battery_image, v.battery_icon);
    gtk_widget_set_tooltip_text(status_box, v.visible ? v.tooltip.c_str() : nullptr);
    gtk_widget_set_visible(status_box, v.visible);
}
