// Contacts and call history through the real binary, against the simulated
// obexd on the world's session bus and a phone that is connected at start.
#include "harness.h"
#include "phonedata_obexd.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <random>

namespace {

const char* kPhone = "11:22:33:44:55:66";

struct PhoneWorld {
    th::TestWorld world;
    th::FakeObexd obexd{world.session_bus, world.dir.path()};

    PhoneWorld()
    {
        world.bluez->add_device(kPhone, "Test Phone");
        world.bluez->pair_device(kPhone);
        world.bluez->connect_device(kPhone);
    }
    std::string file(const std::string& name) const { return th::read_file(world.dir.file(name)); }
    std::string serve(const std::string& extra = "") const
    {
        return "{\"files\": {\"pb\": \"" + th::phonedata_fixture("android_pb.vcf") + "\", \"ich\": \"" +
               th::phonedata_fixture("ich.vcf") + "\", \"och\": \"" + th::phonedata_fixture("och.vcf") +
               "\", \"mch\": \"" + th::phonedata_fixture("mch.vcf") + "\"}" + extra + "}";
    }
};

TEST(PhoneData, ConnectedPhoneDownloadsContactsThenCallHistoryCachesBothAndTheNextStartLoadsThem)
{
    PhoneWorld w;
    w.obexd.configure(w.serve());
    th::Telvane app(w.world);
    ASSERT_TRUE(app.wait_for_output("✓ Phonebook loaded: 4 contacts")) << app.output();
    ASSERT_TRUE(app.wait_for_output("✓ Recent calls updated")) << app.output();
    EXPECT_NE(app.find("✓ Using existing obexd service"), std::string::npos) << app.output();
    EXPECT_NE(app.find("Phonebook file: " + w.world.dir.path() + "/transfer-0-pb.vcf"), std::string::npos)
        << app.output();
    EXPECT_EQ(w.file("contacts.csv"),
              "name,number\n"
              "\"John Smith\",\"+49 170 1234567\"\n"
              "\"José García\",\"+34 600 111 222\"\n"
              "\"山田太郎のとても長い名前\",\"090-1234-5678\"\n"
              "\"Joanna Brown\",\"+44 20 7946 0958\"\n");
    EXPECT_EQ(w.file("recents.csv"),
              "type,name,number,time\n"
              "\"📤 Outgoing\",\"John Smith\",\"+49 170 1234567\",\"01.02.2024 12:00\"\n"
              "\"📥 Incoming\",\"John Smith\",\"+49 170 1234567\",\"31.01.2024 10:15\"\n"
              "\"❌ Missed\",\"Joanna Brown\",\"+44 20 7946 0958\",\"31.01.2024 09:45\"\n"
              "\"📥 Incoming\",\"-\",\"+49 30 999\",\"29.01.2024 08:00\"\n"
              "\"❌ Missed\",\"-\",\"+1 555 0100\",\"2024-01-31\"\n"
              "\"❌ Missed\",\"No Date\",\"+1 555 0111\",\"-\"\n");
    // Both sessions were closed by the connection that opened them.
    EXPECT_EQ(w.obexd.count("CreateSession"), 2);
    EXPECT_EQ(w.obexd.count("RemoveSession"), 2);
    // The history pulls carry the key obexd reads, as a 16-bit unsigned 33.
    int history_pulls = 0;
    for (const auto& call : w.obexd.calls()) {
        if (call.find("\"PullAll\"") == std::string::npos || call.find("MaxListCount") == std::string::npos)
            continue;
        ++history_pulls;
        EXPECT_NE(call.find("\"MaxCount\": \"q:33\""), std::string::npos) << call;
        EXPECT_NE(call.find("\"MaxListCount\": \"q:33\""), std::string::npos) << call;
    }
    EXPECT_EQ(history_pulls, 3);

    // The next start reads both caches before it even reaches the bus, and
    // does not download a phonebook it has.
    std::string contacts = w.file("contacts.csv");
    app.terminate();
    th::Telvane again(w.world, {}, {}, "again.out");
    ASSERT_TRUE(again.wait_for_output("ℹ️ Press 'Start' button, let phone connect")) << again.output();
    std::string out = again.output();
    EXPECT_LT(out.find("📂 Loaded 4 contacts from CSV"), out.find("✓ D-Bus connection established")) << out;
    EXPECT_NE(out.find("📂 Loaded 6 call records from CSV"), std::string::npos) << out;
    EXPECT_EQ(w.obexd.count("CreateSession"), 2);
    EXPECT_EQ(w.file("contacts.csv"), contacts);
}

// Each way the phone or obexd can fail leaves the old caches as they were,
// with the lines that tell the user about it.
struct FailureRow {
    const char* name;
    const char* behaviour;
    const char* expected_line;   // besides "⚠️ Recent calls not retrieved"
    int sessions_left_open;      // sessions that were never created cannot be removed
};

void PrintTo(const FailureRow& row, std::ostream* os) { *os << row.name; }

class PhoneDataFailure : public testing::TestWithParam<FailureRow> {};

TEST_P(PhoneDataFailure, LeavesTheOldCachesIntact)
{
    const FailureRow& row = GetParam();
    PhoneWorld w;
    w.obexd.configure(w.serve(row.behaviour));
    // Caches that hold no usable row: the preload runs, and its failure lets
    // the history sync start; neither file may change.
    const std::string contacts = "name,number\n\"no separator\n";
    const std::string recents = "type,name,number,time\n\"three\",\"fields\",\"only\"\n";
    th::write_file(w.world.dir.file("contacts.csv"), contacts);
    th::write_file(w.world.dir.file("recents.csv"), recents);
    th::Telvane app(w.world);
    ASSERT_TRUE(app.wait_for_output("⚠️ Recent calls not retrieved", 20000)) << app.output();
    std::string out = app.output();
    if (row.expected_line) {
        EXPECT_NE(out.find(row.expected_line), std::string::npos) << out;
    }
    EXPECT_EQ(out.find("✓ Phonebook loaded"), std::string::npos) << out;
    EXPECT_EQ(out.find("✓ Recent calls updated"), std::string::npos) << out;
    EXPECT_EQ(w.file("contacts.csv"), contacts);
    EXPECT_EQ(w.file("recents.csv"), recents);
    EXPECT_EQ(w.obexd.count("CreateSession"), w.obexd.count("RemoveSession") + row.sessions_left_open);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, PhoneDataFailure,
    testing::Values(FailureRow{"CreateSessionRefused", ", \"create_session_error\": true", "⚠️ PBAP session failed", 2},
                    FailureRow{"PhonebookAccessNeverOffered", ", \"pbap_never\": true", "⚠️ PhonebookAccess1 not ready", 0},
                    FailureRow{"TransfersEndInError", ", \"transfer_error\": [\"pb\", \"ich\", \"och\", \"mch\"]", nullptr, 0},
                    FailureRow{"PullsRefused", ", \"pullall_error\": [\"pb\", \"ich\", \"och\", \"mch\"]", nullptr, 0},
                    FailureRow{"NoFileNames", ", \"no_filename\": [\"pb\", \"ich\", \"och\", \"mch\"]", nullptr, 0}),
    [](const testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

// The caches sit where they cannot be read or written. The download still
// succeeds, the window keeps answering, the log says what failed, and a
// cache on disk stays byte for byte as it was (no temporary file left).
enum class InPlace { FOLDERS, FIFOS, NOISE };   // noise: bytes that yield no row

struct CacheFaultRow {
    const char* name;
    InPlace in_place;
    const char* mount_setup;     // run in the world's folder, ends in the cache folder
    const char* reason;          // what the "not saved" lines name
};

void PrintTo(const CacheFaultRow& row, std::ostream* os) { *os << row.name; }

class PhoneDataCacheFault : public testing::TestWithParam<CacheFaultRow> {};

TEST_P(PhoneDataCacheFault, DownloadSucceedsAndTheFilesStayAsTheyWere)
{
    const CacheFaultRow& row = GetParam();
    PhoneWorld w;
    w.obexd.configure(w.serve());
    ASSERT_EQ(mkdir(w.world.dir.file("c").c_str(), 0755), 0);
    // Random bytes without a quote or a comma: no row can come out of them,
    // so the download starts at once.
    std::mt19937 gen(19);
    std::string noise(3000, '\0');
    for (char& c : noise) {
        do
            c = char(gen() & 0xff);
        while (c == '"' || c == ',');
    }
    for (const char* name : {"c/contacts.csv", "c/recents.csv"}) {
        if (row.in_place == InPlace::FOLDERS)
            ASSERT_EQ(mkdir(w.world.dir.file(name).c_str(), 0755), 0);
        else if (row.in_place == InPlace::FIFOS)
            ASSERT_EQ(mkfifo(w.world.dir.file(name).c_str(), 0644), 0);
        else
            th::write_file(w.world.dir.file(name), noise);
    }
    th::Telvane app(w.world, {}, {}, "telvane.out", row.mount_setup);
    ASSERT_TRUE(app.wait_for_output("✓ Phonebook loaded: 4 contacts", 30000)) << app.output();
    ASSERT_TRUE(app.wait_for_output("✓ Recent calls updated")) << app.output();
    EXPECT_TRUE(th::main_loop_answers(w.world.session_bus)) << app.output();
    std::string out = app.output();
    for (const char* name : {"contacts.csv", "recents.csv"}) {
        SCOPED_TRACE(name);
        size_t saved = out.find(std::string("⚠️ ") + name + " not saved: ");
        ASSERT_NE(saved, std::string::npos) << out;
        EXPECT_NE(out.substr(saved, out.find('\n', saved) - saved).find(row.reason), std::string::npos) << out;
        std::string not_read = std::string("⚠️ ") + name + " not read: ";
        const char* why = row.in_place == InPlace::FOLDERS ? "a folder is in its place"
                          : row.in_place == InPlace::FIFOS ? "not a regular file"
                                                           : nullptr;
        EXPECT_EQ(out.find(not_read), why ? out.find(not_read + why) : std::string::npos) << out;
        // Seen as the program sees them, inside its own mounts.
        std::string seen = "/proc/" + std::to_string(app.process().pid()) + "/cwd/" + name;
        struct stat st{};
        ASSERT_EQ(stat(seen.c_str(), &st), 0);
        if (row.in_place == InPlace::FOLDERS)
            EXPECT_TRUE(S_ISDIR(st.st_mode));
        else if (row.in_place == InPlace::FIFOS)
            EXPECT_TRUE(S_ISFIFO(st.st_mode));
        else
            EXPECT_EQ(th::read_file(seen), noise);
    }
    std::string listing = "/proc/" + std::to_string(app.process().pid()) + "/cwd";
    GDir* dir = g_dir_open(listing.c_str(), 0, nullptr);
    ASSERT_NE(dir, nullptr);
    while (const char* entry = g_dir_read_name(dir)) {
        std::string e = entry;
        EXPECT_TRUE(e == "contacts.csv" || e == "recents.csv" || e == "filler") << e;
    }
    g_dir_close(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, PhoneDataCacheFault,
    testing::Values(CacheFaultRow{"FoldersInPlace", InPlace::FOLDERS, "cd c", "Is a directory"},
                    // A pipe must never hang the start; this one sits where nothing can be saved.
                    CacheFaultRow{"PipesInAReadOnlyFolder", InPlace::FIFOS,
                                  "mount --bind c c\nmount -o remount,bind,ro c\ncd c", "Read-only file system"},
                    CacheFaultRow{"ReadOnlyFolder", InPlace::NOISE, "mount --bind c c\nmount -o remount,bind,ro c\ncd c",
                                  "Read-only file system"},
                    CacheFaultRow{"FullDisk", InPlace::NOISE,
                                  "mkdir t\nmount -t tmpfs -o size=64k tmpfs t\ncp c/contacts.csv c/recents.csv t/\n"
                                  "cd t\ndd if=/dev/zero of=filler bs=4k 2>/dev/null || true",
                                  "No space left on device"}),
    [](const testing::TestParamInfo<CacheFaultRow>& info) { return std::string(info.param.name); });

TEST(PhoneData, ObexdKilledMidTransferLosesNothingAndASlowButMovingDownloadWorksOnceItIsBack)
{
    PhoneWorld w;
    th::write_file(w.world.dir.file("big.vcf"), th::generated_vcards(300));
    w.obexd.configure("{\"files\": {\"pb\": \"" + w.world.dir.file("big.vcf") + "\", \"ich\": \"" +
                      th::phonedata_fixture("ich.vcf") + "\"}, \"slow\": {\"pb\": [60000, 120]}}");
    // A cache that holds no row: the preload runs and must leave it alone.
    const std::string contacts = "name,number\n\"no separator\n";
    th::write_file(w.world.dir.file("contacts.csv"), contacts);
    th::Telvane app(w.world);
    ASSERT_TRUE(th::wait_until([&] { return w.obexd.count("PullAll") >= 1; }, 30000)) << app.output();
    w.obexd.kill();
    // With obexd gone the download fails, and so does the call-history pull
    // its completion starts.
    ASSERT_TRUE(app.wait_for_output("⚠️ Recent calls not retrieved", 30000)) << app.output();
    EXPECT_TRUE(th::main_loop_answers(w.world.session_bus)) << app.output();
    EXPECT_EQ(app.output().find("✓ Phonebook loaded"), std::string::npos) << app.output();
    EXPECT_EQ(w.file("contacts.csv"), contacts);
    EXPECT_FALSE(th::file_exists(w.world.dir.file("recents.csv")));
    // Back, and the phone connects again: the next download works, though
    // it takes longer than any fixed budget a transfer ever had, with a step
    // every half second: the transfer is alive, so it is waited for.
    th::write_file(w.world.dir.file("big.vcf"), th::generated_vcards(900));
    w.obexd.configure("{\"files\": {\"pb\": \"" + w.world.dir.file("big.vcf") + "\", \"ich\": \"" +
                      th::phonedata_fixture("ich.vcf") + "\"}, \"slow\": {\"pb\": [45000, 90]}}");
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
}

TEST(PhoneData, NoObexdOnTheSessionBusStartsThePackagedOne)
{
    // A session bus without any obexd: the program starts the packaged
    // daemon, which answers but can reach no phone on a machine without
    // Bluetooth (or, where it cannot even start its server, never answers).
    th::TestWorld world;
    world.bluez->add_device(kPhone, "Test Phone");
    world.bluez->pair_device(kPhone);
    world.bluez->connect_device(kPhone);
    th::Telvane app(world);
    ASSERT_TRUE(app.wait_for_output("⚠️ Recent calls not retrieved", 40000)) << app.output();
    std::string out = app.output();
    size_t start = out.find("ℹ️ Starting obexd service...");
    ASSERT_NE(start, std::string::npos) << out;
    EXPECT_LT(start, out.find("ℹ️ Using existing session bus"));
    EXPECT_LT(out.find("ℹ️ Using existing session bus"), out.find("ℹ️ obexd started, establishing connection..."));
    EXPECT_EQ(out.find("✓ Using existing obexd service"), std::string::npos) << out;
    bool answered = out.find("✓ obexd connection established") != std::string::npos;
    bool silent = out.find("⚠️ Failed to establish obexd connection (timeout)") != std::string::npos;
    EXPECT_NE(answered, silent) << out;
    EXPECT_NE(out.find(answered ? "⚠️ PBAP session failed" : "⚠️ obexd not found"), std::string::npos) << out;
    EXPECT_EQ(out.find("✓ Phonebook loaded"), std::string::npos) << out;
}

}  // namespace
