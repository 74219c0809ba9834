// The text of settings.json: reading and writing it, without any file or GTK.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// What settings.json holds, with the values used before any file is read.
struct Settings {
    int col_recent_type = 80;
    int col_recent_name = 150;
    int col_recent_number = 120;
    int col_recent_time = 140;
    int col_contacts_name = 200;
    int col_contacts_number = 150;
    int autostart = 0;
    int cancel_echo = 0;   // the "Cancel echo" switch; its line is written only when on
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
