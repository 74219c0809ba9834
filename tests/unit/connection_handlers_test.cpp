// The Start, Stop and Disconnect handlers and the pairing agent, run in this
// process against the mock BlueZ on a private system bus.
#include "conn_bluez.h"
#include "conn_inprocess.h"

#include "app/app.h"
#include "connection/buttons.h"
#include "connection/device.h"
#include "connection/phone_device.h"
#include "connection/sound_module.h"
#include "connection/state.h"
#include "hfp/call_state.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const std::string kPhoneAddr = "A4:50:46:12:34:56";
const std::string kPhoneName = "Pixel of Ana";

// Lines appear in this order in the output, from position from on.
void expect_in_order(const th::InProcessApp& app, const std::vector<std::string>& lines, size_t from = 0)
{
    std::string out = app.output();
    size_t pos = from;
    for (const auto& line : lines) {
        size_t at = out.find(line, pos);
        ASSERT_NE(at, std::string::npos) << "missing after " << pos << ": " << line << "\n" << out;
        pos = at + line.size();
    }
}

bool mock_called(th::MockBluez& bluez, const std::string& path, const std::string& call)
{
    for (const auto& c : bluez.calls(path))
        if (c.rfind(call, 0) == 0)
            return true;
    return false;
}

TEST(ConnectionHandlers, WholeRoadOfAPhone)
{
    th::TestWorld world;
    th::MockBluez& bluez = *world.bluez;
    th::install_agent_caller(bluez);
    std::string phone = bluez.add_device(kPhoneAddr, kPhoneName);
    th::make_phone(bluez, phone);
    th::script_device(bluez, phone, th::ConnectAnswer::Connects);
    // Start must also switch a powered-off adapter on.
    g_variant_unref(bluez.call("/org/bluez/hci0", "org.freedesktop.DBus.Properties", "Set",
                               g_variant_new("(ssv)", "org.bluez.Adapter1", "Powered", g_variant_new_boolean(FALSE))));
    th::InProcessApp app(world);

    on_start_clicked(nullptr, nullptr);
    expect_in_order(app, {"🚀 Starting...", "✓ Agent registered", "✓ PC made discoverable",
                          "State: IDLE -> DISCOVERABLE"});
    EXPECT_EQ(current_state.load(), DISCOVERABLE);
    EXPECT_EQ(th::adapter_property(bluez, "Powered"), "true");
    EXPECT_EQ(th::adapter_property(bluez, "Discoverable"), "true");
    EXPECT_EQ(th::adapter_property(bluez, "Pairable"), "true");
    // BlueZ ends discoverability after 3 minutes even without us.
    EXPECT_EQ(th::adapter_property(bluez, "DiscoverableTimeout"), "uint32 180");
    EXPECT_EQ(th::adapter_property(bluez, "PairableTimeout"), "uint32 180");
    EXPECT_TRUE(mock_called(bluez, "/org/bluez", "RegisterAgent [<objectpath '/org/bluez/agent'>, <'DisplayYesNo'>]"))
        << ::testing::PrintToString(bluez.calls("/org/bluez"));
    EXPECT_TRUE(mock_called(bluez, "/org/bluez", "RequestDefaultAgent [<objectpath '/org/bluez/agent'>]"));

    // BlueZ asks the agent to confirm the phone's pairing.
    EXPECT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), "RequestConfirmation", phone, 4711), "ok");
    EXPECT_TRUE(app.wait_for_output("🔔 Pairing request: 004711")) << app.output();
    EXPECT_EQ(current_state.load(), PAIRING);
    EXPECT_STREQ(device_path, phone.c_str());

    // Paired: recorded, then the automatic connection calls Connect.
    size_t mark = app.output().size();
    bluez.pair_device(kPhoneAddr);
    ASSERT_TRUE(app.wait_for_output("✅ Auto connection established")) << app.output();
    expect_in_order(app, {"✓ Pairing completed", "State: PAIRING -> PAIRED", "State: PAIRED -> CONNECTING",
                          "📱 Device connected", "State: CONNECTING -> CONNECTED", "✅ Auto connection established"},
                    mark);
    EXPECT_TRUE(mock_called(bluez, phone, "Connect"));
    EXPECT_EQ(current_state.load(), CONNECTED);
    EXPECT_STREQ(device_addr, kPhoneAddr.c_str());
    EXPECT_STREQ(device_name, kPhoneName.c_str());
    EXPECT_EQ(auto_connect_in_progress.load(), 0);

    // The phone goes away: back to PAIRED, still known.
    mark = app.output().size();
    bluez.disconnect_device(kPhoneAddr);
    ASSERT_TRUE(app.wait_for_output("State: CONNECTED -> PAIRED")) << app.output();
    expect_in_order(app, {"📴 Connection lost", "State: CONNECTED -> PAIRED"}, mark);
    EXPECT_STREQ(device_addr, kPhoneAddr.c_str());

    // Its Device1 object is removed: forgotten.
    g_variant_unref(bluez.call("/org/bluez/hci0", "org.bluez.Adapter1", "RemoveDevice",
                               g_variant_new("(o)", phone.c_str())));
    ASSERT_TRUE(app.wait_for_output("State: PAIRED -> DISCOVERABLE")) << app.output();
    EXPECT_NE(app.find("🗑️ Device removed", mark), std::string::npos);
    EXPECT_STREQ(device_path, "");
    EXPECT_STREQ(device_addr, "");
    EXPECT_STREQ(device_name, "");
    EXPECT_EQ(device_paired.load(), 0);

    // A forgotten phone that comes back and connects by itself is taken.
    phone = bluez.add_device(kPhoneAddr, kPhoneName);
    th::script_device(bluez, phone, th::ConnectAnswer::Connects);
    bluez.pair_device(kPhoneAddr);
    ASSERT_TRUE(th::wait_until([&] { return app.count("✅ Auto connection established") == 2; })) << app.output();
    ASSERT_EQ(current_state.load(), CONNECTED);

    // Disconnect: BlueZ's Disconnect, teardown, DISCOVERABLE; the
    // Connected=false that follows changes nothing more.
    mark = app.output().size();
    bluez.clear_calls(phone);
    on_disconnect_clicked(nullptr, nullptr);
    EXPECT_TRUE(mock_called(bluez, phone, "Disconnect"));
    expect_in_order(app, {"🔌 Disconnected", "State: CONNECTED -> DISCOVERABLE"}, mark);
    app.settle(300);
    EXPECT_EQ(current_state.load(), DISCOVERABLE);
    EXPECT_EQ(app.find("📴 Connection lost", mark), std::string::npos) << app.output();

    // Stop: not discoverable, agent withdrawn, still powered, phone still known.
    mark = app.output().size();
    on_stop_clicked(nullptr, nullptr);
    expect_in_order(app, {"✓ Discoverability disabled", "✓ Agent unregistered", "State: DISCOVERABLE -> IDLE"},
                    mark);
    EXPECT_TRUE(mock_called(bluez, "/org/bluez", "UnregisterAgent [<objectpath '/org/bluez/agent'>]"));
    EXPECT_EQ(th::adapter_property(bluez, "Discoverable"), "false");
    EXPECT_EQ(th::adapter_property(bluez, "Pairable"), "false");
    EXPECT_EQ(th::adapter_property(bluez, "Powered"), "true");
    EXPECT_STREQ(device_addr, kPhoneAddr.c_str());
}

TEST(ConnectionHandlers, StartStopStartAcceptsAlreadyExists)
{
    th::TestWorld world;
    th::InProcessApp app(world);
    on_start_clicked(nullptr, nullptr);
    on_stop_clicked(nullptr, nullptr);
    on_start_clicked(nullptr, nullptr);
    EXPECT_EQ(current_state.load(), DISCOVERABLE);
    EXPECT_EQ(app.count("🚀 Starting..."), 2);
    EXPECT_EQ(app.count("✓ Agent registered"), 2);
    EXPECT_EQ(app.count("State: IDLE -> DISCOVERABLE"), 2);
    EXPECT_EQ(app.find("ERROR"), std::string::npos) << app.output();
    int registers = 0;
    for (const auto& c : world.bluez->calls("/org/bluez"))
        registers += c.rfind("RegisterAgent", 0) == 0;
    EXPECT_EQ(registers, 2);
}

TEST(ConnectionHandlers, RegisterAgentRefusedIsAnError)
{
    th::TestWorld world;
    world.bluez->add_method("/org/bluez", "org.bluez.AgentManager1", "RegisterAgent", "os", "",
                            "raise dbus.exceptions.DBusException('Adapter not ready', name='org.bluez.Error.Failed')\n");
    th::InProcessApp app(world);
    on_start_clicked(nullptr, nullptr);
    EXPECT_EQ(current_state.load(), ERROR);
    EXPECT_EQ(std::string(error_msg).rfind("Agent introduction error: ", 0), 0u) << error_msg;
    EXPECT_NE(std::string(error_msg).find("Adapter not ready"), std::string::npos) << error_msg;
    EXPECT_NE(app.find("State: IDLE -> ERROR"), std::string::npos) << app.output();
    EXPECT_EQ(app.find("✓ Agent registered"), std::string::npos);
    EXPECT_EQ(th::adapter_property(*world.bluez, "Discoverable"), "false");
}

TEST(ConnectionHandlers, AgentAnswersEveryMethodAsBlueZExpects)
{
    th::TestWorld world;
    th::install_agent_caller(*world.bluez);
    std::string phone = world.bluez->add_device(kPhoneAddr, kPhoneName);
    th::make_phone(*world.bluez, phone);
    th::InProcessApp app(world);
    on_start_clicked(nullptr, nullptr);
    ASSERT_EQ(current_state.load(), DISCOVERABLE);

    struct Row {
        const char* method;
        unsigned passkey;
        const char* reply;
        const char* line;
        AppState state_after;
    };
    const Row rows[] = {
        {"Release", 0, "ok", "Agent: Release", DISCOVERABLE},
        {"RequestPinCode", 0, "ok 5931", "Agent: PIN requested (5931)", DISCOVERABLE},
        {"DisplayPinCode", 0, "ok", "Agent: PIN display", DISCOVERABLE},
        {"RequestPasskey", 0, "ok 0", "Agent: Passkey requested (0)", DISCOVERABLE},
        {"DisplayPasskey", 31, "ok", "Agent: Passkey display", DISCOVERABLE},
        {"RequestAuthorization", 0, "ok", "Agent: Authorization (auto accept)", DISCOVERABLE},
        {"AuthorizeService", 0, "ok", "Agent: Service authorization (auto accept)", DISCOVERABLE},
        {"AuthorizeHid", 0, "error org.bluez.Error.Rejected: Rejected",
         "⚠️ Agent: AuthorizeService rejected: service 00001124-0000-1000-8000-00805f9b34fb is not served here",
         DISCOVERABLE},
        {"RequestConfirmation", 7, "ok", "🔔 Pairing request: 000007", PAIRING},
        {"Cancel", 0, "ok", "Agent: Cancelled", DISCOVERABLE},
        {"RequestConfirmation", 123456, "ok", "🔔 Pairing request: 123456", PAIRING},
        {"RequestConfirmation", 999999, "ok", "🔔 Pairing request: 999999", PAIRING},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + std::to_string(row.passkey));
        size_t mark = app.output().size();
        EXPECT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), row.method, phone, row.passkey),
                  row.reply);
        EXPECT_NE(app.find(row.line, mark), std::string::npos) << app.output();
        EXPECT_EQ(current_state.load(), row.state_after);
    }
}

TEST(ConnectionHandlers, AgentRefusesCallersOtherThanBlueZ)
{
    th::TestWorld world;
    std::string phone = world.bluez->add_device(kPhoneAddr, kPhoneName);
    std::string other = world.bluez->add_device("00:11:22:33:44:55", "Intruder");
    th::make_phone(*world.bluez, phone);
    th::install_agent_caller(*world.bluez);
    th::InProcessApp app(world);
    on_start_clicked(nullptr, nullptr);
    ASSERT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), "RequestConfirmation", phone, 1), "ok");
    ASSERT_EQ(current_state.load(), PAIRING);

    // The test's own connection is not the owner of org.bluez.
    GDBusConnection* stranger = world.system_bus->connection();
    struct Row {
        const char* method;
        GVariant* params;
    };
    const Row rows[] = {
        {"RequestConfirmation", g_variant_new("(ou)", other.c_str(), 2u)},
        {"Cancel", nullptr},
        {"RequestPinCode", g_variant_new("(o)", other.c_str())},
        {"Release", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.method);
        size_t mark = app.output().size();
        std::string reply = th::call_agent_from(stranger, app.bus_name(), row.method, row.params);
        EXPECT_EQ(reply.rfind("error org.bluez.Error.Rejected", 0), 0u) << reply;
        EXPECT_NE(app.find(std::string("⚠️ Agent: ") + row.method + " from", mark), std::string::npos) << app.output();
        EXPECT_NE(app.find("rejected", mark), std::string::npos);
    }
    EXPECT_EQ(current_state.load(), PAIRING);
    EXPECT_STREQ(device_path, phone.c_str());
    EXPECT_EQ(app.count("🔔 Pairing request"), 1);
    EXPECT_EQ(app.count("Agent: Cancelled"), 0);
}

TEST(ConnectionHandlers, ConnectedPhoneSurvivesCancelAndOtherPairings)
{
    th::TestWorld world;
    th::install_agent_caller(*world.bluez);
    std::string phone = world.bluez->add_device(kPhoneAddr, kPhoneName);
    std::string other = world.bluez->add_device("00:11:22:33:44:55", "Other Phone");
    th::InProcessApp app(world);
    on_start_clicked(nullptr, nullptr);
    world.bluez->pair_device(kPhoneAddr);
    world.bluez->connect_device(kPhoneAddr);
    ASSERT_TRUE(th::wait_until([] { return current_state.load() == CONNECTED; })) << app.output();
    // A call in progress must survive as well.
    current_call_state = CALL_ACTIVE;
    std::strcpy(current_call_number, "+4930123456");

    th::make_phone(*world.bluez, other);
    size_t mark = app.output().size();
    EXPECT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), "RequestConfirmation", other, 42),
              "error org.bluez.Error.Rejected: Rejected");
    EXPECT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), "Cancel"), "ok");
    app.settle();
    EXPECT_NE(app.find("🔔 Pairing request: 000042", mark), std::string::npos) << app.output();
    EXPECT_NE(app.find("⚠️ Agent: RequestConfirmation rejected: not pairing now", mark), std::string::npos);
    EXPECT_NE(app.find("Agent: Cancelled", mark), std::string::npos);
    EXPECT_EQ(app.find("State:", mark), std::string::npos) << app.output();
    EXPECT_EQ(current_state.load(), CONNECTED);
    EXPECT_EQ(current_call_state.load(), CALL_ACTIVE);
    EXPECT_STREQ(current_call_number, "+4930123456");
    // The connected phone stays the one followed.
    EXPECT_STREQ(device_path, phone.c_str());
    EXPECT_STREQ(device_addr, kPhoneAddr.c_str());
    world.bluez->disconnect_device(kPhoneAddr);
    EXPECT_TRUE(app.wait_for_output("📴 Connection lost")) << app.output();
}

TEST(ConnectionHandlers, NewPhonePairingReplacesTheOldOneWholly)
{
    th::TestWorld world;
    th::install_agent_caller(*world.bluez);
    std::string old_phone = world.bluez->add_device(kPhoneAddr, kPhoneName);
    std::string new_phone = world.bluez->add_device("00:11:22:33:44:55", "New Phone");
    th::make_phone(*world.bluez, new_phone);
    th::InProcessApp app(world);
    get_device_info(old_phone.c_str());
    hfp_channel = 4;
    on_start_clicked(nullptr, nullptr);
    EXPECT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), "RequestConfirmation", new_phone, 5), "ok");
    EXPECT_STREQ(device_path, new_phone.c_str());
    // Nothing of the old phone may be used to reach the new one.
    EXPECT_STREQ(device_addr, "");
    EXPECT_STREQ(device_name, "");
    EXPECT_EQ(hfp_channel.load(), 0);
}

TEST(ConnectionHandlers, AgentAnswersOnlyForAPhoneWhileTheUserPairs)
{
    th::TestWorld world;
    th::install_agent_caller(*world.bluez);
    std::string phone = world.bluez->add_device(kPhoneAddr, kPhoneName);
    std::string keyboard = world.bluez->add_device("00:11:22:33:44:55", "Keyboard");
    std::string unknown = world.bluez->add_device("00:11:22:33:44:66", "Unknown");
    th::make_phone(*world.bluez, phone);
    th::make_phone(*world.bluez, keyboard, false);
    th::InProcessApp app(world);
    const std::string rejected = "error org.bluez.Error.Rejected: Rejected";

    struct Row {
        const char* when;
        void (*step)();
        const std::string* device;
        const char* method;
        bool accepted;
        const char* line;
    };
    const Row rows[] = {
        {"after Start", [] { on_start_clicked(nullptr, nullptr); }, &keyboard, "RequestConfirmation", false,
         "rejected: not a phone"},
        {"after Start", nullptr, &keyboard, "AuthorizeService", false, "rejected: not a phone"},
        {"after Start", nullptr, &unknown, "RequestAuthorization", false, "rejected: not a phone"},
        {"after Start", nullptr, &phone, "RequestAuthorization", true, "Agent: Authorization (auto accept)"},
        {"after Stop", [] { on_stop_clicked(nullptr, nullptr); }, &phone, "RequestConfirmation", false,
         "rejected: not pairing now"},
        {"after Stop", nullptr, &phone, "RequestAuthorization", false, "rejected: not pairing now"},
        {"after Stop", nullptr, &phone, "RequestPinCode", false, "rejected: not pairing now"},
        {"after Stop", nullptr, &phone, "AuthorizeService", false, "rejected: not pairing now"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.when) + " " + row.method + " " + *row.device);
        if (row.step)
            row.step();
        size_t mark = app.output().size();
        std::string reply = th::call_agent_as_bluez(*world.system_bus, app.bus_name(), row.method, *row.device, 1);
        EXPECT_EQ(reply, row.accepted ? "ok" : rejected);
        EXPECT_NE(app.find(row.line, mark), std::string::npos) << app.output();
        EXPECT_NE(current_state.load(), PAIRING);
    }
    EXPECT_STREQ(device_path, "");
}

TEST(ConnectionHandlers, StartTellsTheTruthAndWorksOnceTheAdapterIsBack)
{
    th::TestWorld world;
    th::InProcessApp app(world);
    on_start_clicked(nullptr, nullptr);
    ASSERT_EQ(current_state.load(), DISCOVERABLE);
    // Unplugged while discoverable: the header must not go on claiming it.
    g_variant_unref(world.bluez->call("/", "org.bluez.Mock", "RemoveAdapter", g_variant_new("(s)", "hci0")));
    ASSERT_TRUE(app.wait_for_output("State: DISCOVERABLE -> ERROR")) << app.output();
    EXPECT_NE(app.find("⚠️ Bluetooth adapter removed"), std::string::npos) << app.output();
    size_t mark = app.output().size();

    on_start_clicked(nullptr, nullptr);
    EXPECT_EQ(current_state.load(), ERROR);
    EXPECT_EQ(std::string(error_msg).rfind("No Bluetooth adapter", 0), 0u) << error_msg;
    EXPECT_EQ(app.find("✓ PC made discoverable", mark), std::string::npos) << app.output();
    EXPECT_EQ(app.find("✓ Agent registered", mark), std::string::npos) << app.output();
    EXPECT_TRUE(gtk_widget_get_sensitive(start_btn));

    world.bluez->add_adapter("hci0");
    on_start_clicked(nullptr, nullptr);
    EXPECT_EQ(current_state.load(), DISCOVERABLE);
    expect_in_order(app, {"🚀 Starting...", "✓ Agent registered", "✓ PC made discoverable",
                          "State: ERROR -> DISCOVERABLE"}, mark);
}

TEST(ConnectionHandlers, StartOnABlockedAdapterIsAnErrorThatSaysSo)
{
    th::TestWorld world;
    // What BlueZ answers when rfkill blocks the adapter.
    world.bluez->add_method("/org/bluez/hci0", "org.freedesktop.DBus.Properties", "Set", "ssv", "",
                            "if args[1] == 'Powered' and args[2]:\n"
                            "    raise dbus.exceptions.DBusException('Blocked through rfkill', "
                            "name='org.bluez.Error.Blocked')\n"
                            "DBusMockObject.Set(self, args[0], args[1], args[2])\n");
    th::InProcessApp app(world);
    on_start_clicked(nullptr, nullptr);
    EXPECT_EQ(current_state.load(), ERROR);
    EXPECT_EQ(std::string(error_msg).rfind("Bluetooth is switched off or blocked", 0), 0u) << error_msg;
    EXPECT_NE(std::string(error_msg).find("Blocked through rfkill"), std::string::npos) << error_msg;
    EXPECT_EQ(app.find("✓ PC made discoverable"), std::string::npos) << app.output();
    // Nothing is left half switched on: not discoverable, no agent.
    EXPECT_EQ(th::adapter_property(*world.bluez, "Discoverable"), "false");
    EXPECT_TRUE(mock_called(*world.bluez, "/org/bluez", "UnregisterAgent"));
    EXPECT_TRUE(gtk_widget_get_sensitive(start_btn));
}

TEST(ConnectionHandlers, DiscoverabilityEndsByItselfAndStatesFollowThePc)
{
    th::TestWorld world;
    std::string phone = world.bluez->add_device(kPhoneAddr, kPhoneName);
    th::InProcessApp app(world);
    on_start_clicked(nullptr, nullptr);
    ASSERT_EQ(current_state.load(), DISCOVERABLE);

    // BlueZ's own 3-minute limit strikes: the adapter is no longer discoverable.
    world.bluez->clear_calls("/org/bluez");
    g_variant_unref(world.bluez->call("/org/bluez/hci0", "org.freedesktop.DBus.Properties", "Set",
                                      g_variant_new("(ssv)", "org.bluez.Adapter1", "Discoverable",
                                                    g_variant_new_boolean(FALSE))));
    ASSERT_TRUE(app.wait_for_output("State: DISCOVERABLE -> IDLE")) << app.output();
    expect_in_order(app, {"ℹ️ Discoverability ended by the Bluetooth service", "✓ Agent unregistered",
                          "State: DISCOVERABLE -> IDLE"});
    EXPECT_TRUE(mock_called(*world.bluez, "/org/bluez", "UnregisterAgent"));
    EXPECT_EQ(th::adapter_property(*world.bluez, "Pairable"), "false");

    // A phone that connects by itself and is disconnected by the user rests
    // in PAIRED, not in a discoverability that is over.
    world.bluez->pair_device(kPhoneAddr);
    ASSERT_TRUE(th::wait_until([] { return current_state.load() == CONNECTED || current_state.load() == PAIRED; }));
    world.bluez->connect_device(kPhoneAddr);
    ASSERT_TRUE(th::wait_until([] { return current_state.load() == CONNECTED; })) << app.output();
    size_t mark = app.output().size();
    on_disconnect_clicked(nullptr, nullptr);
    EXPECT_NE(app.find("State: CONNECTED -> PAIRED", mark), std::string::npos) << app.output();
    EXPECT_EQ(app.find("DISCOVERABLE", mark), std::string::npos) << app.output();
}

struct ModuleCase {
    const char* name;
    std::string list;
    int index;
};

class SoundModule : public testing::TestWithParam<ModuleCase> {};

const std::string kPhonePath = "/org/bluez/hci0/dev_A4_50_46_12_34_56";

TEST_P(SoundModule, OnlyThePhonesOwnModuleIsFound)
{
    EXPECT_EQ(bluez_module_index(GetParam().list, kPhonePath), GetParam().index);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SoundModule,
    testing::Values(
        ModuleCase{"phone_beside_headphones",
                   "7\tmodule-bluez5-device\tpath=/org/bluez/hci0/dev_00_1B_66_AA_BB_CC autodetect_mtu=0\t\n"
                   "25\tmodule-bluez5-device\tpath=" + kPhonePath + " autodetect_mtu=0\t\n",
                   25},
        ModuleCase{"only_headphones", "7\tmodule-bluez5-device\tpath=/org/bluez/hci0/dev_00_1B_66_AA_BB_CC\t\n", -1},
        ModuleCase{"longer_path_is_another_device",
                   "8\tmodule-bluez5-device\tpath=" + kPhonePath + "0 autodetect_mtu=0\t\n", -1},
        ModuleCase{"other_module_with_the_path", "3\tmodule-null-sink\tpath=" + kPhonePath + "\t\n", -1},
        ModuleCase{"no_trailing_newline", "12\tmodule-bluez5-device\tpath=" + kPhonePath, 12},
        ModuleCase{"garbage_index", "x1\tmodule-bluez5-device\tpath=" + kPhonePath + "\n", -1},
        ModuleCase{"empty_output", "", -1}),
    [](const testing::TestParamInfo<ModuleCase>& info) { return std::string(info.param.name); });

struct DeviceCase {
    const char* name;
    const char* props;   // GVariant text of a{sv}
    bool phone;
};

class PhoneDevice : public testing::TestWithParam<DeviceCase> {};

TEST_P(PhoneDevice, OnlyAnAudioGatewayOrAPhoneClassCounts)
{
    GVariant* props = g_variant_ref_sink(g_variant_new_parsed(GetParam().props));
    EXPECT_EQ(properties_say_phone(props), GetParam().phone);
    g_variant_unref(props);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PhoneDevice,
    testing::Values(
        DeviceCase{"gateway_uuid", "{'UUIDs': <['0000110a-0000-1000-8000-00805f9b34fb', "
                                   "'0000111f-0000-1000-8000-00805f9b34fb']>, 'Class': <uint32 0>}", true},
        DeviceCase{"gateway_uuid_upper_case", "{'UUIDs': <['0000111F-0000-1000-8000-00805F9B34FB']>}", true},
        DeviceCase{"phone_class_without_uuids", "{'UUIDs': <@as []>, 'Class': <uint32 0x5a020c>}", true},
        DeviceCase{"phone_class_before_services_known", "{'Class': <uint32 0x200>}", true},
        DeviceCase{"keyboard", "{'UUIDs': <['00001124-0000-1000-8000-00805f9b34fb']>, 'Class': <uint32 0x2540>}",
                   false},
        DeviceCase{"phone_class_but_no_gateway", "{'UUIDs': <['0000110b-0000-1000-8000-00805f9b34fb']>, "
                                                 "'Class': <uint32 0x5a020c>}", false},
        DeviceCase{"headphones_class", "{'UUIDs': <@as []>, 'Class': <uint32 0x240404>}", false},
        DeviceCase{"nothing_known", "{'Name': <'x'>}", false},
        DeviceCase{"class_of_wrong_type", "{'Class': <'phone'>}", false}),
    [](const testing::TestParamInfo<DeviceCase>& info) { return std::string(info.param.name); });

TEST(PhoneDevice, OnlyDevicesBelowTheAdapter)
{
    EXPECT_TRUE(on_adapter("/org/bluez/hci0/dev_A4", "/org/bluez/hci0"));
    EXPECT_FALSE(on_adapter("/org/bluez/hci1/dev_A4", "/org/bluez/hci0"));
    EXPECT_FALSE(on_adapter("/org/bluez/hci01/dev_A4", "/org/bluez/hci0"));
    EXPECT_FALSE(on_adapter("/org/bluez/hci0", "/org/bluez/hci0"));
    EXPECT_FALSE(on_adapter("/org/bluez/hci0/", "/org/bluez/hci0"));
}

// The 30 s Connect timeout of the product, not shortened: slow on purpose.
TEST(ConnectionHandlers, UnansweredConnectTimesOutWhileTheWindowKeepsRunning)
{
    th::TestWorld world;
    std::string phone = world.bluez->add_device(kPhoneAddr, kPhoneName);
    th::script_device(*world.bluez, phone, th::ConnectAnswer::NeverAnswers);
    th::InProcessApp app(world);

    int ticks = 0;
    guint heartbeat = g_timeout_add(100, [](gpointer n) -> gboolean {
        if (current_state.load() == CONNECTING)
            ++*static_cast<int*>(n);
        return G_SOURCE_CONTINUE;
    }, &ticks);
    world.bluez->pair_device(kPhoneAddr);
    ASSERT_TRUE(app.wait_for_output("State: PAIRED -> CONNECTING")) << app.output();
    ASSERT_TRUE(app.wait_for_output("⚠️ Auto connection failed, phone can connect", 45000)) << app.output();
    g_source_remove(heartbeat);
    EXPECT_NE(app.find("State: CONNECTING -> PAIRED"), std::string::npos) << app.output();
    EXPECT_EQ(current_state.load(), PAIRED);
    EXPECT_EQ(auto_connect_in_progress.load(), 0);
    // About 300 ticks fit in 30 s; a main loop blocked by Connect gets none.
    EXPECT_GT(ticks, 100);
}

}  // namespace
