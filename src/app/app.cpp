#include "app/app.h"

#include "base/log.h"
#include "base/main_thread.h"
#include "base/paths.h"
#include "core/tel_uri.h"
#include "core/text.h"
#include "base/workers.h"
#include "audio/sco_listen.h"
#include "connection/adapter.h"
#include "connection/bluez.h"
#include "base/events.h"
#include "store/phone_record.h"
#include "connection/phone_device.h"
#include "connection/profile.h"
#include "connection/signals.h"
#include "store/connection_state.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "hfp/dial.h"
#include "hfp/link.h"
#include "hfp/listener.h"
#include "phonedata/obex.h"
#include "phonedata/phonebook.h"
#include "phonedata/recents.h"
#include "store/apply.h"
#include "store/phone_data.h"
#include "ui/list_views.h"
#include "ui/render.h"
#include "ui/window.h"

#include <malloc.h>

#include <csignal>
#include <cstring>

GtkApplication* app = nullptr;
char pending_uri_arg[256] = "";

namespace {

constexpr const char* kApplicationId = "org.telvane.Telvane";

// Moves a waiting tel: number on towards the phone: dialled now when the
// hands-free link can carry it, else left for the listener to dial once its
// link is up.
void hand_over_pending_uri()
{
    if (pending_uri_arg[0] == '\0')
        return;
    pending_dial_set(pending_uri_arg);
    pending_uri_arg[0] = '\0';
    if (current_state.load() == CONNECTED && hands_free_link_ready()) {
        std::string number = pending_dial_take();
        if (!number.empty())
            dial_number(number.c_str());
        return;
    }
    log_msgf("📞 Number waiting for the phone: %s", pending_dial_peek().c_str());
}


// The window is gone: every link and thread ends before any state does.
void close_down()
{
    // The main thread still, though the application has let go of its loop.
    g_main_context_acquire(nullptr);
    cleanup_connection(nullptr, false);   // listener, hands-free and voice links, joined
    sco_listen_stop();
    if (dbus_conn)
        profile_stop();
    leave_adapter_as_found();
    // Workers waiting in bus calls are let go by closing their buses.
    if (GDBusConnection* obex = obex_conn.load())
        g_dbus_connection_close_sync(obex, nullptr, nullptr);
    if (dbus_conn)
        g_dbus_connection_close_sync(dbus_conn, nullptr, nullptr);
    join_workers();
    g_main_context_release(nullptr);
}

// Main loop only: set once the caches are read and BlueZ looked at.
bool startup_finished = false;

// What the window does not need for its first frame: the tabs behind the
// first, the caches, the lists and the system bus. Run after that frame, so
// the window shows at once.
void finish_startup()
{
    if (startup_finished)
        return;
    startup_finished = true;
    build_later_pages();
    load_contacts_csv();
    load_recents_csv();
    show_search_results();
    refresh_recents_view();

    std::string why;
    if (!open_system_bus(&why))
        deliver_event(ConnectionFailed{why});
    else {
        sco_listen_set_rule(
            [] { return call_model_snapshot().view().state != CALL_IDLE || hfp_handshake_saw_call(); });
        bluez_start();
    }

    update_ui();
    log_msg("📱 Telvane - Ready");
    if (current_state.load() == IDLE)
        log_msg("ℹ️ Press 'Start' button, let phone connect");
    // A number given with the very first launch is not left waiting for a
    // second launch: it is dialled as soon as the phone can carry it.
    hand_over_pending_uri();
    // The start-up's scratch memory (style sheet, file texts) goes back.
    malloc_trim(0);
}

gboolean finish_startup_cb(gpointer)
{
    finish_startup();
    return G_SOURCE_REMOVE;
}

// The tabs' pages one per pass of the main loop, then the rest of start-up:
// what comes meanwhile (a bus call, a click) waits for one page at most.
gboolean build_page_cb(gpointer)
{
    if (!startup_finished && build_one_later_page())
        return G_SOURCE_CONTINUE;
    g_idle_add(finish_startup_cb, nullptr);
    return G_SOURCE_REMOVE;
}

void on_first_frame(GdkFrameClock* clock, gpointer)
{
    g_signal_handlers_disconnect_by_func(clock, reinterpret_cast<gpointer>(on_first_frame), nullptr);
    g_idle_add(build_page_cb, nullptr);
}

void first_activation(GtkApplication* application)
{
    move_files_from_working_folder();   // before anything reads them
    build_window_for_first_frame(application);   // settings, theme, widgets, signals, add to app
    update_ui();
    gtk_widget_show_all(window);
    gtk_widget_hide(spinner);
    update_ui();   // the spinner's visibility belongs to the state
    if (GdkFrameClock* clock = gtk_widget_get_frame_clock(window))
        g_signal_connect(clock, "after-paint", G_CALLBACK(on_first_frame), nullptr);
    // Should no frame ever be painted (a window kept off screen), all the same.
    g_timeout_add(1000, finish_startup_cb, nullptr);
}

}  // namespace

void accept_tel_argument(const char* arg)
{
    TelLink link = parse_tel_link(arg);
    if (!link.recognised)
        return;
    if (!link.ok) {
        log_msgf("⚠️ Link refused, nothing dialled: %s", link.problem.c_str());
        return;
    }
    copy_text(pending_uri_arg, link.number);
    if (!link.extension.empty() || !link.subaddress.empty())
        log_msgf("ℹ️ Link number %s; not dialled:%s%s%s%s", link.number.c_str(),
                 link.extension.empty() ? "" : " extension ", link.extension.c_str(),
                 link.subaddress.empty() ? "" : " subaddress ", link.subaddress.c_str());
}

int on_app_command_line(GApplication* application, GApplicationCommandLine* command_line, gpointer)
{
    int argc = 0;
    gchar** argv = g_application_command_line_get_arguments(command_line, &argc);
    if (argc >= 2)
        accept_tel_argument(argv[1]);
    g_strfreev(argv);
    g_application_activate(application);
    return 0;
}

void on_app_activate(GApplication* application, gpointer)
{
    if (window) {
        gtk_window_present(GTK_WINDOW(window));
        if (startup_finished)
            hand_over_pending_uri();
        return;
    }
    first_activation(GTK_APPLICATION(application));
}

int telvane_main(int argc, char** argv)
{
    // A phone that drops its link must not kill us through a write.
    std::signal(SIGPIPE, SIG_IGN);
    install_store();
    install_window_renderer();
    app = gtk_application_new(kApplicationId, G_APPLICATION_HANDLES_COMMAND_LINE);
    g_signal_connect(app, "activate", G_CALLBACK(on_app_activate), nullptr);
    g_signal_connect(app, "command-line", G_CALLBACK(on_app_command_line), nullptr);
    // The font map reads fontconfig's files in a thread of its own, and the
    // first text layout waits for it: started now, that reading overlaps the
    // display and bus set-up instead of holding up the first frame.
    pango_cairo_font_map_get_default();
    int status = g_application_run(G_APPLICATION(app), argc, argv);
    close_down();
    g_object_unref(app);
    app = nullptr;
    return status;
}
