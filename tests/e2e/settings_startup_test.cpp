// The real binary starting beside whatever lies at settings.json: it must
// come up (never hang on a pipe, never crash on junk), say what it could not
// read, write nothing while starting, and never damage the file when a save
// on closing fails.
#include "conn_bluez.h"
#include "harness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <random>
#include <string>

namespace {

const char* kReady = "ℹ️ Press 'Start' button, let phone connect";
const char* kNotRead = "⚠️ settings.json not read, default column widths used: ";
const std::string kOwnSettings = "{\n  \"col_recent_type\": 91,\n  \"autostart\": false\n}\n";

mode_t mode_of(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

struct StartRow {
    const char* name;
    std::function<void(const th::TestWorld&)> make;
    std::function<void(const th::TestWorld&)> check;   // once started, before anything could be saved
    std::string expected_line = "";
    th::Env env = {};
    std::string mount_setup = "";
    // When set, the window is closed (which saves) and this checks the outcome.
    std::function<void(const th::TestWorld&, const std::string& output)> after_close = nullptr;
};

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (char& c : out)
        c = char(gen() & 0xff);
    return out;
}

TEST(SettingsAtStartup, AnythingInPlaceOfTheFileStillStartsAndIsLeftAlone)
{
    std::string junk_text(1 << 20, '\x01');
    junk_text += "\n\xff\xfe\"col_recent_type\": 1e99\n";
    const std::string noise = random_bytes(64 << 10, 19);
    StartRow rows[] = {
        {"fifo", [](const th::TestWorld& w) { ASSERT_EQ(mkfifo(w.dir.file("settings.json").c_str(), 0644), 0); },
         [](const th::TestWorld& w) { EXPECT_TRUE(S_ISFIFO(mode_of(w.dir.file("settings.json")))); },
         std::string(kNotRead) + "not a regular file"},
        {"folder", [](const th::TestWorld& w) { ASSERT_EQ(mkdir(w.dir.file("settings.json").c_str(), 0755), 0); },
         [](const th::TestWorld& w) { EXPECT_TRUE(S_ISDIR(mode_of(w.dir.file("settings.json")))); },
         std::string(kNotRead) + "a folder is in its place",
         {},
         "",
         [](const th::TestWorld& w, const std::string& out) {
             EXPECT_NE(out.find("⚠️ Settings not saved: "), std::string::npos) << out;
             EXPECT_TRUE(S_ISDIR(mode_of(w.dir.file("settings.json"))));
         }},
        {"junk", [&](const th::TestWorld& w) { th::write_file(w.dir.file("settings.json"), junk_text); },
         [&](const th::TestWorld& w) { EXPECT_EQ(th::read_file(w.dir.file("settings.json")), junk_text); }},
        {"random_bytes", [&](const th::TestWorld& w) { th::write_file(w.dir.file("settings.json"), noise); },
         [&](const th::TestWorld& w) { EXPECT_EQ(th::read_file(w.dir.file("settings.json")), noise); }},
        {"autostart_entry_present",
         [](const th::TestWorld& w) {
             ASSERT_EQ(mkdir(w.dir.file(".config/autostart").c_str(), 0755), 0);
             th::write_file(w.dir.file(".config/autostart/telvane.desktop"), "user's own");
         },
         [](const th::TestWorld& w) {
             EXPECT_EQ(th::read_file(w.dir.file(".config/autostart/telvane.desktop")), "user's own");
             EXPECT_FALSE(th::file_exists(w.dir.file("settings.json")));
         }},
        {"home_unset", [](const th::TestWorld&) {}, [](const th::TestWorld&) {}, "", {{"HOME", th::kUnset}}, "",
         [](const th::TestWorld& w, const std::string& out) {
             EXPECT_NE(th::read_file(w.dir.file("settings.json")).find("\"col_recent_type\": 80,"), std::string::npos)
                 << out;
             EXPECT_FALSE(th::file_exists(w.dir.file(".config/autostart/telvane.desktop")));
         }},
        {"read_only_folder",
         [](const th::TestWorld& w) {
             ASSERT_EQ(mkdir(w.dir.file("ro").c_str(), 0755), 0);
             th::write_file(w.dir.file("ro/settings.json"), kOwnSettings);
         },
         [](const th::TestWorld&) {}, "", {}, "mount --bind ro ro\nmount -o remount,bind,ro ro\ncd ro",
         [](const th::TestWorld& w, const std::string& out) {
             EXPECT_NE(out.find("⚠️ Settings not saved: "), std::string::npos) << out;
             EXPECT_EQ(th::read_file(w.dir.file("ro/settings.json")), kOwnSettings);
         }},
    };
    for (const StartRow& row : rows) {
        SCOPED_TRACE(row.name);
        // No system bus: the quickest world in which the window comes up.
        th::TestWorld world(th::TestWorld::Options{false, false, false});
        row.make(world);
        th::Telvane app(world, {}, row.env, "telvane.out", row.mount_setup);
        ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
        EXPECT_TRUE(th::main_loop_answers(world.session_bus)) << app.output();
        EXPECT_TRUE(app.process().running());
        // Without a system bus the window still comes up, showing the error.
        EXPECT_NE(app.find("State: IDLE -> ERROR"), std::string::npos) << app.output();
        EXPECT_LT(app.find("📱 Telvane - Ready"), app.find(kReady));
        if (!row.expected_line.empty()) {
            EXPECT_NE(app.output().find(row.expected_line), std::string::npos) << app.output();
        }
        row.check(world);
        if (!row.after_close) {
            app.terminate();
            continue;
        }
        ASSERT_TRUE(th::close_all_windows(world.x.display()));
        EXPECT_EQ(app.wait_exit(20000), 0) << app.output();
        row.after_close(world, app.output());
    }
}

}  // namespace
