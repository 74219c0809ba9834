// The Start, Stop and Disconnect handlers and the pairing agent in process
// against the mock BlueZ: the real binary offers the buttons only as clicks.
#include "audio_log_capture.h"
#include "world/bluez_behaviour.h"
#include "ui_gtk.h"

#include "app/app.h"
#include "connection/adapter.h"
#include "connection/bluez.h"
#include "ui/connection_buttons.h"
#include "store/phone_record.h"
#include "connection/phone_device.h"
#include "connection/profile.h"
#include "store/reconnect.h"
#include "connection/signals.h"
#include "audio/sound_module.h"
#include "store/connection_state.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "hfp/hfp.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

// The application's handlers on this process's main context, subscribed to BlueZ as startup does.
class InProcessApp {
public:
    explicit InProcessApp(th::TestWorld& world)
    {
        if (chdir(world.dir.path().c_str()) != 0)
            throw std::runtime_error("cannot enter the test folder");
        // The process's one GTK; the main window is closed after every test.
        GtkApplication* application = uitest::ensure_gtk();
        setenv("HOME", world.dir.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", world.dir.file(".config").c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + world.dir.file("no-pulse")).c_str(), 1);
        if (!window)
            build_main_window(application);
        setenv("DBUS_SESSION_BUS_ADDRESS", world.session_bus.address().c_str(), 1);
        dbus_conn = world.system_bus->open_connection();
        subscriptions_[0] = bluez::subscribe_properties_changed(dbus_conn, on_properties_changed);
        subscriptions_[1] = bluez::subscribe_interfaces_removed(dbus_conn, on_interfaces_removed);
        // The subscriptions reach the bus daemon before anything we do next.
        if (GVariant* r = g_dbus_connection_call_sync(dbus_conn, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr))
            g_variant_unref(r);
    }
    ~InProcessApp()
    {
        settle(100);
        for (unsigned id : subscriptions_)
            g_dbus_connection_signal_unsubscribe(dbus_conn, id);
        g_dbus_connection_close_sync(dbus_conn, nullptr, nullptr);
        g_clear_object(&dbus_conn);
    }
    std::string output() { return log_.text(); }
    std::string bus_name() const { return g_dbus_connection_get_unique_name(dbus_conn); }
    void settle(int ms = 200) const { th::wait_until([] { return false; }, ms); }

private:
    th::StdoutCapture log_;   // shown in the test's own output when it ends
    unsigned subscriptions_[2] = {0, 0};
};

const std::string kPhoneAddr = "A4:50:46:12:34:56";
const std::string kPhoneName = "Pixel of Ana";

int mock_called(th::MockBluez& bluez, const std::string& path, const std::string& call)
{
    auto calls = bluez.calls(path);
    return int(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) { return c.rfind(call, 0) == 0; }));
}

void set_adapter(th::MockBluez& bluez, const char* property, bool value)
{
    g_variant_unref(bluez.call("/org/bluez/hci0", "org.freedesktop.DBus.Properties", "Set",
                               g_variant_new("(ssv)", "org.bluez.Adapter1", property, g_variant_new_boolean(value))));
}

bool reaches(AppState state, int timeout_ms = 10000)
{
    return th::wait_until([&] { return current_state.load() == state; }, timeout_ms);
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
    set_adapter(bluez, "Powered", false);
    InProcessApp app(world);

    on_start_clicked(nullptr, nullptr);
    EXPECT_EQ(current_state.load(), IDLE) << "the window waited for the adapter to come on";
    ASSERT_TRUE(reaches(DISCOVERABLE)) << app.output();
    // BlueZ ends discoverability after 3 minutes even without us.
    for (auto [property, value] : {std::pair{"Powered", "true"}, {"Discoverable", "true"}, {"Pairable", "true"},
                                   {"DiscoverableTimeout", "uint32 180"}, {"PairableTimeout", "uint32 180"}})
        EXPECT_EQ(th::adapter_property(bluez, property), value) << property;
    EXPECT_TRUE(mock_called(bluez, "/org/bluez", "RegisterAgent [<objectpath '/org/bluez/agent'>, <'DisplayYesNo'>]"))
        << ::testing::PrintToString(bluez.calls("/org/bluez"));
    EXPECT_TRUE(mock_called(bluez, "/org/bluez", "RequestDefaultAgent [<objectpath '/org/bluez/agent'>]"));

    EXPECT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), "RequestConfirmation", phone, 4711), "ok");
    EXPECT_EQ(current_state.load(), PAIRING);
    EXPECT_STREQ(device_path, phone.c_str());

    bluez.pair_device(kPhoneAddr);
    ASSERT_TRUE(reaches(CONNECTED)) << app.output();
    EXPECT_TRUE(mock_called(bluez, phone, "Connect"));
    EXPECT_STREQ(device_addr, kPhoneAddr.c_str());
    EXPECT_STREQ(device_name, kPhoneName.c_str());
    EXPECT_TRUE(th::wait_until([] { return auto_connect_in_progress.load() == 0; }));
    // The phone's own connect to a PC it is already connected to: said once.
    g_variant_unref(bluez.call("/", "org.bluez.Mock", "PhoneConnects", g_variant_new("(s)", kPhoneAddr.c_str())));
    app.settle();
    EXPECT_EQ(th::occurrences(app.output(), "📱 Device connected"), 1) << app.output();

    // Another phone's pairing and a Cancel leave the connected phone and its call alone.
    current_call_state = CALL_ACTIVE;
    std::strcpy(current_call_number, "+4930123456");
    std::string other = bluez.add_device("00:11:22:33:44:55", "Other Phone");
    th::make_phone(bluez, other);
    EXPECT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), "RequestConfirmation", other, 42),
              "error org.bluez.Error.Rejected: Rejected");
    EXPECT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), "Cancel"), "ok");
    app.settle();
    EXPECT_EQ(current_state.load(), CONNECTED);
    EXPECT_EQ(current_call_state.load(), CALL_ACTIVE);
    EXPECT_STREQ(current_call_number, "+4930123456");
    EXPECT_STREQ(device_path, phone.c_str());
    current_call_state = CALL_IDLE;

    // The Connected=false that follows changes nothing more (a link lost alone: the real binary).
    bluez.clear_calls(phone);
    on_disconnect_clicked(nullptr, nullptr);
    app.settle(300);
    EXPECT_TRUE(mock_called(bluez, phone, "Disconnect"));
    EXPECT_EQ(current_state.load(), DISCOVERABLE);

    on_stop_clicked(nullptr, nullptr);
    EXPECT_EQ(current_state.load(), IDLE);
    EXPECT_TRUE(mock_called(bluez, "/org/bluez", "UnregisterAgent [<objectpath '/org/bluez/agent'>]"));
    // All as before Start (BlueZ's adapter is pairable by default); Start
    // switched the adapter on, so Stop switches it off again.
    for (auto [property, value] : {std::pair{"Discoverable", "false"}, {"Pairable", "true"}, {"Powered", "false"}})
        EXPECT_EQ(th::adapter_property(bluez, property), value) << property;
    EXPECT_STREQ(device_addr, kPhoneAddr.c_str());

    // Start again: the agent is registered anew, "already exists" is no error.
    on_start_clicked(nullptr, nullptr);
    EXPECT_TRUE(reaches(DISCOVERABLE));
    EXPECT_EQ(mock_called(bluez, "/org/bluez", "RegisterAgent"), 2);
}

// Bluetooth stays as the user set it: Start switches the adapter on only when
// it is off, Stop and exit switch off only what Start switched on, and the
// end of discoverability gives back Discoverable and Pairable but not power
// (a phone may be connected by then).
TEST(ConnectionHandlers, StartChangesOnlyWhatItNeedsAndEachEndGivesItBack)
{
    enum End { STOP, BLUEZ_ENDS, EXIT };
    const struct { const char* name; bool powered, discoverable, pairable; End end; bool powered_after_end; } rows[] = {
        {"off, Stop", false, false, false, STOP, false},
        {"on, Stop", true, false, false, STOP, true},
        {"on, discoverable and pairable, Stop", true, true, true, STOP, true},
        {"off, discoverability ends", false, false, false, BLUEZ_ENDS, true},
        {"on, discoverability ends", true, false, false, BLUEZ_ENDS, true},
        {"off, exit", false, false, false, EXIT, false},
        {"on and pairable, exit", true, false, true, EXIT, true},
    };
    auto expect = [](th::MockBluez& bluez, bool powered, bool discoverable, bool pairable) {
        for (auto [property, value] : {std::pair{"Powered", powered}, {"Discoverable", discoverable}, {"Pairable", pairable}})
            EXPECT_EQ(th::adapter_property(bluez, property), value ? "true" : "false") << property;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        th::TestWorld world;
        set_adapter(*world.bluez, "Powered", row.powered);
        set_adapter(*world.bluez, "Discoverable", row.discoverable);
        set_adapter(*world.bluez, "Pairable", row.pairable);
        InProcessApp app(world);
        on_start_clicked(nullptr, nullptr);
        ASSERT_TRUE(reaches(DISCOVERABLE)) << app.output();
        expect(*world.bluez, true, true, true);
        if (row.end == STOP)
            on_stop_clicked(nullptr, nullptr);
        else if (row.end == EXIT)
            leave_adapter_as_found();
        else
            set_adapter(*world.bluez, "Discoverable", false);
        ASSERT_TRUE(th::wait_until([] { return !discoverable_session.load(); })) << app.output();
        app.settle();
        expect(*world.bluez, row.powered_after_end, row.discoverable, row.pairable);
        // Whatever came before, the program's exit leaves the adapter as it found it.
        leave_adapter_as_found();
        expect(*world.bluez, row.powered, row.discoverable, row.pairable);
        std::string out = app.output();
        EXPECT_EQ(th::occurrences(out, "✓ Bluetooth switched off again"), int(!row.powered)) << out;
        EXPECT_EQ(out.find("✓ Discoverability disabled") != std::string::npos, !row.discoverable) << out;
    }
}

// Only BlueZ is answered, only for a phone and while the user pairs; the phone
// that pairs replaces the one known before wholly.
TEST(ConnectionHandlers, AgentAnswersBlueZAloneForAPhoneWhileTheUserPairs)
{
    th::TestWorld world;
    th::install_agent_caller(*world.bluez);
    std::string phone = world.bluez->add_device(kPhoneAddr, kPhoneName);
    std::string keyboard = world.bluez->add_device("00:11:22:33:44:55", "Keyboard");
    std::string unknown = world.bluez->add_device("00:11:22:33:44:66", "Unknown");
    std::string old_phone = world.bluez->add_device("00:11:22:33:44:77", "Old Phone");
    th::make_phone(*world.bluez, phone);
    th::make_phone(*world.bluez, keyboard, false);
    InProcessApp app(world);
    get_device_info(old_phone.c_str());
    hfp_channel = 4;
    on_start_clicked(nullptr, nullptr);
    ASSERT_EQ(current_state.load(), DISCOVERABLE);
    const std::string rejected = "error org.bluez.Error.Rejected: Rejected";

    const struct { const std::string* device; const char* method; unsigned passkey; std::string reply;
        AppState after; } rows[] = {
        {&keyboard, "RequestConfirmation", 1, rejected, DISCOVERABLE},
        {&keyboard, "AuthorizeService", 1, rejected, DISCOVERABLE},
        {&unknown, "RequestAuthorization", 1, rejected, DISCOVERABLE}, {&phone, "Release", 0, "ok", DISCOVERABLE},
        {&phone, "RequestPinCode", 0, "ok 5931", DISCOVERABLE}, {&phone, "DisplayPinCode", 0, "ok", DISCOVERABLE},
        {&phone, "RequestPasskey", 0, "ok 0", DISCOVERABLE}, {&phone, "DisplayPasskey", 31, "ok", DISCOVERABLE},
        {&phone, "RequestAuthorization", 0, "ok", DISCOVERABLE}, {&phone, "AuthorizeService", 0, "ok", DISCOVERABLE},
        {&phone, "AuthorizeHid", 0, rejected, DISCOVERABLE}, {&phone, "RequestConfirmation", 7, "ok", PAIRING},
        {&phone, "Cancel", 0, "ok", DISCOVERABLE}, {&phone, "RequestConfirmation", 123456, "ok", PAIRING},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + *row.device);
        EXPECT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), row.method, *row.device, row.passkey),
                  row.reply);
        EXPECT_EQ(current_state.load(), row.after);
    }

    // The test's own connection does not own org.bluez: its Cancel must not end the pairing.
    std::string reply = th::call_described(world.system_bus->connection(), app.bus_name().c_str(), "/org/bluez/agent",
                                           "org.bluez.Agent1", "Cancel", nullptr);
    EXPECT_EQ(reply.rfind("error org.bluez.Error.Rejected", 0), 0u) << reply;
    EXPECT_EQ(current_state.load(), PAIRING);
    EXPECT_STREQ(device_path, phone.c_str());
    // Nothing of the old phone may be used to reach the new one.
    EXPECT_STREQ(device_addr, "");
    EXPECT_STREQ(device_name, "");
    EXPECT_EQ(hfp_channel.load(), 0);

    EXPECT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), "Cancel"), "ok");
    on_stop_clicked(nullptr, nullptr);
    for (const char* method : {"RequestConfirmation", "RequestAuthorization", "RequestPinCode", "AuthorizeService"}) {
        EXPECT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), method, phone, 1), rejected) << method;
        EXPECT_NE(current_state.load(), PAIRING);
    }
}

// The header's error text is what the user reads; nothing is left half switched on.
TEST(ConnectionHandlers, StartThatBlueZRefusesIsAnErrorThatSaysWhy)
{
    const struct { const char *path, *interface, *method, *in, *code, *error_start, *error_detail;
        bool agent_withdrawn; } rows[] = {
        {"/org/bluez", "org.bluez.AgentManager1", "RegisterAgent", "os",
         "raise dbus.exceptions.DBusException('Adapter not ready', name='org.bluez.Error.Failed')\n",
         "Agent introduction error: ", "Adapter not ready", false},
        // What BlueZ answers when rfkill blocks the adapter.
        {"/org/bluez/hci0", "org.freedesktop.DBus.Properties", "Set", "ssv",
         "if args[1] == 'Powered' and args[2]:\n"
         "    raise dbus.exceptions.DBusException('Blocked through rfkill', name='org.bluez.Error.Blocked')\n"
         "DBusMockObject.Set(self, args[0], args[1], args[2])\n",
         "Bluetooth is switched off or blocked", "Blocked through rfkill", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.method);
        th::TestWorld world;
        set_adapter(*world.bluez, "Powered", false);   // as BlueZ shows an adapter rfkill blocks
        world.bluez->add_method(row.path, row.interface, row.method, row.in, "", row.code);
        InProcessApp app(world);
        on_start_clicked(nullptr, nullptr);
        // The power-on is answered later: its refusal comes as the main loop runs.
        th::wait_until([&] { return std::string(error_msg).rfind(row.error_start, 0) == 0; }, 5000);
        EXPECT_EQ(current_state.load(), ERROR);
        EXPECT_EQ(std::string(error_msg).rfind(row.error_start, 0), 0u) << error_msg;
        EXPECT_NE(std::string(error_msg).find(row.error_detail), std::string::npos) << error_msg;
        EXPECT_EQ(th::adapter_property(*world.bluez, "Discoverable"), "false");
        EXPECT_EQ(mock_called(*world.bluez, "/org/bluez", "UnregisterAgent"), int(row.agent_withdrawn));
        EXPECT_TRUE(gtk_widget_get_sensitive(start_btn));
    }
}

TEST(ConnectionHandlers, StartTellsTheTruthDiscoverabilityEndsByItselfAndStatesFollowThePc)
{
    th::TestWorld world;
    InProcessApp app(world);
    on_start_clicked(nullptr, nullptr);
    ASSERT_EQ(current_state.load(), DISCOVERABLE);
    // Unplugged while discoverable: the header must not go on claiming it.
    g_variant_unref(world.bluez->call("/", "org.bluez.Mock", "RemoveAdapter", g_variant_new("(s)", "hci0")));
    ASSERT_TRUE(reaches(ERROR)) << app.output();
    on_start_clicked(nullptr, nullptr);
    EXPECT_EQ(current_state.load(), ERROR);
    EXPECT_EQ(std::string(error_msg).rfind("No Bluetooth adapter", 0), 0u) << error_msg;
    EXPECT_TRUE(gtk_widget_get_sensitive(start_btn));
    world.bluez->add_adapter("hci0");
    on_start_clicked(nullptr, nullptr);
    EXPECT_EQ(current_state.load(), DISCOVERABLE);
    EXPECT_EQ(th::adapter_property(*world.bluez, "Discoverable"), "true");

    // BlueZ's own 3-minute limit strikes: the adapter is no longer discoverable.
    world.bluez->add_device(kPhoneAddr, kPhoneName);
    world.bluez->clear_calls("/org/bluez");
    set_adapter(*world.bluez, "Pairable", false);   // as set by us after Start, given back below
    set_adapter(*world.bluez, "Discoverable", false);
    ASSERT_TRUE(reaches(IDLE)) << app.output();
    EXPECT_TRUE(mock_called(*world.bluez, "/org/bluez", "UnregisterAgent"));
    EXPECT_EQ(th::adapter_property(*world.bluez, "Pairable"), "true") << "as before Start";

    // Disconnected by the user, a phone that came by itself rests in PAIRED, not DISCOVERABLE.
    world.bluez->pair_device(kPhoneAddr);
    ASSERT_TRUE(th::wait_until([] { return current_state.load() == CONNECTED || current_state.load() == PAIRED; }));
    world.bluez->connect_device(kPhoneAddr);
    ASSERT_TRUE(reaches(CONNECTED)) << app.output();
    // The connect may already be done: its signal, still on its way, would
    // read as the phone connecting by itself after the click.
    app.settle(300);
    on_disconnect_clicked(nullptr, nullptr);
    app.settle(300);
    EXPECT_EQ(current_state.load(), PAIRED) << app.output();
    // No tries until Connect, or until the phone connects by itself.
    EXPECT_TRUE(reconnect_held());
    EXPECT_EQ(reconnect_seconds_left(), -1);
    EXPECT_NE(std::string(gtk_label_get_text(GTK_LABEL(info_label))).find("press Connect"), std::string::npos);
    EXPECT_TRUE(gtk_widget_get_sensitive(connect_btn));
    g_variant_unref(world.bluez->call("/", "org.bluez.Mock", "PhoneConnects", g_variant_new("(s)", kPhoneAddr.c_str())));
    ASSERT_TRUE(reaches(CONNECTED)) << app.output();
    EXPECT_FALSE(reconnect_held());
    // Connect tries at once; this phone answers nothing (no hands-free service of ours in this process).
    on_disconnect_clicked(nullptr, nullptr);
    app.settle(300);
    on_connect_clicked(nullptr, nullptr);
    EXPECT_EQ(current_state.load(), CONNECTING);
    EXPECT_FALSE(reconnect_held());
    ASSERT_TRUE(reaches(PAIRED)) << app.output();
    EXPECT_GT(reconnect_seconds_left(), 0) << "the next try is scheduled";
}

TEST(SoundModule, OnlyThePhonesOwnModuleIsFound)
{
    const std::string phone = "/org/bluez/hci0/dev_A4_50_46_12_34_56";
    const std::pair<std::string, int> rows[] = {
        {"8\tmodule-bluez5-device\tpath=" + phone + "0 autodetect_mtu=0\t\n", -1},
        {"3\tmodule-null-sink\tpath=" + phone + "\t\n", -1},
        {"12\tmodule-bluez5-device\tpath=" + phone, 12},
        {"x1\tmodule-bluez5-device\tpath=" + phone + "\n", -1},
        {"", -1},
    };
    for (const auto& [list, index] : rows)
        EXPECT_EQ(bluez_module_index(list, phone), index) << list;
}

TEST(PhoneDevice, OnlyAnAudioGatewayOrAPhoneClassBelowTheAdapterCounts)
{
    const std::pair<const char*, bool> rows[] = {
        {"{'UUIDs': <['0000110a-0000-1000-8000-00805f9b34fb', '0000111f-0000-1000-8000-00805f9b34fb']>, "
         "'Class': <uint32 0>}", true},
        {"{'UUIDs': <['0000111F-0000-1000-8000-00805F9B34FB']>}", true},
        {"{'Class': <uint32 0x200>}", true},
        {"{'UUIDs': <['0000110b-0000-1000-8000-00805f9b34fb']>, 'Class': <uint32 0x5a020c>}", false},
        {"{'UUIDs': <@as []>, 'Class': <uint32 0x240404>}", false},
        {"{'Class': <'phone'>}", false},
    };
    for (const auto& [text, phone] : rows) {
        GVariant* props = g_variant_ref_sink(g_variant_new_parsed(text));
        EXPECT_EQ(properties_say_phone(props), phone) << text;
        g_variant_unref(props);
    }
    EXPECT_FALSE(on_adapter("/org/bluez/hci01/dev_A4", "/org/bluez/hci0"));
    EXPECT_FALSE(on_adapter("/org/bluez/hci0", "/org/bluez/hci0"));
    EXPECT_FALSE(on_adapter("/org/bluez/hci0/", "/org/bluez/hci0"));
}

// A phone that gives up half way leaves no dead end: Stop is offered, and
// 30 s without completion return to DISCOVERABLE (the product's own time,
// slow on purpose).
TEST(ConnectionHandlers, PairingCanBeStoppedAndOneNeverCompletedReturnsToDiscoverable)
{
    th::TestWorld world;
    th::install_agent_caller(*world.bluez);
    std::string phone = world.bluez->add_device(kPhoneAddr, kPhoneName);
    th::make_phone(*world.bluez, phone);
    InProcessApp app(world);
    for (bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "Stop pressed" : "left alone");
        on_start_clicked(nullptr, nullptr);
        ASSERT_EQ(th::call_agent_as_bluez(*world.system_bus, app.bus_name(), "RequestConfirmation", phone, 7), "ok");
        ASSERT_EQ(current_state.load(), PAIRING);
        update_ui();
        EXPECT_TRUE(gtk_widget_get_sensitive(stop_btn));
        if (stop) {
            gtk_button_clicked(GTK_BUTTON(stop_btn));
            EXPECT_EQ(current_state.load(), IDLE);
            EXPECT_EQ(th::adapter_property(*world.bluez, "Discoverable"), "false");
            continue;
        }
        gint64 entered = g_get_monotonic_time();
        ASSERT_TRUE(reaches(DISCOVERABLE, 45000)) << app.output();
        EXPECT_GE(g_get_monotonic_time() - entered, gint64(kPairingSeconds - 1) * G_USEC_PER_SEC);
        EXPECT_EQ(th::occurrences(app.output(), "⚠️ Pairing not completed within 30 s"), 1) << app.output();
        EXPECT_TRUE(discoverable_session.load());
    }
}

// The 30 s Connect timeout of the product, not shortened: slow on purpose.
TEST(ConnectionHandlers, UnansweredConnectTimesOutWhileTheWindowKeepsRunning)
{
    th::TestWorld world;
    std::string phone = world.bluez->add_device(kPhoneAddr, kPhoneName);
    th::script_device(*world.bluez, phone, th::ConnectAnswer::NeverAnswers);
    InProcessApp app(world);

    int ticks = 0;
    guint heartbeat = g_timeout_add(100, [](gpointer n) -> gboolean {
        if (current_state.load() == CONNECTING)
            ++*static_cast<int*>(n);
        return G_SOURCE_CONTINUE;
    }, &ticks);
    world.bluez->pair_device(kPhoneAddr);
    ASSERT_TRUE(reaches(CONNECTING)) << app.output();
    ASSERT_TRUE(reaches(PAIRED, 45000)) << app.output();
    g_source_remove(heartbeat);
    EXPECT_EQ(auto_connect_in_progress.load(), 0);
    // About 300 ticks fit in 30 s; a main loop blocked by Connect gets none.
    EXPECT_GT(ticks, 100);
}

// Reconnect tries back off 5 s, doubling, at most 5 min apart; a connect
// BlueZ or the phone already has under way is no failure.
TEST(Reconnect, TriesBackOffToFiveMinutesAndAConnectUnderWayIsNoFailure)
{
    const std::pair<int, int> delays[] = {{0, 5}, {1, 5}, {2, 10}, {3, 20}, {4, 40}, {6, 160}, {7, 300}, {40, 300}};
    for (auto [failures, seconds] : delays)
        EXPECT_EQ(reconnect_delay_s(failures), seconds) << failures;
    const std::pair<const char*, ProfileConnect> errors[] = {
        {"org.bluez.Error.InProgress", ProfileConnect::UNDER_WAY},
        {"org.bluez.Error.AlreadyConnected", ProfileConnect::UNDER_WAY},
        {"org.bluez.Error.NotAvailable", ProfileConnect::NOT_AVAILABLE},
        {"org.bluez.Error.Failed", ProfileConnect::FAILED},
        {"org.freedesktop.DBus.Error.NoReply", ProfileConnect::FAILED},
        {nullptr, ProfileConnect::FAILED},
    };
    for (auto [name, outcome] : errors)
        EXPECT_EQ(classify_connect_error(name), outcome) << (name ? name : "(none)");
}

}  // namespace
