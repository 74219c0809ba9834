// The real binary finding and following a phone through BlueZ on the mock.
#include "calls_x11.h"
#include "harness.h"
#include "world/bluez_behaviour.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

const char* kReady = "📱 Telvane - Ready";
const std::string kPhoneAddr = "A4:50:46:12:34:56";

// Waits until the output from `from` on holds the lines in this order.
testing::AssertionResult in_order(const th::Telvane& app, const std::vector<std::string>& lines, size_t from = 0)
{
    auto found = [&] {
        size_t pos = from;
        for (const auto& line : lines) {
            if ((pos = app.find(line, pos)) == std::string::npos)
                return false;
            pos += line.size();
        }
        return true;
    };
    if (th::wait_until(found, 15000))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << testing::PrintToString(lines) << " not in order after " << from << "\n" << app.output();
}

void remove_device(th::MockBluez& bluez, const std::string& device, const char* adapter = "hci0")
{
    g_variant_unref(bluez.call(std::string("/org/bluez/") + adapter, "org.bluez.Adapter1", "RemoveDevice",
                               g_variant_new("(o)", device.c_str())));
}

// The sound server's command-line tool, standing in: it records what it is
// asked, then runs body. Returns the PATH that finds it first.
std::string fake_pactl(const th::TestWorld& world, const std::string& body)
{
    std::string bin = world.dir.file("bin");
    g_mkdir_with_parents(bin.c_str(), 0755);
    th::write_file(bin + "/pactl", "#!/bin/sh\necho \"$*\" >> " + world.dir.file("pactl.calls") + "\n" + body);
    chmod((bin + "/pactl").c_str(), 0755);
    return bin + ":" + g_getenv("PATH");
}

// A connected phone found at start is the phone, before a paired one, whatever
// the objects' order (a paired one alone, or none, the other tests start with).
TEST(Startup, ConnectedPhoneIsRecordedBeforeAPairedOneWhateverTheObjectOrder)
{
    for (bool connected_first : {true, false}) {
        SCOPED_TRACE(connected_first ? "connected device added first" : "connected device added last");
        th::TestWorld world;
        std::vector<std::string> order{"11:22:33:44:55:02", "11:22:33:44:55:01"};   // the first one connected
        if (!connected_first)
            std::swap(order[0], order[1]);
        for (const auto& address : order)
            world.bluez->add_device(address, "Phone " + address);
        for (const auto& address : order) {
            world.bluez->pair_device(address);
            if (address == "11:22:33:44:55:02")
                world.bluez->connect_device(address);
        }
        th::Telvane app(world);
        ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
        std::string out = app.output();
        EXPECT_EQ(app.count("device found at startup"), 1) << out;
        EXPECT_LT(out.find("ℹ️ Connected device found at startup"), out.find("📱 Telvane - Ready")) << out;
        size_t state = out.find("State: IDLE -> CONNECTED");
        EXPECT_TRUE(state != std::string::npos && state == out.find("State:")) << out;
    }
}

// A failed Connect never tears down a live link, and a hanging sound server
// tool never stops the main loop following the phone.
TEST(Connection, PhoneThatPairsIsConnectedLosesItsLinkAndIsRemovedWhileTheSoundServerToolHangs)
{
    const struct { const char* name; th::ConnectAnswer answer; std::vector<std::string> lines; const char* absent; } rows[] = {
        {"Connect works", th::ConnectAnswer::Connects, {"✓ Pairing completed", "State: IDLE -> PAIRED", "State: PAIRED -> CONNECTING",
         "📱 Device connected", "State: CONNECTING -> CONNECTED", "✅ Auto connection established"}, "Auto connection failed"},
        {"Connect fails", th::ConnectAnswer::Fails, {"State: PAIRED -> CONNECTING", "State: CONNECTING -> PAIRED",
         "⚠️ Auto connection failed, phone can connect"}, "📱 Device connected"},
        {"phone connects, then Connect reports failure", th::ConnectAnswer::ConnectsThenFails, {"State: PAIRED -> CONNECTING",
         "📱 Device connected", "State: CONNECTING -> CONNECTED", "ℹ️ Auto connection failed, phone already connected"},
         "State: CONNECTED -> PAIRED"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        th::TestWorld world;
        std::string phone = world.bluez->add_device(kPhoneAddr, "Pixel of Ana");
        th::script_device(*world.bluez, phone, row.answer);
        th::Telvane app(world, {}, {{"PATH", fake_pactl(world, "exec sleep 600\n")}});
        ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();

        world.bluez->pair_device(kPhoneAddr);
        ASSERT_TRUE(in_order(app, row.lines));
        EXPECT_EQ(app.find(row.absent), std::string::npos) << app.output();
        EXPECT_EQ(world.bluez->calls(phone).size(), 1u) << ::testing::PrintToString(world.bluez->calls(phone));
        if (row.answer == th::ConnectAnswer::Fails) {
            world.bluez->connect_device(kPhoneAddr);
            EXPECT_TRUE(app.wait_for_output("State: PAIRED -> CONNECTED")) << app.output();
        }
        ASSERT_TRUE(th::wait_until([&] { return th::file_exists(world.dir.file("pactl.calls")); }));
        EXPECT_EQ(app.count("-> CONNECTED"), 1) << app.output();

        size_t mark = app.output().size();
        world.bluez->disconnect_device(kPhoneAddr);
        ASSERT_TRUE(in_order(app, {"📴 Connection lost", "State: CONNECTED -> PAIRED"}, mark));

        mark = app.output().size();
        remove_device(*world.bluez, phone);
        // Start was never pressed: the PC is not discoverable, so it rests in IDLE.
        ASSERT_TRUE(in_order(app, {"🗑️ Device removed", "State: PAIRED -> IDLE"}, mark));

        // Forgotten: another phone that connects by itself becomes the phone.
        th::make_phone(*world.bluez, world.bluez->add_device("00:11:22:33:44:55", "Second Phone"));
        mark = app.output().size();
        world.bluez->connect_device("00:11:22:33:44:55");
        ASSERT_TRUE(in_order(app, {"📱 Device connected", "State: IDLE -> CONNECTED"}, mark));
    }
}

TEST(Connection, RemovedPairingForgetsThePhoneAndTheNextOneOfOurAdapterIsTaken)
{
    const struct { const char* name; bool paired, connected, with_disconnect; std::vector<std::string> lines; const char* absent; }
    rows[] = {
        {"connected phone, one signal with Paired and Connected false", true, true, true,
         {"🔓 Pairing removed", "📴 Device disconnected", "State: CONNECTED -> IDLE"}, "📴 Connection lost"},
        // A paired phone is being reconnected (CONNECTING) or waits for its next try (PAIRED).
        {"paired phone", true, false, false, {"🔓 Pairing removed", "📴 Device disconnected", " -> IDLE"}, "Connection lost"},
        {"no phone recorded, IDLE stays", false, false, false, {"🔓 Pairing removed", "📴 Device disconnected"}, "-> DISCOVERABLE"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        th::TestWorld world;
        std::string phone = world.bluez->add_device(kPhoneAddr, "Pixel of Ana");
        th::make_phone(*world.bluez, phone);
        if (row.paired)
            world.bluez->pair_device(kPhoneAddr);
        if (row.connected)
            world.bluez->connect_device(kPhoneAddr);
        world.bluez->add_adapter("hci1", "second-adapter");
        th::make_phone(*world.bluez, world.bluez->add_device("66:77:88:99:AA:BB", "Other Adapter Phone", "hci1"));
        th::Telvane app(world);
        ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
        size_t mark = app.output().size();
        // What BlueZ sends when the user removes the pairing on the phone's side.
        g_variant_unref(world.bluez->call(phone, "org.freedesktop.DBus.Mock", "UpdateProperties", g_variant_new_parsed(row.with_disconnect
            ? "('org.bluez.Device1', {'Paired': <false>, 'Connected': <false>})" : "('org.bluez.Device1', {'Paired': <false>})")));
        ASSERT_TRUE(in_order(app, row.lines, mark));
        // Forgotten: the next phone of our adapter is taken, never another adapter's.
        world.bluez->connect_device("66:77:88:99:AA:BB", "hci1");
        th::make_phone(*world.bluez, world.bluez->add_device("00:11:22:33:44:55", "Next Phone"));
        world.bluez->connect_device("00:11:22:33:44:55");
        ASSERT_TRUE(app.wait_for_output("-> CONNECTED", 10000)) << app.output();
        ASSERT_TRUE(th::wait_until([&] { return app.count("📱 Device connected") == 1; })) << app.output();
        EXPECT_EQ(app.find(row.absent, mark), std::string::npos) << app.output();
        mark = app.output().size();
        world.bluez->disconnect_device("00:11:22:33:44:55");
        EXPECT_TRUE(in_order(app, {"📴 Connection lost"}, mark));
    }
}

// Other devices and adapters never move the phone's state or its sound module.
TEST(Connection, OtherDevicesAndAdaptersBesideThePhoneAreLeftAloneAndExitLeavesTheAdapterAsTheUserSetIt)
{
    th::TestWorld world;
    th::MockBluez& bluez = *world.bluez;
    auto set_adapter = [&](const char* name, bool value) {
        g_variant_unref(bluez.call("/org/bluez/hci0", "org.freedesktop.DBus.Properties", "Set",
                                   g_variant_new("(ssv)", "org.bluez.Adapter1", name, g_variant_new_boolean(value))));
    };
    bluez.add_adapter("hci1", "second-adapter");
    std::string keyboard = bluez.add_device("00:11:22:33:44:55", "Keyboard");
    std::string headphones = bluez.add_device("00:1B:66:AA:BB:CC", "Headphones");
    std::string phone = bluez.add_device(kPhoneAddr, "Pixel of Ana");
    std::string elsewhere = bluez.add_device("66:77:88:99:AA:BB", "Other Adapter Phone", "hci1");
    th::make_phone(bluez, keyboard, false);
    for (const auto& path : {keyboard, elsewhere})
        th::script_device(bluez, path, th::ConnectAnswer::Fails);
    bluez.connect_device("00:11:22:33:44:55");
    bluez.pair_device(kPhoneAddr);
    set_adapter("Discoverable", true);
    set_adapter("Pairable", true);
    // Loaded: the headphones' module and the phone's.
    std::string modules = "[ \"$*\" = \"list modules short\" ] && printf '7\\tmodule-bluez5-device\\tpath=" + headphones +
                          "\\t\\n25\\tmodule-bluez5-device\\tpath=" + phone + " autodetect_mtu=0\\t\\n'\nexit 0\n";
    th::Telvane app(world, {}, {{"PATH", fake_pactl(world, modules)}});
    ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
    // The keyboard, connected before us, is not taken for the phone.
    EXPECT_NE(app.find("ℹ️ Paired device found at startup"), std::string::npos) << app.output();
    EXPECT_EQ(app.find("Connected device found"), std::string::npos) << app.output();
    // The paired phone is tried at start; this one is nowhere.
    ASSERT_TRUE(app.wait_for_output("⚠️ Not connected")) << app.output();

    size_t mark = app.output().size();
    bluez.disconnect_device("00:11:22:33:44:55");
    bluez.connect_device("00:11:22:33:44:55");
    bluez.connect_device("00:1B:66:AA:BB:CC");
    bluez.connect_device(kPhoneAddr);
    ASSERT_TRUE(app.wait_for_output("State: PAIRED -> CONNECTED")) << app.output();
    EXPECT_EQ(app.count("📱 Device connected"), 1) << app.output();
    // Only the phone's own module is unloaded, by its index.
    ASSERT_TRUE(th::wait_until([&] { return th::read_file(world.dir.file("pactl.calls")).find("unload") != std::string::npos; }));
    th::wait_until([] { return false; }, 500);
    EXPECT_EQ(th::read_file(world.dir.file("pactl.calls")), "list modules short\nunload-module 25\n");

    bluez.pair_device("00:11:22:33:44:55");
    bluez.disconnect_device("00:11:22:33:44:55");
    bluez.connect_device("00:11:22:33:44:55");
    bluez.pair_device("66:77:88:99:AA:BB", "hci1");
    bluez.connect_device("66:77:88:99:AA:BB", "hci1");
    bluez.disconnect_device("66:77:88:99:AA:BB", "hci1");
    set_adapter("Powered", false);
    remove_device(bluez, keyboard);
    remove_device(bluez, elsewhere, "hci1");
    // A marker the app must see after all of the above: its own phone dropping.
    bluez.disconnect_device(kPhoneAddr);
    ASSERT_TRUE(app.wait_for_output("State: CONNECTED -> PAIRED")) << app.output();
    std::string after = app.output().substr(mark);
    EXPECT_EQ(after.find("Pairing completed"), std::string::npos) << after;
    EXPECT_EQ(after.find("Device removed"), std::string::npos) << after;
    EXPECT_EQ(app.count("📱 Device connected"), 1) << app.output();
    // Beside the tries to reach the paired phone (two changes each).
    EXPECT_EQ(app.count("State:") - 2 * app.count("🔗 Connecting to"), 3) << app.output();
    set_adapter("Powered", true);

    // Start was never pressed: exit leaves the user's adapter settings alone.
    ASSERT_TRUE(th::wait_until([&] { return th::close_all_windows(world.x.display()); }, 5000));
    EXPECT_EQ(app.wait_exit(15000), 0) << app.output();
    EXPECT_EQ(app.find("Discoverability disabled"), std::string::npos) << app.output();
    for (auto [property, value] : {std::pair{"Discoverable", "true"}, {"Pairable", "true"}, {"Powered", "true"}})
        EXPECT_EQ(th::adapter_property(bluez, property), value) << property;
}

// No phone outlives BlueZ, and the one it brings back is followed again.
TEST(Connection, BluetoothServiceThatStopsAndComesBackGivesThePhoneBack)
{
    const std::string contacts = "name,number\n\"Alice\",\"+4930123456\"\n";
    for (const std::string gone : {"State: CONNECTED -> IDLE", "State: PAIRED -> IDLE", "State: CONNECTING -> IDLE"}) {
        SCOPED_TRACE(gone);
        th::TestWorld world;
        std::string phone = world.bluez->add_device(kPhoneAddr, "Pixel of Ana");
        th::make_phone(*world.bluez, phone);
        bool connecting = gone.find("CONNECTING") != std::string::npos;
        if (!connecting)
            world.bluez->pair_device(kPhoneAddr);
        if (gone.find("CONNECTED") != std::string::npos)
            world.bluez->connect_device(kPhoneAddr);
        th::write_file(world.data_file("contacts.csv"), contacts);
        th::Telvane app(world);
        ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
        if (!connecting && gone.find("PAIRED") != std::string::npos) {
            ASSERT_TRUE(app.wait_for_output("⚠️ Not connected")) << "the paired phone is tried at start\n" << app.output();
        }
        if (connecting) {
            th::script_device(*world.bluez, phone, th::ConnectAnswer::NeverAnswers);
            world.bluez->pair_device(kPhoneAddr);
            ASSERT_TRUE(app.wait_for_output("State: PAIRED -> CONNECTING")) << app.output();
        }

        size_t mark = app.output().size();
        delete world.bluez;
        world.bluez = nullptr;
        ASSERT_TRUE(in_order(app, {"⚠️ Bluetooth service stopped", gone}, mark));
        EXPECT_TRUE(th::main_loop_answers(world.session_bus)) << app.output();
        EXPECT_EQ(app.find("State:", app.find(gone) + 1), std::string::npos) << "a phone outlived BlueZ\n" << app.output();

        // Back, with the phone it knew: paired, then connecting by itself.
        mark = app.output().size();
        world.bluez = new th::MockBluez(*world.system_bus, world.dir.file("dbusmock-again.log"));
        world.bluez->add_adapter("hci0", "telvane-test");
        phone = world.bluez->add_device(kPhoneAddr, "Pixel of Ana");
        th::make_phone(*world.bluez, phone);
        th::script_device(*world.bluez, phone, th::ConnectAnswer::Fails);
        world.bluez->pair_device(kPhoneAddr);
        ASSERT_TRUE(in_order(app, {"⚠️ Auto connection failed"}, mark));
        world.bluez->connect_device(kPhoneAddr);
        ASSERT_TRUE(in_order(app, {"✓ Bluetooth service running", "State: IDLE -> PAIRED", "State: PAIRED -> CONNECTED"}, mark));
        world.bluez->disconnect_device(kPhoneAddr);
        EXPECT_TRUE(app.wait_for_output("State: CONNECTED -> PAIRED")) << app.output();
        EXPECT_EQ(th::read_file(world.data_file("contacts.csv")), contacts);
    }
}

}  // namespace
