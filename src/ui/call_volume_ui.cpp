#include "ui/call_volume_ui.h"

#include "base/main_thread.h"
#include "audio/call_volume.h"
#include "hfp/volume_sync.h"

namespace {

GtkWidget* speaker_scale = nullptr;      // main loop
GtkWidget* microphone_scale = nullptr;   // main loop
bool following_phone = false;            // main loop: the phone moved them, not the user

void on_scale_changed(GtkRange* range, gpointer speaker)
{
    int gain = gain_for_volume(gtk_range_get_value(range) / kMaxGain);
    (speaker ? speaker_gain : microphone_gain).store(gain);
    if (!following_phone)
        hfp_send_gain(speaker != nullptr);
}

GtkWidget* scale(GtkWidget* row, const char* label, bool speaker)
{
    gtk_box_pack_start(GTK_BOX(row), gtk_label_new(label), FALSE, FALSE, 0);
    GtkWidget* s = gtk_scale_new_with_range(GTK_ORIENTATION_HORIZONTAL, 0, kMaxGain, 1);
    gtk_scale_set_draw_value(GTK_SCALE(s), FALSE);
    gtk_range_set_value(GTK_RANGE(s), (speaker ? speaker_gain : microphone_gain).load());
    g_signal_connect(s, "value-changed", G_CALLBACK(on_scale_changed), speaker ? s : nullptr);
    gtk_box_pack_start(GTK_BOX(row), s, TRUE, TRUE, 0);
    return s;
}

void on_row_destroyed(GtkWidget*, gpointer) { speaker_scale = microphone_scale = nullptr; }

}  // namespace

void build_call_volume_area(GtkWidget* main_box)
{
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    speaker_scale = scale(row, "🔊", true);
    microphone_scale = scale(row, "🎤", false);
    g_signal_connect(row, "destroy", G_CALLBACK(on_row_destroyed), nullptr);
    gtk_box_pack_start(GTK_BOX(main_box), row, FALSE, FALSE, 2);
}

gboolean call_volume_changed_cb(gpointer)
{
    ASSERT_MAIN_THREAD();
    following_phone = true;
    if (speaker_scale)
        gtk_range_set_value(GTK_RANGE(speaker_scale), speaker_gain.load());
    if (microphone_scale)
        gtk_range_set_value(GTK_RANGE(microphone_scale), microphone_gain.load());
    following_phone = false;
    return G_SOURCE_REMOVE;
}
