#include "ui/settings.h"

#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "audio/aec.h"
#include "ui/window.h"

#include <unistd.h>

#include <cerrno>

int col_recent_type = 80, col_recent_name = 150, col_recent_number = 120, col_recent_time = 140;
int col_contacts_name = 200, col_contacts_number = 150;
int autostart_enabled = 0;

std::string running_binary()
{
    gchar* link = g_file_read_link("/proc/self/exe", nullptr);
    std::string path = link ? link : "";
    g_free(link);
    // A package upgrade replaces the file under a running program.
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    // A line break cannot stand in an Exec line.
    if (path.empty() || path.find_first_of("\r\n") != std::string::npos)
        return "/usr/bin/telvane";
    return path;
}

std::string desktop_exec_argument(const std::string& path)
{
    // Desktop entry quoting: reserved characters call for double quotes, in
    // which " ` $ \ are escaped; a literal % is always doubled.
    bool quote = path.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
    std::string out = quote ? "\"" : "";
    for (char c : path) {
        if (c == '%')
            out += "%%";
        else if (c == '\\')
            out += "\\\\\\\\";   // the string escape applies before the quoting
        else if (c == '"' || c == '`' || c == '$')
            out += std::string("\\\\") + c;
        else
            out += c;
    }
    return quote ? out + "\"" : out;
}

std::string autostart_entry(const std::string& binary)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Telvane\n"
           "Name[tr]=Telvane\n"
           "Comment=Bluetooth Phone\n"
           "Comment[tr]=Bluetooth Telefon\n"
           "Exec=" + desktop_exec_argument(binary) + "\n"
           "Icon=call-start\n"
           "Terminal=false\n"
           "Categories=Network;Telephony;\n"
           "X-GNOME-Autostart-enabled=true\n";
}

namespace {

constexpr size_t kMaxPath = 511;

}  // namespace

Settings settings_from_globals()
{
    Settings v;
    v.col_recent_type = col_recent_type;
    v.col_recent_name = col_recent_name;
    v.col_recent_number = col_recent_number;
    v.col_recent_time = col_recent_time;
    v.col_contacts_name = col_contacts_name;
    v.col_contacts_number = col_contacts_number;
    v.autostart = autostart_enabled;
    v.cancel_echo = aec_enabled.load();
    return v;
}

void settings_to_globals(const Settings& v)
{
    col_recent_type = v.col_recent_type;
    col_recent_name = v.col_recent_name;
    col_recent_number = v.col_recent_number;
    col_recent_time = v.col_recent_time;
    col_contacts_name = v.col_contacts_name;
    col_contacts_number = v.col_contacts_number;
    autostart_enabled = v.autostart;
    aec_enabled.store(v.cancel_echo ? 1 : 0);
}

int usable_column_width(int width)
{
    if (width < kMinColumnWidth)
        return kMinColumnWidth;
    if (width > kMaxColumnWidth)
        return kMaxColumnWidth;
    return width;
}

void read_settings()
{
    if (window)
        return;
    SettingsParser parser(settings_from_globals());
    std::string why, path = settings_path();
    bool read = read_regular_file(path.c_str(), &why, [&](const char* data, size_t n) {
        parser.feed(data, n);
        return true;
    });
    if (!read && !why.empty())
        log_msgf("⚠️ %s not read, default column widths used: %s", path.c_str(), why.c_str());
    settings_to_globals(parser.finish());
}

void save_settings()
{
    // The old file stays as it was; say so rather than lose widths unseen.
    std::string why;
    if (!write_file_atomically(settings_path().c_str(), format_settings(settings_from_globals()), &why))
        log_msgf("⚠️ Settings not saved: %s", why.c_str());
}

// Desktops start what they find in the user's configuration folder's
// autostart folder, wherever $XDG_CONFIG_HOME puts it.
std::string autostart_folder()
{
    const char* config = g_getenv("XDG_CONFIG_HOME");
    const char* home = g_getenv("HOME");
    if (!(config && g_path_is_absolute(config)) && !(home && *home))
        return "";
    std::string folder = config_home() + "/autostart";
    // A cut path would name some other file: better no entry at all.
    if ((folder + "/telvane.desktop").size() > kMaxPath)
        return "";
    return folder;
}

std::string autostart_file()
{
    std::string folder = autostart_folder();
    return folder.empty() ? "" : folder + "/telvane.desktop";
}

bool autostart_entry_exists()
{
    std::string file = autostart_file();
    return !file.empty() && g_file_test(file.c_str(), G_FILE_TEST_EXISTS);
}

void set_autostart(int enable)
{
    const char* home = g_getenv("HOME");
    if (!home || !*home)
        return;
    std::string folder = autostart_folder();
    std::string file = autostart_file();
    if (enable) {
        // The box stays checked as the user left it, so the log must tell
        // that no entry was installed.
        std::string why;
        if (file.empty()) {
            log_msg("⚠️ Autostart entry not written: the path is too long");
            save_settings();
            return;
        }
        if (g_mkdir_with_parents(folder.c_str(), 0755) != 0) {
            log_msgf("⚠️ Autostart entry not written: %s: %s", folder.c_str(), g_strerror(errno));
            save_settings();
            return;
        }
        if (!write_file_atomically(file.c_str(), autostart_entry(running_binary()), &why)) {
            log_msgf("⚠️ Autostart entry not written: %s", why.c_str());
            save_settings();
            return;
        }
        autostart_enabled = 1;
        save_settings();
        return;
    }
    if (!file.empty())
        unlink(file.c_str());
    autostart_enabled = 0;
    save_settings();
}

void on_autostart_toggled(GtkToggleButton* button, gpointer)
{
    set_autostart(gtk_toggle_button_get_active(button) ? 1 : 0);
}

void on_cancel_echo_toggled(GtkToggleButton* button, gpointer)
{
    // Taken by the next voice link; a running one keeps how it started.
    aec_enabled.store(gtk_toggle_button_get_active(button) ? 1 : 0);
}

void on_window_destroy(GtkWidget*, gpointer)
{
    save_settings();
}
