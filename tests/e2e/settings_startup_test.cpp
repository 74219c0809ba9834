// The real binary starting beside whatever lies at settings.json: it must
// come up (never hang on a pipe, never crash on junk) and write nothing
// while starting.
#include "harness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

namespace {

const char* kReady = "ℹ️ Press 'Start' button, let phone connect";

struct StartRow {
    const char* name;
    std::function<void(const th::TestWorld&)> make;
    std::function<void(const th::TestWorld&)> check;
};

TEST(SettingsAtStartup, AnythingInPlaceOfTheFileStillStartsAndIsLeftAlone)
{
    std::string junk_text(1 << 20, '\x01');
    junk_text += "\n\xff\xfe\"col_recent_type\": 1e99\n";
    StartRow rows[] = {
        {"fifo", [](const th::TestWorld& w) { ASSERT_EQ(mkfifo(w.dir.file("settings.json").c_str(), 0644), 0); },
         [](const th::TestWorld& w) {
             struct stat st{};
             ASSERT_EQ(stat(w.dir.file("settings.json").c_str(), &st), 0);
             EXPECT_TRUE(S_ISFIFO(st.st_mode));
         }},
        {"folder", [](const th::TestWorld& w) { ASSERT_EQ(mkdir(w.dir.file("settings.json").c_str(), 0755), 0); },
         [](const th::TestWorld& w) {
             struct stat st{};
             ASSERT_EQ(stat(w.dir.file("settings.json").c_str(), &st), 0);
             EXPECT_TRUE(S_ISDIR(st.st_mode));
         }},
        {"junk", [&](const th::TestWorld& w) { th::write_file(w.dir.file("settings.json"), junk_text); },
         [&](const th::TestWorld& w) { EXPECT_EQ(th::read_file(w.dir.file("settings.json")), junk_text); }},
        {"autostart_entry_present",
         [](const th::TestWorld& w) {
             ASSERT_EQ(mkdir(w.dir.file(".config/autostart").c_str(), 0755), 0);
             th::write_file(w.dir.file(".config/autostart/telvane.desktop"), "user's own");
         },
         [](const th::TestWorld& w) {
             EXPECT_EQ(th::read_file(w.dir.file(".config/autostart/telvane.desktop")), "user's own");
             EXPECT_FALSE(th::file_exists(w.dir.file("settings.json")));
         }},
    };
    for (const StartRow& row : rows) {
        SCOPED_TRACE(row.name);
        // No system bus: the quickest world in which the window comes up.
        th::TestWorld world(th::TestWorld::Options{false, false, false});
        row.make(world);
        th::Telvane app(world);
        ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
        EXPECT_TRUE(app.process().running());
        row.check(world);
        app.terminate();
    }
}

}  // namespace
