// What the real binary keeps on disk: contacts and call history from the
// simulated obexd for a phone connected at start, and its settings.
#include "calls_x11.h"
#include "harness.h"
#include "phonedata_obexd.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <set>

namespace {

const char* kPhone = "11:22:33:44:55:66";

// A file's kind and, for a regular one, its bytes ("" when missing): a pipe
// is never opened, so it cannot hang the test.
std::string file_state(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) ? "" : std::to_string(st.st_mode & S_IFMT) + ":" + (S_ISREG(st.st_mode) ? th::read_file(path) : "");
}

// n random bytes, none of them one of `never`.
std::string random_bytes(size_t n, const std::string& never = "")
{
    std::mt19937 gen(19);
    std::string out;
    while (out.size() < n)
        if (char c = char(gen() & 0xff); never.find(c) == std::string::npos)
            out += c;
    return out;
}

struct PhoneWorld {
    th::TestWorld world;
    th::FakeObexd obexd{world.session_bus, world.dir.path()};

    PhoneWorld()
    {
        world.bluez->add_device(kPhone, "Test Phone");
        world.bluez->pair_device(kPhone);
        world.bluez->connect_device(kPhone);
    }
    std::string file(const std::string& name) const { return th::read_file(world.data_file(name)); }
    std::string serve(const std::string& extra = "", const std::string& pb = th::phonedata_fixture("android_pb.vcf")) const
    {
        return "{\"files\": {\"pb\": \"" + pb + "\", \"ich\": \"" +
               th::phonedata_fixture("ich.vcf") + "\", \"och\": \"" + th::phonedata_fixture("och.vcf") +
               "\", \"mch\": \"" + th::phonedata_fixture("mch.vcf") + "\"}" + extra + "}";
    }
};

// Each way the phone or obexd can fail, down to no obexd on the bus (the
// packaged one is started), leaves the old caches as they were, with the
// lines that tell the user about it.
TEST(PhoneData, EveryFailureOfThePhoneOrObexdLeavesTheOldCachesIntact)
{
    // The line besides "⚠️ Recent calls not retrieved"; sessions that were never created cannot be removed.
    const struct { const char *behaviour, *line; int sessions_left_open; } rows[] = {
                {nullptr, "ℹ️ Starting obexd service…", 0},
                {", \"create_session_error\": true", "⚠️ PBAP session failed", 2},
                {", \"pbap_never\": true", "⚠️ PhonebookAccess1 not ready", 0},
                {", \"pullall_error\": [\"pb\", \"ich\", \"och\", \"mch\"]", "", 0},
                {", \"no_filename\": [\"pb\", \"ich\", \"och\", \"mch\"]", "", 0}};
    // Caches that hold no usable row: the preload runs, and its failure lets
    // the history sync start; neither file may change.
    const std::string contacts = "name,number\n\"no separator\n";
    const std::string recents = "type,name,number,time\n\"three\",\"fields\",\"only\"\n";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour ? row.behaviour : "no obexd on the bus");
        PhoneWorld w;
        row.behaviour ? w.obexd.configure(w.serve(row.behaviour)) : w.obexd.kill();
        th::write_file(w.world.data_file("contacts.csv"), contacts);
        th::write_file(w.world.data_file("recents.csv"), recents);
        th::Telvane app(w.world);
        ASSERT_TRUE(app.wait_for_output("⚠️ Recent calls not retrieved", 40000)) << app.output();
        EXPECT_NE(app.find(row.line), std::string::npos) << app.output();
        EXPECT_EQ(app.find("✓ Phonebook loaded"), std::string::npos) << app.output();
        EXPECT_EQ(app.find("✓ Recent calls updated"), std::string::npos) << app.output();
        EXPECT_EQ(w.file("contacts.csv"), contacts);
        EXPECT_EQ(w.file("recents.csv"), recents);
        EXPECT_EQ(w.obexd.count("CreateSession"), w.obexd.count("RemoveSession") + row.sessions_left_open);
        if (row.behaviour)
            continue;
        // The packaged daemon answers but reaches no phone without Bluetooth (or,
        // where it cannot even start its server, never answers).
        std::string out = app.output();
        const size_t started = out.find("ℹ️ obexd started, establishing connection…");
        EXPECT_NE(started, std::string::npos) << out;
        EXPECT_LT(out.find(row.line), started) << out;
        EXPECT_EQ(out.find("✓ Using existing obexd service"), std::string::npos) << out;
        bool answered = out.find("✓ obexd connection established") != std::string::npos;
        EXPECT_NE(answered, out.find("⚠️ Failed to establish obexd connection (timeout)") != std::string::npos) << out;
        EXPECT_NE(out.find(answered ? "⚠️ PBAP session failed" : "⚠️ obexd not found"), std::string::npos) << out;
    }
}

// A cache that cannot be read or written never costs the download, and is
// left byte for byte as it was (no temporary file beside it).
TEST(PhoneData, CachesThatCannotBeReadOrWrittenLetTheDownloadSucceedAndStayAsTheyWere)
{
    // In place: 'd' folders, 'p' pipes, 'n' bytes that yield no row; not_read: why the start read nothing;
    // mount_setup: run in the world's folder, ends in the data folder; reason: what the "not saved" lines name.
    const struct { char in_place; const char *not_read, *mount_setup, *reason; } rows[] = {
        {'d', "a folder is in its place", "cd c/telvane", "Is a directory"},
        // A pipe must never hang the start; this one sits where nothing can be saved.
        {'p', "not a regular file", "mount --bind c/telvane c/telvane\nmount -o remount,bind,ro c/telvane\ncd c/telvane",
         "Read-only file system"},
        {'n', nullptr, "mkdir t\ncp c/telvane/contacts.csv c/telvane/recents.csv t/\n"
                       "mount -t tmpfs -o size=64k tmpfs c/telvane\ncp t/contacts.csv t/recents.csv c/telvane/\n"
                       "cd c/telvane\ndd if=/dev/zero of=filler bs=4k 2>/dev/null || true", "No space left on device"},
    };
    // No row can come out of bytes without a quote or a comma, so the download starts at once.
    const std::string noise = random_bytes(3000, "\",");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        PhoneWorld w;
        w.obexd.configure(w.serve());
        ASSERT_EQ(g_mkdir_with_parents(w.world.dir.file("c/telvane").c_str(), 0755), 0);
        std::map<std::string, std::string> before;
        for (const char* name : {"contacts.csv", "recents.csv"}) {
            std::string path = w.world.dir.file(std::string("c/telvane/") + name);
            if (row.in_place == 'd')
                ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
            else if (row.in_place == 'p')
                ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
            else
                th::write_file(path, noise);
            before[name] = file_state(path);
        }
        // The data folder is where the mounts are.
        th::Telvane app(w.world, {}, {{"XDG_DATA_HOME", w.world.dir.file("c")}}, "telvane.out", row.mount_setup);
        ASSERT_TRUE(app.wait_for_output("✓ Phonebook loaded: 4 contacts", 30000)) << app.output();
        ASSERT_TRUE(app.wait_for_output("✓ Recent calls updated")) << app.output();
        EXPECT_TRUE(th::main_loop_answers(w.world.session_bus)) << app.output();
        std::string out = app.output();
        // Seen as the program sees them, inside its own mounts.
        std::string cwd = "/proc/" + std::to_string(app.process().pid()) + "/cwd/";
        for (const auto& [name, was] : before) {
            SCOPED_TRACE(name);
            const std::string path = w.world.dir.file("c/telvane/" + name);
            size_t saved = out.find("⚠️ " + path + " not saved: ");
            ASSERT_NE(saved, std::string::npos) << out;
            EXPECT_NE(out.substr(saved, out.find('\n', saved) - saved).find(row.reason), std::string::npos) << out;
            std::string not_read = "⚠️ " + path + " not read: ";
            EXPECT_EQ(out.find(not_read), row.not_read ? out.find(not_read + row.not_read) : std::string::npos) << out;
            EXPECT_EQ(file_state(cwd + name), was);
        }
        for (const auto& e : std::filesystem::directory_iterator(cwd))
            EXPECT_TRUE((std::set<std::string>{"contacts.csv", "recents.csv", "filler"}.count(e.path().filename()))) << e.path();
    }
}

TEST(PhoneData, ObexdKilledMidTransferLosesNothingThenASlowButMovingDownloadIsCachedAndTheNextStartLoadsIt)
{
    PhoneWorld w;
    const std::string big = w.world.dir.file("big.vcf");
    th::write_file(big, th::generated_vcards(300));
    w.obexd.configure(w.serve(", \"slow\": {\"pb\": [60000, 120]}", big));
    // A cache that holds no row: the preload runs and must leave it alone.
    const std::string contacts = "name,number\n\"no separator\n";
    th::write_file(w.world.data_file("contacts.csv"), contacts);
    th::Telvane app(w.world);
    ASSERT_TRUE(th::wait_until([&] { return w.obexd.count("PullAll") >= 1; }, 30000)) << app.output();
    EXPECT_NE(app.find("✓ Using existing obexd service"), std::string::npos) << app.output();
    w.obexd.kill();
    // With obexd gone the download fails, and so does the call-history pull its completion starts.
    ASSERT_TRUE(app.wait_for_output("⚠️ Recent calls not retrieved", 30000)) << app.output();
    EXPECT_TRUE(th::main_loop_answers(w.world.session_bus)) << app.output();
    EXPECT_EQ(app.output().find("✓ Phonebook loaded"), std::string::npos) << app.output();
    EXPECT_EQ(w.file("contacts.csv"), contacts);
    EXPECT_FALSE(th::file_exists(w.world.data_file("recents.csv")));
    // Back: a download longer than any fixed budget, but moving every half second, is waited for.
    th::write_file(big, th::generated_vcards(900));
    w.obexd.configure(w.serve(", \"slow\": {\"pb\": [45000, 90]}", big));
    w.obexd.start();
    w.world.bluez->disconnect_device(kPhone);
    ASSERT_TRUE(app.wait_for_output("📴 Connection lost", 15000)) << app.output();
    w.world.bluez->connect_device(kPhone);
    ASSERT_TRUE(app.wait_for_output("✓ Phonebook loaded: 900 contacts", 120000)) << app.output();
    ASSERT_TRUE(app.wait_for_output("✓ Recent calls updated", 30000)) << app.output();
    EXPECT_TRUE(th::main_loop_answers(w.world.session_bus)) << app.output();
    std::string loaded = w.file("contacts.csv");
    EXPECT_EQ(std::count(loaded.begin(), loaded.end(), '\n'), 901);
    EXPECT_NE(loaded.find("\"Contact 0900\",\"+49170000900\"\n"), std::string::npos);
    EXPECT_EQ(w.file("recents.csv"),
              "type,name,number,time\n"
              "\"📤 Outgoing\",\"John Smith\",\"+49 170 1234567\",\"01.02.2024 12:00\"\n"
              "\"📥 Incoming\",\"John Smith\",\"+49 170 1234567\",\"31.01.2024 10:15\"\n"
              "\"❌ Missed\",\"Joanna Brown\",\"+44 20 7946 0958\",\"31.01.2024 09:45\"\n"
              "\"📥 Incoming\",\"-\",\"+49 30 999\",\"29.01.2024 08:00\"\n"
              "\"❌ Missed\",\"-\",\"+1 555 0100\",\"2024-01-31\"\n"
              "\"❌ Missed\",\"No Date\",\"+1 555 0111\",\"-\"\n");
    // The history pulls carry the key obexd reads, as a 16-bit unsigned 33.
    auto calls = w.obexd.calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& c) {
        return c.find("\"PullAll\"") != c.npos && c.find("\"MaxCount\": \"q:33\"") != c.npos &&
               c.find("\"MaxListCount\": \"q:33\"") != c.npos;
    }), 3);

    // The next start reads both caches before it even reaches the bus, and does not download a phonebook it has.
    int sessions = w.obexd.count("CreateSession");
    app.terminate();
    th::Telvane again(w.world, {}, {}, "again.out");
    ASSERT_TRUE(again.wait_for_output("📱 Telvane - Ready")) << again.output();
    std::string out = again.output();
    EXPECT_LT(out.find("📂 Loaded 900 contacts from CSV"), out.find("✓ D-Bus connection established")) << out;
    EXPECT_NE(out.find("📂 Loaded 6 call records from CSV"), std::string::npos) << out;
    EXPECT_EQ(w.obexd.count("CreateSession"), sessions);
    EXPECT_EQ(w.file("contacts.csv"), loaded);
}

// The program must start beside whatever lies at settings.json (never hang
// on a pipe, never crash on junk), write nothing while starting, and never
// damage the file when a save on closing fails.
TEST(SettingsAtStartup, AnythingInPlaceOfTheFileStillStartsAndIsLeftAlone)
{
    const char* kNotRead = " not read, default column widths used: ";
    // The kind and bytes of every file the program could write at start or close.
    auto files_state = [](const th::TestWorld& w) {
        return file_state(w.config_file("settings.json")) + "|" + file_state(w.dir.file("settings.json")) + "|" +
               file_state(w.dir.file(".config/autostart/telvane.desktop"));
    };
    const std::string noise = random_bytes(64 << 10);
    enum Close { KEEP_OPEN, SAVE_FAILS, SAVES };
    // not_read: why, when the start says it read nothing.
    const struct { const char* name; std::function<void(const std::string& dir)> make; const char* not_read; Close close;
                   th::Env env = {}; const char* mount_setup = ""; } rows[] = {
        {"fifo", [](const std::string& d) { mkfifo((d + "/.config/telvane/settings.json").c_str(), 0644); },
         "not a regular file", KEEP_OPEN},
        {"folder", [](const std::string& d) { mkdir((d + "/.config/telvane/settings.json").c_str(), 0755); },
         "a folder is in its place", SAVE_FAILS},
        {"random bytes", [&](const std::string& d) { th::write_file(d + "/.config/telvane/settings.json", noise); },
         nullptr, KEEP_OPEN},
        // Not ours, so not moved: the working folder is not ours to tidy.
        {"another program's settings.json in the working folder",
         [](const std::string& d) { th::write_file(d + "/settings.json", "{\"theme\": 1}\n"); }, nullptr, SAVES},
        {"autostart entry of the user's own", [](const std::string& d) { g_mkdir_with_parents((d + "/.config/autostart").c_str(), 0755);
             th::write_file(d + "/.config/autostart/telvane.desktop", "user's own"); }, nullptr, KEEP_OPEN},
        {"HOME unset", [](const std::string&) {}, nullptr, SAVES, {{"HOME", th::kUnset}}},
        {"read-only folder", [](const std::string& d) {
             th::write_file(d + "/.config/telvane/settings.json", "{\n  \"col_recent_type\": 91,\n  \"autostart\": false\n}\n"); },
         nullptr, SAVE_FAILS, {}, "mount --bind .config/telvane .config/telvane\nmount -o remount,bind,ro .config/telvane"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // No system bus: the quickest world in which the window comes up.
        th::TestWorld world(th::TestWorld::Options{false, false, false});
        g_mkdir_with_parents(world.dir.file(".config/telvane").c_str(), 0700);
        row.make(world.dir.path());
        const std::string before = files_state(world);
        th::Telvane app(world, {}, row.env, "telvane.out", row.mount_setup);
        ASSERT_TRUE(app.wait_for_output("📱 Telvane - Ready")) << app.output();
        EXPECT_TRUE(th::main_loop_answers(world.session_bus)) << app.output();
        EXPECT_NE(app.find("State: IDLE -> ERROR"), std::string::npos) << app.output();
        EXPECT_EQ(app.find(kNotRead), row.not_read ? app.find(kNotRead + std::string(row.not_read)) : std::string::npos) << app.output();
        EXPECT_EQ(files_state(world), before);
        if (row.close == KEEP_OPEN)
            continue;
        ASSERT_TRUE(th::close_all_windows(world.x.display()));
        EXPECT_EQ(app.wait_exit(20000), 0) << app.output();
        if (row.close == SAVE_FAILS) {
            EXPECT_NE(app.find("⚠️ Settings not saved: "), std::string::npos) << app.output();
            EXPECT_EQ(files_state(world), before);
        } else {
            EXPECT_NE(th::read_file(world.config_file("settings.json")).find("\"col_recent_type\": 80,"), std::string::npos);
            EXPECT_FALSE(th::file_exists(world.dir.file(".config/autostart/telvane.desktop")));
        }
    }
}

}  // namespace
