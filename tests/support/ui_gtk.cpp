#include "ui_gtk.h"

#include "store/connection_state.h"
#include "ui/window.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace uitest {

namespace {
th::Xvfb* xvfb = nullptr;
GtkApplication* application = nullptr;
}  // namespace

GtkApplication* ensure_gtk()
{
    if (application)
        return application;
    xvfb = new th::Xvfb();
    std::atexit([] { delete xvfb; });
    setenv("DISPLAY", xvfb->display().c_str(), 1);
    setenv("GDK_BACKEND", "x11", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    setenv("LANG", "C.UTF-8", 1);
    // No session bus: GApplication then runs as a plain local application
    // instead of starting a bus of its own through X.
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/telvane-test-bus", 1);
    g_main_context_acquire(g_main_context_default());
    application = gtk_application_new("org.telvane.Telvane.Test", G_APPLICATION_NON_UNIQUE);
    if (!g_application_register(G_APPLICATION(application), nullptr, nullptr))
        throw std::runtime_error("the test application did not register");
    return application;
}

void pump() { while (g_main_context_iteration(nullptr, FALSE)) {} }

namespace {
std::string env_or_empty(const char* name) { return g_getenv(name) ? g_getenv(name) : ""; }
void restore_env(const char* name, const std::string& value)
{
    value.empty() ? unsetenv(name) : setenv(name, value.c_str(), 1);
}
}  // namespace

Sandbox::Sandbox()
    : old_home_(env_or_empty("HOME")), old_config_(env_or_empty("XDG_CONFIG_HOME")),
      old_data_(env_or_empty("XDG_DATA_HOME"))
{
    // The folder of an earlier test may be gone: GLib then names the root.
    gchar* cwd = g_get_current_dir();
    old_cwd_ = cwd;
    g_free(cwd);
    std::filesystem::current_path(dir.path());
    setenv("HOME", dir.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir.file(".config").c_str(), 1);
    setenv("XDG_DATA_HOME", dir.file(".local/share").c_str(), 1);
}

Sandbox::~Sandbox()
{
    std::error_code ignored;   // nothing sensible left to do in a destructor
    std::filesystem::current_path(old_cwd_, ignored);
    setenv("HOME", old_home_.c_str(), 1);
    restore_env("XDG_CONFIG_HOME", old_config_);
    restore_env("XDG_DATA_HOME", old_data_);
}

void open_main_window(bool later_pages)
{
    GtkApplication* app_object = ensure_gtk();
    window = nullptr;   // a fresh build, as in a fresh process
    build_window_for_first_frame(app_object);
    update_ui();
    gtk_widget_show_all(window);
    gtk_widget_hide(spinner);
    update_ui();
    if (!th::wait_until([] { return gtk_widget_get_mapped(window); }, 10000))
        throw std::runtime_error("window was not mapped");
    if (later_pages)
        build_later_pages();
    pump();
}

void close_main_window()
{
    if (window)
        gtk_widget_destroy(window);   // forgets the widget globals itself
    pump();
}

}  // namespace uitest
