// settings.json (column widths, autostart flag) and the autostart entry.
#pragma once
#include <gtk/gtk.h>

#include <cstddef>
#include <string>
#include <string_view>

extern int col_recent_type, col_recent_name, col_recent_number, col_recent_time;
extern int col_contacts_name, col_contacts_number;
extern int autostart_enabled;

void read_settings();
void save_settings();
void set_autostart(int enable);
bool autostart_entry_exists();
void on_autostart_toggled(GtkToggleButton* button, gpointer);
void on_window_destroy(GtkWidget*, gpointer);

// What settings.json holds, with the values used before any file is read.
struct Settings {
    int col_recent_type = 80;
    int col_recent_name = 150;
    int col_recent_number = 120;
    int col_recent_time = 140;
    int col_contacts_name = 200;
    int col_contacts_number = 150;
    int autostart = 0;
    bool operator==(const Settings&) const = default;
};

// Reads settings.json text fed in any chunks; memory stays bounded whatever
// the input (lines are taken in pieces of at most 255 bytes).
class SettingsParser {
public:
    static constexpr size_t kMaxPiece = 255;
    explicit SettingsParser(const Settings& start = {}) : values_(start) {}
    void feed(const char* data, size_t n);
    Settings finish();

private:
    void take_piece();
    std::string piece_;
    Settings values_;
};

// Members that cannot be read keep their value in start.
Settings parse_settings(std::string_view text, const Settings& start = {});
// The nine lines of settings.json.
std::string format_settings(const Settings& values);

Settings settings_from_globals();
void settings_to_globals(const Settings& values);

// The width a column is given: GTK cannot use zero, negative or absurd widths.
inline constexpr int kMinColumnWidth = 20;
inline constexpr int kMaxColumnWidth = 2000;
int usable_column_width(int width);

// The eleven lines of the autostart entry.
extern const char kAutostartEntry[];
// "$HOME/.config/autostart", or "" when HOME is unset or empty or the path
// would not fit in 511 bytes.
std::string autostart_folder();
std::string autostart_file();

// Replaces path with content through a temporary file in the same folder,
// so the old content stays whole when the write cannot complete. On failure
// *why (when given) says what went wrong.
bool write_file_atomically(const char* path, std::string_view content, std::string* why = nullptr);
