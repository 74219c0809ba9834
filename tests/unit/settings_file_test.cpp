// settings.json and the autostart entry under a temporary HOME. (Saves that
// cannot complete are tried on the real binary.)
#include "ui_gtk.h"
#include "text_helpers.h"

#include "ui/settings.h"
#include "ui/window.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

namespace {

const Settings kDefaults{};

Settings with(int Settings::*field, int value, Settings s = Settings{})
{
    s.*field = value;
    return s;
}

using unit::cat;

const Settings kAllSet{81, 151, 121, 141, 201, 151, 1};
const std::string kAllSetFile = "{\n"
                                "  \"col_recent_type\": 81,\n"
                                "  \"col_recent_name\": 151,\n"
                                "  \"col_recent_number\": 121,\n"
                                "  \"col_recent_time\": 141,\n"
                                "  \"col_contacts_name\": 201,\n"
                                "  \"col_contacts_number\": 151,\n"
                                "  \"autostart\": true\n"
                                "}\n";

TEST(SettingsParse, ReadsWhatItCanAndKeepsTheRestHoweverTheBytesArrive)
{
    const struct { const char* name; std::string text; Settings expected; } rows[] = {
        {"written file", kAllSetFile, kAllSet},
        {"many blanks and tabs", "\t \"col_recent_number\" \t :   \t 99 ,\n", with(&Settings::col_recent_number, 99)},
        {"no final line feed", "  \"col_contacts_number\": 77", with(&Settings::col_contacts_number, 77)},
        {"not a number keeps value", "  \"col_recent_time\": \"wide\",\n  \"col_recent_name\": 160,\n",
         with(&Settings::col_recent_name, 160)},
        {"int limits", "\"col_recent_type\": 2147483647\n\"col_recent_name\": -2147483648\n",
         with(&Settings::col_recent_name, INT_MIN, with(&Settings::col_recent_type, INT_MAX))},
        {"beyond int keeps value", "\"col_recent_type\": 2147483648\n\"col_recent_name\": -2147483649\n"
                                   "\"col_recent_time\": 99999999999999999999999999999999\n", kDefaults},
        {"similar key is not the member", "  \"col_recent_type_x\": 5,\n  \"xcol_recent_type\": 6,\n", kDefaults},
        {"autostart false after true", "\"autostart\": true\n\"autostart\": false\n", kDefaults},
        {"autostart neither word keeps value", "\"autostart\": 1\n", kDefaults},
        {"echo cancelling on, written after autostart", cat(kAllSetFile.substr(0, kAllSetFile.size() - 3), ",\n  \"cancel_echo\": true\n}\n"),
         with(&Settings::cancel_echo, 1, kAllSet)},
        {"echo cancelling off", "\"cancel_echo\": true\n\"cancel_echo\": false\n", kDefaults},
        {"zero byte ends the line", std::string("\"col_recent_type\": 7\0" "00,\n", 25),
         with(&Settings::col_recent_type, 7)},
        // Lines are taken in pieces of 255 bytes; each piece is read as a line.
        {"member in the second piece of a long line", cat(std::string(300, ' '), "\"col_recent_type\": 66,\n"),
         with(&Settings::col_recent_type, 66)},
        {"member cut by the piece boundary", cat(std::string(250, ' '), "\"col_recent_type\": 66,\n"), kDefaults},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(parse_settings(row.text), row.expected);
        SettingsParser bytewise;
        for (char c : row.text)
            bytewise.feed(&c, 1);
        EXPECT_EQ(bytewise.finish(), row.expected);
    }
}

// That what is written reads back is asked by the settings fuzz corpus.
// Echo cancelling, off by default, adds its line only when on.
TEST(SettingsFormat, IsExactlyNineLines)
{
    EXPECT_EQ(format_settings(kAllSet), kAllSetFile);
    const std::string on = format_settings(with(&Settings::cancel_echo, 1, kAllSet));
    EXPECT_EQ(on, cat(kAllSetFile.substr(0, kAllSetFile.size() - 3), ",\n  \"cancel_echo\": true\n}\n"));
    EXPECT_EQ(parse_settings(on), with(&Settings::cancel_echo, 1, kAllSet));
}

class SettingsFile : public testing::Test {
protected:
    uitest::Sandbox sandbox;   // working folder and HOME

    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(sandbox.dir.path()))
            names.push_back(e.path().filename());
        return names;
    }
    std::string entry() const { return sandbox.dir.file(".config/autostart/telvane.desktop"); }
};

// A folder, a pipe or junk in place of the file are read at every start
// of the real binary; a dangling link is not.
TEST_F(SettingsFile, SaveReadsBackAndTheReaderTakesTheWholeFileOnlyBeforeTheWindowExists)
{
    Settings chosen{61, 212, 133, 144, 255, 166, 1};
    settings_to_globals(chosen);
    save_settings();
    EXPECT_EQ(th::read_file("settings.json"), format_settings(chosen));
    EXPECT_EQ(entries(), std::vector<std::string>{"settings.json"}) << "no temporary file left behind";
    settings_to_globals(kDefaults);
    read_settings();
    EXPECT_EQ(settings_from_globals(), chosen);

    th::write_file("settings.json", cat(std::string(1 << 20, 'x'), "\n", kAllSetFile));
    settings_to_globals(kDefaults);
    int marker = 0;
    window = reinterpret_cast<GtkWidget*>(&marker);   // only compared with null
    read_settings();
    window = nullptr;
    EXPECT_EQ(settings_from_globals(), kDefaults);
    read_settings();
    EXPECT_EQ(settings_from_globals(), kAllSet);
    unlink("settings.json");
    ASSERT_EQ(symlink("nowhere", "settings.json"), 0);
    read_settings();
    EXPECT_EQ(settings_from_globals(), kAllSet);
}

TEST_F(SettingsFile, AutostartCheckingWritesTheEntryCreatingTheFoldersAndUncheckingRemoves)
{
    // Not even .config exists: the folder is made with its parents.
    set_autostart(1);
    EXPECT_EQ(th::read_file(entry()), kAutostartEntry);
    EXPECT_EQ(th::read_file("settings.json"), format_settings(with(&Settings::autostart, 1)));

    // Checking again over an existing entry rewrites it whole.
    th::write_file(entry(), "stale");
    set_autostart(1);
    EXPECT_EQ(th::read_file(entry()), kAutostartEntry);

    set_autostart(0);
    EXPECT_FALSE(autostart_entry_exists());
    EXPECT_EQ(th::read_file("settings.json"), format_settings(kDefaults));
    // Unchecking with no entry is fine and still records it.
    autostart_enabled = 1;
    set_autostart(0);
    EXPECT_EQ(autostart_enabled, 0);
}

TEST_F(SettingsFile, AutostartWithoutAUsableHomeNothingIsWrittenAtAWrongPlace)
{
    for (const char* home : {static_cast<const char*>(nullptr), ""}) {
        SCOPED_TRACE(home ? "empty HOME" : "HOME unset");
        home ? setenv("HOME", home, 1) : unsetenv("HOME");
        set_autostart(1);
        EXPECT_EQ(autostart_enabled, 0);
        autostart_enabled = 1;
        set_autostart(0);
        EXPECT_EQ(autostart_enabled, 1);
        autostart_enabled = 0;
        EXPECT_TRUE(entries().empty()) << "nothing written, not even settings.json";
    }

    // A file where the folder should be: the flag stays off, settings are saved.
    setenv("HOME", sandbox.dir.path().c_str(), 1);
    th::write_file(sandbox.dir.file(".config"), "a file where the folder should be");
    set_autostart(1);
    EXPECT_EQ(autostart_enabled, 0);
    EXPECT_EQ(th::read_file("settings.json"), format_settings(kDefaults));

    // The path would not fit in 511 bytes; cutting it would name another file.
    std::string home = sandbox.dir.path();
    for (int level = 0; level < 3; ++level) {
        home += "/" + std::string(200, 'h');
        ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    }
    setenv("HOME", home.c_str(), 1);
    set_autostart(1);
    EXPECT_EQ(autostart_enabled, 0);
    EXPECT_FALSE(th::file_exists(home + "/.config")) << "nothing created under the long HOME";
}

}  // namespace
