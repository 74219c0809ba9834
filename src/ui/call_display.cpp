#include "ui/call_display.h"

#include "base/main_thread.h"
#include "core/text.h"
#include "audio/sco.h"
#include "store/connection_state.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "hfp/listener.h"
#include "ui/call_notify.h"
#include "ui/second_call.h"
#include "ui/widget_state.h"
#include "ui/window.h"

guint ringtone_timer_id = 0;

namespace {

void beep()
{
    GdkDisplay* display = gdk_display_get_default();
    if (display)
        gdk_display_beep(display);
}

}  // namespace

void update_call_ui()
{
    ASSERT_MAIN_THREAD();
    int state = current_call_state.load();
    if (call_status_label) {
        std::string markup = call_label_markup(state, current_call_name, current_call_number,
                                               state == CALL_ACTIVE && current_call_view.held_only,
                                               current_call_view.action);
        // Connected, but no link carries calls yet (the listener is connecting or retrying).
        if (state == CALL_IDLE && current_state.load() == CONNECTED && !hands_free_link_ready())
            markup = "⏳ Call link not ready";
        std::string sound = call_sound_line(state, sco_audio_running.load(),
                                            static_cast<VoiceCodec>(sco_link_codec.load()), sco_sound_on_phone.load());
        if (!sound.empty())
            markup += "\n\n" + sound;
        gtk_label_set_markup(GTK_LABEL(call_status_label), markup.c_str());
    }
    // Above other windows only while the call rings, not for the whole call.
    if (state != CALL_INCOMING && window) {
        gtk_window_set_keep_above(GTK_WINDOW(window), FALSE);
        gtk_window_set_urgency_hint(GTK_WINDOW(window), FALSE);
    }
    bool asked = current_call_view.action != ACTION_NONE && state != CALL_IDLE;
    set_sensitive(answer_btn, state == CALL_INCOMING && !asked);
    set_sensitive(reject_btn, state == CALL_INCOMING && !asked);
    set_sensitive(hangup_btn, (state == CALL_OUTGOING || state == CALL_ACTIVE) && !asked);
    if (sound_btn)
        gtk_widget_set_visible(sound_btn, state == CALL_ACTIVE && sco_sound_on_phone.load());
    call_notifications_follow();
    update_second_call_ui();
}

void call_alert_start()
{
    ASSERT_MAIN_THREAD();
    if (ringtone_timer_id == 0)
        ringtone_timer_id = g_timeout_add(1000, ringtone_tick, nullptr);
    if (window) {
        GtkWindow* w = GTK_WINDOW(window);
        gtk_widget_show(window);
        gtk_window_deiconify(w);
        gtk_window_set_keep_above(w, TRUE);
        gtk_window_set_urgency_hint(w, TRUE);
        gtk_window_present_with_time(w, 0);
        beep();
    }
}

void call_alert_stop()
{
    if (ringtone_timer_id != 0) {
        g_source_remove(ringtone_timer_id);
        ringtone_timer_id = 0;
    }
}

gboolean ringtone_tick(gpointer)
{
    // A phone that rings in-band plays its own ring over the voice link.
    if (!sco_link_from_phone.load())
        beep();
    return G_SOURCE_CONTINUE;
}
