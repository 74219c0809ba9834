// settings.json and the autostart entry: the reader against friendly and
// hostile text, the writer's exact layout, saves that cannot complete, and
// the autostart entry under a temporary HOME.
#include "ui_gtk.h"

#include "ui/settings.h"
#include "ui/window.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

namespace {

const Settings kDefaults{};

Settings with(int Settings::*field, int value, Settings s = Settings{})
{
    s.*field = value;
    return s;
}

struct ParseRow {
    const char* name;
    std::string text;
    Settings expected;
};

class SettingsParse : public testing::TestWithParam<ParseRow> {};

TEST_P(SettingsParse, ReadsWhatItCanAndKeepsTheRest)
{
    const ParseRow& row = GetParam();
    EXPECT_EQ(parse_settings(row.text), row.expected);
    // However the bytes arrive, the result is the same.
    SettingsParser bytewise;
    for (char c : row.text)
        bytewise.feed(&c, 1);
    EXPECT_EQ(bytewise.finish(), row.expected);
}

std::string junk(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen() & 0xff);
    return s;
}

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

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsParse,
    testing::Values(
        ParseRow{"written_file", kAllSetFile, kAllSet},
        ParseRow{"empty", "", kDefaults},
        ParseRow{"crlf_lines", "{\r\n  \"col_recent_type\": 90,\r\n  \"autostart\": true\r\n}\r\n",
                 with(&Settings::autostart, 1, with(&Settings::col_recent_type, 90))},
        ParseRow{"no_blanks_around_colon", "\"col_recent_name\":175,\n", with(&Settings::col_recent_name, 175)},
        ParseRow{"many_blanks_and_tabs", "\t \"col_recent_number\" \t :   \t 99 ,\n",
                 with(&Settings::col_recent_number, 99)},
        ParseRow{"no_final_line_feed", "  \"col_contacts_number\": 77", with(&Settings::col_contacts_number, 77)},
        ParseRow{"compact_one_line_is_not_recognised",
                 "{\"col_recent_type\": 90, \"col_recent_name\": 91, \"autostart\": true}\n",
                 with(&Settings::autostart, 1)},
        ParseRow{"not_a_number_keeps_value", "  \"col_recent_time\": \"wide\",\n  \"col_recent_name\": 160,\n",
                 with(&Settings::col_recent_name, 160)},
        ParseRow{"sign_without_digits_keeps_value", "  \"col_recent_time\": -,\n", kDefaults},
        ParseRow{"negative_is_taken_as_read", "  \"col_recent_name\": -5,\n", with(&Settings::col_recent_name, -5)},
        ParseRow{"plus_sign", "  \"col_recent_name\": +12,\n", with(&Settings::col_recent_name, 12)},
        ParseRow{"int_limits", "\"col_recent_type\": 2147483647\n\"col_recent_name\": -2147483648\n",
                 with(&Settings::col_recent_name, INT_MIN, with(&Settings::col_recent_type, INT_MAX))},
        ParseRow{"beyond_int_keeps_value",
                 "\"col_recent_type\": 2147483648\n\"col_recent_name\": -2147483649\n"
                 "\"col_recent_time\": 99999999999999999999999999999999\n",
                 kDefaults},
        ParseRow{"similar_key_is_not_the_member", "  \"col_recent_type_x\": 5,\n  \"xcol_recent_type\": 6,\n",
                 kDefaults},
        ParseRow{"later_line_wins", "\"col_contacts_name\": 1\n\"col_contacts_name\": 2\n",
                 with(&Settings::col_contacts_name, 2)},
        ParseRow{"autostart_false_after_true", "\"autostart\": true\n\"autostart\": false\n", kDefaults},
        ParseRow{"autostart_neither_word_keeps_value", "\"autostart\": 1\n", kDefaults},
        ParseRow{"autostart_unquoted_is_ignored", "autostart: true\n", kDefaults},
        ParseRow{"zero_byte_ends_the_line", std::string("\"col_recent_type\": 7\0" "00,\n", 25),
                 with(&Settings::col_recent_type, 7)},
        ParseRow{"zero_byte_hides_the_member", std::string("\0\"col_recent_type\": 7,\n", 23), kDefaults},
        // Lines are taken in pieces of 255 bytes; each piece is read as a line.
        ParseRow{"member_in_the_second_piece_of_a_long_line",
                 std::string(300, ' ') + "\"col_recent_type\": 66,\n", with(&Settings::col_recent_type, 66)},
        ParseRow{"member_cut_by_the_piece_boundary",
                 std::string(250, ' ') + "\"col_recent_type\": 66,\n", kDefaults},
        ParseRow{"one_megabyte_line_then_members",
                 std::string(1 << 20, 'x') + "\n" + kAllSetFile, kAllSet},
        ParseRow{"binary_junk", junk(1 << 16, 7), kDefaults},
        ParseRow{"binary_junk_around_members", junk(4096, 11) + "\n\"col_recent_time\": 222,\n" + junk(4096, 12),
                 with(&Settings::col_recent_time, 222)}),
    [](const testing::TestParamInfo<ParseRow>& info) { return std::string(info.param.name); });

TEST(SettingsFormat, IsExactlyNineLines)
{
    EXPECT_EQ(format_settings(kAllSet), kAllSetFile);
    EXPECT_EQ(format_settings(Settings{-5, 0, INT_MAX, INT_MIN, 1, 2, 0}),
              "{\n"
              "  \"col_recent_type\": -5,\n"
              "  \"col_recent_name\": 0,\n"
              "  \"col_recent_number\": 2147483647,\n"
              "  \"col_recent_time\": -2147483648,\n"
              "  \"col_contacts_name\": 1,\n"
              "  \"col_contacts_number\": 2,\n"
              "  \"autostart\": false\n"
              "}\n");
}

TEST(SettingsFormat, RoundTripReproducesEveryValue)
{
    std::mt19937 gen(3);
    std::vector<Settings> cases = {kDefaults, kAllSet, Settings{-5, 0, INT_MAX, INT_MIN, 1, 2, 0}};
    for (int i = 0; i < 50; ++i)
        cases.push_back(Settings{static_cast<int>(gen()), static_cast<int>(gen()), static_cast<int>(gen()),
                                 static_cast<int>(gen()), static_cast<int>(gen()), static_cast<int>(gen()),
                                 static_cast<int>(gen() & 1)});
    for (const Settings& s : cases) {
        // Read over different start values, so nothing is left to chance.
        EXPECT_EQ(parse_settings(format_settings(s), Settings{1, 1, 1, 1, 1, 1, 1 - s.autostart}), s)
            << format_settings(s);
    }
}

TEST(SettingsFormat, ColumnWidthsAreClampedOnlyWhereGtkUsesThem)
{
    struct Row {
        int in, out;
    };
    for (Row r : {Row{INT_MIN, kMinColumnWidth}, Row{-5, kMinColumnWidth}, Row{0, kMinColumnWidth},
                  Row{kMinColumnWidth, kMinColumnWidth}, Row{150, 150}, Row{kMaxColumnWidth, kMaxColumnWidth},
                  Row{99999, kMaxColumnWidth}, Row{INT_MAX, kMaxColumnWidth}})
        EXPECT_EQ(usable_column_width(r.in), r.out) << r.in;
}

// ---- the file on disk ----

class SettingsFile : public testing::Test {
protected:
    uitest::Sandbox sandbox;   // working folder and HOME, globals at defaults

    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        if (DIR* d = opendir(sandbox.dir.path().c_str())) {
            while (dirent* e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }
};

TEST_F(SettingsFile, MissingFileKeepsDefaultsAndSaveCreatesIt)
{
    read_settings();
    EXPECT_EQ(settings_from_globals(), kDefaults);
    save_settings();
    EXPECT_EQ(th::read_file("settings.json"), format_settings(kDefaults));
    EXPECT_EQ(entries(), std::vector<std::string>{"settings.json"}) << "no temporary file left behind";
}

TEST_F(SettingsFile, SaveThenReadReproducesEveryWidth)
{
    Settings chosen{61, 212, 133, 144, 255, 166, 1};
    settings_to_globals(chosen);
    save_settings();
    settings_to_globals(kDefaults);
    read_settings();
    EXPECT_EQ(settings_from_globals(), chosen);
}

TEST_F(SettingsFile, ReaderReadsTheFileAsAWhole)
{
    std::string big(1 << 20, 'x');
    big += '\n';
    big += kAllSetFile;
    th::write_file("settings.json", big);
    read_settings();
    EXPECT_EQ(settings_from_globals(), kAllSet);
}

TEST_F(SettingsFile, UnreadableThingsInPlaceOfTheFileKeepDefaults)
{
    struct Row {
        const char* name;
        std::function<void()> make;
    };
    std::vector<Row> rows = {
        {"folder", [] { ASSERT_EQ(mkdir("settings.json", 0755), 0); }},
        // A reader that blocked on a pipe would hang the start.
        {"fifo", [] { ASSERT_EQ(mkfifo("settings.json", 0644), 0); }},
        {"dangling_link", [] { ASSERT_EQ(symlink("nowhere", "settings.json"), 0); }},
        {"binary_junk", [] { th::write_file("settings.json", junk(1 << 16, 5)); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.make();
        settings_to_globals(kDefaults);
        read_settings();
        EXPECT_EQ(settings_from_globals(), kDefaults);
        rmdir("settings.json");
        unlink("settings.json");
    }
}

TEST_F(SettingsFile, ReaderDoesNothingOnceTheWindowExists)
{
    th::write_file("settings.json", kAllSetFile);
    int marker = 0;
    window = reinterpret_cast<GtkWidget*>(&marker);   // only compared with null
    read_settings();
    window = nullptr;
    EXPECT_EQ(settings_from_globals(), kDefaults);
}

TEST_F(SettingsFile, BlockedRenameTargetLeavesItIntact)
{
    // A folder holding a file sits where settings.json goes.
    ASSERT_EQ(mkdir("settings.json", 0755), 0);
    th::write_file("settings.json/inside", "kept");
    settings_to_globals(kAllSet);
    testing::internal::CaptureStdout();
    save_settings();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("] ⚠️ Settings not saved: "), std::string::npos) << out;
    EXPECT_EQ(th::read_file("settings.json/inside"), "kept");
    EXPECT_EQ(entries(), std::vector<std::string>{"settings.json"}) << "no temporary file left behind";
}

// Runs body in a child process (so limits and identity changes stay there)
// and returns its exit status.
int in_child(const std::function<int()>& body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(SettingsFile, FullDiskLeavesTheOldFileIntact)
{
    th::write_file("settings.json", kAllSetFile);
    int status = in_child([] {
        // The next write larger than 16 bytes fails as on a full disk.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{16, 16};
        setrlimit(RLIMIT_FSIZE, &limit);
        settings_to_globals(Settings{1, 2, 3, 4, 5, 6, 0});
        save_settings();
        return 0;
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(th::read_file("settings.json"), kAllSetFile);
    EXPECT_EQ(entries(), std::vector<std::string>{"settings.json"}) << "no temporary file left behind";
}

TEST_F(SettingsFile, ReadOnlyFolderLeavesTheOldFileIntact)
{
    th::write_file("settings.json", kAllSetFile);
    chmod("settings.json", 0666);
    ASSERT_EQ(chmod(sandbox.dir.path().c_str(), 0555), 0);
    int status = in_child([] {
        // Root writes anywhere: run the save as an ordinary user.
        if (geteuid() == 0 && setuid(65534) != 0)
            return 3;
        FILE* probe = fopen("probe", "w");
        if (probe) {
            fclose(probe);
            return 2;
        }
        settings_to_globals(Settings{1, 2, 3, 4, 5, 6, 0});
        save_settings();
        return 0;
    });
    chmod(sandbox.dir.path().c_str(), 0700);
    if (status == 3)
        GTEST_SKIP() << "cannot drop to an ordinary user here";
    ASSERT_EQ(status, 0) << "the folder was writable after all";
    EXPECT_EQ(th::read_file("settings.json"), kAllSetFile);
}

// ---- the autostart entry ----

class Autostart : public SettingsFile {
protected:
    std::string entry() const { return sandbox.dir.file(".config/autostart/telvane.desktop"); }
};

TEST_F(Autostart, CheckingWritesElevenLinesCreatingTheFoldersAndUncheckingRemoves)
{
    // Not even .config exists: the folder is made with its parents.
    set_autostart(1);
    EXPECT_EQ(th::read_file(entry()), "[Desktop Entry]\n"
                                      "Type=Application\n"
                                      "Name=Telvane\n"
                                      "Name[tr]=Telvane\n"
                                      "Comment=Bluetooth Phone\n"
                                      "Comment[tr]=Bluetooth Telefon\n"
                                      "Exec=/usr/bin/telvane\n"
                                      "Icon=call-start\n"
                                      "Terminal=false\n"
                                      "Categories=Network;Telephony;\n"
                                      "X-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(autostart_enabled, 1);
    EXPECT_TRUE(autostart_entry_exists());
    EXPECT_EQ(th::read_file("settings.json"), format_settings(with(&Settings::autostart, 1)));

    // Checking again over an existing entry rewrites it whole.
    th::write_file(entry(), "stale");
    set_autostart(1);
    EXPECT_EQ(th::read_file(entry()), kAutostartEntry);

    set_autostart(0);
    EXPECT_FALSE(th::file_exists(entry()));
    EXPECT_FALSE(autostart_entry_exists());
    EXPECT_EQ(autostart_enabled, 0);
    EXPECT_EQ(th::read_file("settings.json"), format_settings(kDefaults));

    // Unchecking with no entry is fine and still records it.
    autostart_enabled = 1;
    set_autostart(0);
    EXPECT_EQ(autostart_enabled, 0);
}

TEST_F(Autostart, HomeUnsetOrEmptyDoesNothing)
{
    for (const char* home : {static_cast<const char*>(nullptr), ""}) {
        SCOPED_TRACE(home ? "empty HOME" : "HOME unset");
        if (home)
            setenv("HOME", home, 1);
        else
            unsetenv("HOME");
        autostart_enabled = 0;
        set_autostart(1);
        EXPECT_EQ(autostart_enabled, 0);
        autostart_enabled = 1;
        set_autostart(0);
        EXPECT_EQ(autostart_enabled, 1);
        EXPECT_FALSE(autostart_entry_exists());
        EXPECT_TRUE(entries().empty()) << "nothing written, not even settings.json";
    }
}

TEST_F(Autostart, FolderThatCannotBeMadeLeavesTheFlagAndSavesSettings)
{
    th::write_file(sandbox.dir.file(".config"), "a file where the folder should be");
    testing::internal::CaptureStdout();
    set_autostart(1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("] ⚠️ Autostart entry not written: "), std::string::npos) << out;
    EXPECT_EQ(autostart_enabled, 0);
    EXPECT_EQ(th::read_file("settings.json"), format_settings(kDefaults));
}

TEST_F(Autostart, OverlongHomeWritesNothingAtACutPath)
{
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
    EXPECT_EQ(th::read_file("settings.json"), format_settings(kDefaults));
}

}  // namespace
