// settings.json and the autostart entry under a temporary HOME. (Saves that
// cannot complete are tried on the real binary.)
#include "audio_log_capture.h"
#include "ui_gtk.h"
#include "text_helpers.h"

#include "base/paths.h"
#include "ui/settings.h"
#include "ui/window.h"

#include <gtest/gtest.h>
#include <fcntl.h>
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

    // The names in the folder of path (the sandbox itself by default).
    std::vector<std::string> entries(const std::string& path = "") const
    {
        std::vector<std::string> names;
        std::string folder = path.empty() ? sandbox.dir.path() : std::filesystem::path(path).parent_path().string();
        for (const auto& e : std::filesystem::directory_iterator(folder))
            names.push_back(e.path().filename());
        return names;
    }
    std::string entry() const { return sandbox.dir.file(".config/autostart/telvane.desktop"); }
    std::string file() const { return sandbox.config_file("settings.json"); }
};

// A folder, a pipe or junk in place of the file are read at every start
// of the real binary; a dangling link is not.
TEST_F(SettingsFile, SaveReadsBackAndTheReaderTakesTheWholeFileOnlyBeforeTheWindowExists)
{
    Settings chosen{61, 212, 133, 144, 255, 166, 1};
    settings_to_globals(chosen);
    save_settings();
    EXPECT_EQ(th::read_file(file()), format_settings(chosen));
    EXPECT_EQ(entries(file()), std::vector<std::string>{"settings.json"}) << "no temporary file left behind";
    settings_to_globals(kDefaults);
    read_settings();
    EXPECT_EQ(settings_from_globals(), chosen);

    th::write_file(file(), cat(std::string(1 << 20, 'x'), "\n", kAllSetFile));
    settings_to_globals(kDefaults);
    int marker = 0;
    window = reinterpret_cast<GtkWidget*>(&marker);   // only compared with null
    read_settings();
    window = nullptr;
    EXPECT_EQ(settings_from_globals(), kDefaults);
    read_settings();
    EXPECT_EQ(settings_from_globals(), kAllSet);
    unlink(file().c_str());
    ASSERT_EQ(symlink("nowhere", file().c_str()), 0);
    read_settings();
    EXPECT_EQ(settings_from_globals(), kAllSet);
}

TEST_F(SettingsFile, AutostartCheckingWritesTheEntryCreatingTheFoldersAndUncheckingRemoves)
{
    // Not even .config exists: the folder is made with its parents.
    set_autostart(1);
    EXPECT_EQ(th::read_file(entry()), autostart_entry(running_binary()));
    EXPECT_EQ(th::read_file(file()), format_settings(with(&Settings::autostart, 1)));

    // Checking again over an existing entry rewrites it whole.
    th::write_file(entry(), "stale");
    set_autostart(1);
    EXPECT_EQ(th::read_file(entry()), autostart_entry(running_binary()));

    set_autostart(0);
    EXPECT_FALSE(autostart_entry_exists());
    EXPECT_EQ(th::read_file(file()), format_settings(kDefaults));
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
    th::write_file(sandbox.dir.file(".config/autostart"), "a file where the folder should be");
    set_autostart(1);
    EXPECT_EQ(autostart_enabled, 0);
    EXPECT_EQ(th::read_file(file()), format_settings(kDefaults));

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

namespace {

// What a start finds where: files an older version left in the working
// folder, the new folders, or both at different ages.
TEST(FilesOfOlderVersions, MoveToTheXdgFoldersOnceWithoutLosingOrOverwritingNewerOnes)
{
    const std::string kOurs = "name,number\n\"Ana\",\"1\"\n", kNewer = "name,number\n\"Ana\",\"2\"\n";
    enum Age { NONE, OLD, NEW };
    const struct { const char* name; Age in_cwd, in_xdg; std::string cwd_text; std::string expect_xdg, expect_older;
        bool left_in_cwd; const char* log; } rows[] = {
        {"only in the working folder", NEW, NONE, kOurs, kOurs, "", false, "moved to"},
        {"only in the XDG folder", NONE, NEW, "", kNewer, "", false, nullptr},
        {"working folder newer", NEW, OLD, kOurs, kOurs, kNewer, false, "the older one there kept as"},
        {"XDG folder newer", OLD, NEW, kOurs, kNewer, kOurs, false, "is older than"},
        {"same age", OLD, OLD, kOurs, kNewer, kOurs, false, "is older than"},
        {"another program's file", NEW, NONE, "id,price\n1,2\n", "", "", true, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        uitest::Sandbox sandbox;
        std::string cwd_file = sandbox.dir.file("contacts.csv"), xdg_file = sandbox.data_file("contacts.csv");
        auto place = [](const std::string& path, const std::string& text, Age age) {
            th::write_file(path, text);
            struct timespec times[2] = {{0, UTIME_OMIT}, {age == OLD ? 1000000000 : 1700000000, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        };
        if (row.in_cwd != NONE)
            place(cwd_file, row.cwd_text, row.in_cwd);
        if (row.in_xdg != NONE)
            place(xdg_file, kNewer, row.in_xdg);
        th::StdoutCapture out;
        move_files_from_working_folder();
        std::string log = out.text();
        EXPECT_EQ(th::read_file(xdg_file), row.expect_xdg);
        EXPECT_EQ(th::read_file(xdg_file + ".older"), row.expect_older);
        EXPECT_EQ(th::file_exists(cwd_file), row.left_in_cwd);
        if (row.log)
            EXPECT_EQ(th::occurrences(log, row.log), 1) << log;
        else
            EXPECT_EQ(log.find("contacts.csv"), std::string::npos) << log;
        move_files_from_working_folder();
        EXPECT_EQ(th::occurrences(out.text(), "contacts.csv"), th::occurrences(log, "contacts.csv")) << "logged once";
    }
}

TEST(FilesOfOlderVersions, EachFileGoesToItsFolderAndWhatCannotBeReadStaysWithoutHanging)
{
    uitest::Sandbox sandbox;
    th::write_file(sandbox.dir.file("settings.json"), kAllSetFile);
    th::write_file(sandbox.dir.file("recents.csv"), "type,name,number,time\n");
    ASSERT_EQ(mkfifo(sandbox.dir.file("contacts.csv").c_str(), 0644), 0);
    // Started from inside the data folder: the file is where it belongs already.
    th::write_file(sandbox.data_file("recents.csv"), "type,name,number,time\n\"x\",\"y\",\"z\",\"-\"\n");
    move_files_from_working_folder();
    EXPECT_EQ(th::read_file(sandbox.config_file("settings.json")), kAllSetFile);
    EXPECT_TRUE(th::file_exists(sandbox.data_file("recents.csv.older")));
    EXPECT_TRUE(th::file_exists(sandbox.dir.file("contacts.csv"))) << "a pipe is not a cache";
    EXPECT_FALSE(th::file_exists(sandbox.data_file("contacts.csv")));

    ASSERT_EQ(chdir(sandbox.data_file("").c_str()), 0);
    move_files_from_working_folder();
    EXPECT_EQ(th::read_file(sandbox.data_file("recents.csv")), "type,name,number,time\n\"x\",\"y\",\"z\",\"-\"\n");
    EXPECT_FALSE(th::file_exists(sandbox.data_file("recents.csv.older.1")));
}

// The entry starts this very binary; its path is quoted as desktop entries want.
TEST(AutostartEntry, ExecRunsTheRunningBinaryQuotedAsOneArgument)
{
    EXPECT_EQ(running_binary(), std::filesystem::canonical("/proc/self/exe").string());
    const std::pair<std::string, std::string> rows[] = {
        {"/usr/bin/telvane", "/usr/bin/telvane"},
        {"/opt/my apps/telvane", "\"/opt/my apps/telvane\""},
        {"/home/a/100%/telvane", "/home/a/100%%/telvane"},
        {"/x/$HOME/\"q\"/b\\c", "\"/x/\\\\$HOME/\\\\\"q\\\\\"/b\\\\\\\\c\""},
    };
    for (const auto& [path, exec] : rows)
        EXPECT_EQ(desktop_exec_argument(path), exec) << path;
    EXPECT_NE(autostart_entry("/opt/t").find("\nExec=/opt/t\nIcon=call-start\n"), std::string::npos);
}

}  // namespace
