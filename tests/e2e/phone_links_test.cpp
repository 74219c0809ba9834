// The links the phone and BlueZ open to us, through the real binary: the
// hands-free service registered with BlueZ, a known phone reconnected, and
// the phone's own voice link, with the main loop answering all along.
#include "audio_phone.h"
#include "audio_pulse.h"
#include "calls_x11.h"
#include "harness.h"
#include "simphone.h"
#include "world/screen_reader.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

namespace {

const std::string kLinkedPhone = "00:11:22:33:44:55";
const std::string kDevice = "/org/bluez/hci0/dev_00_11_22_33_44_55";
const std::string kPcAddr = "00:01:02:03:04:05";   // the stand-in's hci0
const char* kHf = "0000111e-0000-1000-8000-00805f9b34fb";
const char* kAg = "0000111f-0000-1000-8000-00805f9b34fb";
const char* kListenerReadyLine = "✓ Incoming call listener ready";

// The stalls this catches (a blocking connect, a service lookup, pactl)
// last seconds; the window must answer within 100 ms. A beat is a round trip
// through the bus daemon, and on a two-core machine busy with builds and
// other tests the scheduler alone has kept it waiting 409 ms. So the line
// holds for the beat less the time the threads on its way (ours, the bus
// daemon, the X server, the stand-in BlueZ) sat ready but without a CPU;
// the whole beat must still come within a second.
constexpr long kLongestMainLoopWaitMs = 100;
constexpr long kLongestBeatMs = 1000;

// Nanoseconds a thread has waited, runnable, for a CPU (schedstat's second
// field); 0 for a thread that is gone.
long long runqueue_wait_ns(const std::string& task)
{
    long long on_cpu = 0, waiting = 0;
    if (std::sscanf(th::read_file(task + "/schedstat").c_str(), "%lld %lld", &on_cpu, &waiting) != 2)
        return 0;
    return waiting;
}

// The threads a beat passes: the program's main thread and its bus thread,
// the test's bus thread, and the main thread of every other process this
// test started (bus daemons, X server, stand-in BlueZ). pid: the program's.
std::vector<std::string> threads_on_the_way(pid_t pid)
{
    std::vector<std::string> tasks;
    std::string program = "/proc/" + std::to_string(pid);
    // The bus threads of both ends carry each call and its answer.
    for (pid_t owner : {pid, getpid()})
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(owner) + "/task")) {
            bool main_thread = owner == pid && task.path().filename() == std::to_string(pid);
            if (main_thread || th::read_file(task.path().string() + "/comm").rfind("gdbus", 0) == 0)
                tasks.push_back(task.path().string());
        }
    const std::string parent = " " + std::to_string(getpid()) + " ";
    for (const auto& proc : std::filesystem::directory_iterator("/proc")) {
        std::string stat = th::read_file(proc.path().string() + "/stat");
        size_t end = stat.rfind(')');   // the name may hold spaces
        if (end == std::string::npos || proc.path() == program)
            continue;
        size_t ppid = stat.find(' ', end + 2);   // after the state letter
        if (ppid != std::string::npos && stat.compare(ppid, parent.size(), parent) == 0)
            tasks.push_back(proc.path().string());
    }
    return tasks;
}

long long waited_ns(const std::vector<std::string>& tasks)
{
    long long sum = 0;
    for (const std::string& task : tasks)
        sum += runqueue_wait_ns(task);
    return sum;
}

// Asks the window's main loop every 20 ms for as long as it lives and keeps
// the slowest answer: a main loop that waits on a connect, a sound server
// tool or BlueZ answers late. Started before the program, it asks from the
// moment the program's name is on the bus and counts from its third answer,
// so the connects at start count. The first answer waits for the window
// being built (over a second in a checked build), the second for its first
// drawing (icons and fonts loaded: 60 to 140 ms in the thread-checked
// build); they are kept apart.
class Heartbeat {
public:
    explicit Heartbeat(th::DbusDaemon& session_bus) : bus_(session_bus.open_connection())
    {
        thread_ = std::thread([this] {
            const std::string self = "/proc/self/task/" + std::to_string(gettid());
            std::vector<std::string> tasks;
            bool drawn = false;
            while (!stop_) {
                long long waited_before = runqueue_wait_ns(self) + waited_ns(tasks);
                auto t0 = std::chrono::steady_clock::now();
                GVariant* r = g_dbus_connection_call_sync(bus_, "org.telvane.Telvane", "/org/telvane/Telvane",
                                                          "org.gtk.Actions", "List", nullptr, nullptr,
                                                          G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
                auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
                long long waited_ms = (runqueue_wait_ns(self) + waited_ns(tasks) - waited_before) / 1000000;
                if (r && first_ < 0) {
                    g_variant_unref(r);
                    first_ = ms.count();
                    tasks = threads_on_the_way(program_pid());
                } else if (r && !drawn) {
                    g_variant_unref(r);
                    drawn = true;
                } else if (r) {
                    g_variant_unref(r);
                    long own = std::max(0L, long(ms.count() - waited_ms));
                    slowest_beat_ = std::max(slowest_beat_.load(), long(ms.count()));
                    if (own > slowest_) {
                        slowest_ = own;
                        time_t now = time(nullptr);
                        char at[16];
                        strftime(at, sizeof at, "%H:%M:%S", localtime(&now));
                        slowest_at_ = std::string(at) + " (" + std::to_string(ms.count()) + " ms, " +
                                      std::to_string(waited_ms) + " ms of it waiting for a CPU)";
                    }
                    ++beats_;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~Heartbeat()
    {
        stop();
        g_object_unref(bus_);
    }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    // The slowest beat less its waits for a CPU, and the slowest whole beat.
    long slowest_ms() const { return slowest_; }
    long slowest_beat_ms() const { return slowest_beat_; }
    // The first answer, at start: -1 while there was none.
    long first_ms() const { return first_; }
    // When the slowest answer came (the log's clock), for the failure message.
    std::string slowest_at() const { return slowest_at_; }
    int beats() const { return beats_; }
    // Both lines, with what to show when one is crossed.
    void expect_quick(const std::string& out) const
    {
        EXPECT_LT(slowest_ms(), kLongestMainLoopWaitMs) << "the main loop waited, answering at " << slowest_at() << "\n" << out;
        EXPECT_LT(slowest_beat_ms(), kLongestBeatMs) << out;
    }

private:
    pid_t program_pid()
    {
        GVariant* r = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                                  g_variant_new("(s)", "org.telvane.Telvane"), G_VARIANT_TYPE("(u)"),
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        guint32 pid = 0;
        if (r) {
            g_variant_get(r, "(u)", &pid);
            g_variant_unref(r);
        }
        return pid_t(pid);
    }

    GDBusConnection* bus_;
    std::atomic<bool> stop_{false};
    std::atomic<long> slowest_{0};
    std::atomic<long> slowest_beat_{0};
    std::atomic<long> first_{-1};
    std::atomic<int> beats_{0};
    std::string slowest_at_;   // written by the thread, read after it ended
    std::thread thread_;
};

// The sockets the program would hand to a helper program it starts (pactl):
// a voice or hands-free link held by a helper would outlive its close. (The
// sound server's memory pools that libpulse receives stay open across exec;
// a helper holding one keeps nothing alive that matters.)
std::string sockets_kept_across_exec(pid_t pid)
{
    std::string kept;
    const std::string dir = "/proc/" + std::to_string(pid);
    std::error_code gone;
    for (const auto& entry : std::filesystem::directory_iterator(dir + "/fd", gone)) {
        const std::string fd = entry.path().filename();
        unsigned flags = 0;
        std::string info = th::read_file(dir + "/fdinfo/" + fd);
        size_t at = info.find("flags:");
        if (std::stoi(fd) <= 2 || at == std::string::npos || std::sscanf(info.c_str() + at, "flags: %o", &flags) != 1)
            continue;
        std::string target = std::filesystem::read_symlink(entry.path(), gone).string();
        if (!(flags & O_CLOEXEC) && target.rfind("socket:", 0) == 0)
            kept += fd + " → " + target + "\n";
    }
    return kept;
}

std::vector<std::string> profile_events(th::MockBluez& bluez)
{
    GVariant* r = bluez.call("/", "org.bluez.Mock", "ProfileEvents", nullptr);
    std::vector<std::string> out;
    GVariant* list = g_variant_get_child_value(r, 0);
    GVariantIter iter;
    g_variant_iter_init(&iter, list);
    const gchar* e = nullptr;
    while (g_variant_iter_next(&iter, "&s", &e))
        out.push_back(e);
    g_variant_unref(list);
    g_variant_unref(r);
    return out;
}

bool has_event(th::MockBluez& bluez, const std::string& event)
{
    auto all = profile_events(bluez);
    return std::find(all.begin(), all.end(), event) != all.end();
}

bool adapter_offers(th::MockBluez& bluez, const char* uuid)
{
    GVariant* v = bluez.get_property("/org/bluez/hci0", "org.bluez.Adapter1", "UUIDs");
    gchar* printed = g_variant_print(v, FALSE);
    bool found = std::string(printed).find(uuid) != std::string::npos;
    g_free(printed);
    g_variant_unref(v);
    return found;
}

// What the phone sends on a voice link: a 500 Hz square wave at 8 kHz.
int16_t square_500hz(uint64_t i) { return int16_t((i % 16) < 8 ? 5000 : -5000); }

// A phone that is in range and paired, and the application once launched.
struct LinkWorld {
    explicit LinkWorld(bool connected = true) : phone(shim.path(), kLinkedPhone)
    {
        phone.serve_hfp(5);
        phone.set_pc_address(kPcAddr);
        world.bluez->add_device(kLinkedPhone, "Sim Phone");
        world.bluez->pair_device(kLinkedPhone);
        if (connected)
            world.bluez->connect_device(kLinkedPhone);
    }
    void launch(const th::Env& extra = {})
    {
        th::Env env = sim::shim_env(shim.path());
        for (const auto& [k, v] : extra)
            env[k] = v;
        app = std::make_unique<th::Telvane>(world, std::vector<std::string>{}, env);
    }
    // Phones take one command at a time.
    ~LinkWorld() { EXPECT_EQ(phone.protocol_errors(), std::vector<std::string>{}) << (app ? out() : ""); }
    std::string out() const { return app->output(); }
    void seen_by_bluez()   // an inquiry answered: BlueZ updates the phone's RSSI
    {
        GVariantBuilder props;
        g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&props, "{sv}", "RSSI", g_variant_new_int16(-60));
        g_variant_unref(world.bluez->call(kDevice, "org.freedesktop.DBus.Mock", "UpdateProperties",
                                          g_variant_new("(sa{sv})", "org.bluez.Device1", &props)));
    }

    th::TestWorld world;
    th::TempDir shim;
    sim::SimPhone phone;
    std::unique_ptr<th::Telvane> app;
};

// Another program holding the hands-free role is shown; once it leaves the
// service is ours, BlueZ's request ends the phone's link (not only our copy
// of it), and the registration goes at exit.
TEST(HandsFreeService, AnotherOwnerIsShownTakenOverWhenItLeavesAndBlueZEndsTheLinkAndTheRegistrationGoesAtExit)
{
    LinkWorld w;
    GDBusConnection* other = w.world.system_bus->open_connection();
    GVariantBuilder none;
    g_variant_builder_init(&none, G_VARIANT_TYPE("a{sv}"));
    GVariant* r = g_dbus_connection_call_sync(other, "org.bluez", "/org/bluez", "org.bluez.ProfileManager1",
                                              "RegisterProfile", g_variant_new("(osa{sv})", "/other/hf", kHf, &none),
                                              nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    ASSERT_TRUE(r);
    g_variant_unref(r);
    th::ScreenReader reader(w.world);
    w.launch(th::ScreenReader::env());
    ASSERT_TRUE(w.app->wait_for_output("⚠️ Another program holds the hands-free role: UUID already registered")) << w.out();
    // The window says what frees the role, in the lines WirePlumber 0.4 (Debian 12) takes.
    const std::string notice =
        "⚠️ Another program is the phone's hands-free unit (on Debian 12 PipeWire's WirePlumber by default).\n"
        "Leave hfp_hf and hsp_hs out of its bluez5.roles, in\n"
        "~/.config/wireplumber/bluetooth.lua.d/51-telvane.lua:\n"
        "bluez_monitor.properties[\"bluez5.roles\"] = \"[ a2dp_sink a2dp_source hsp_ag hfp_ag ]\"\n"
        "then: systemctl --user restart wireplumber. Telvane takes over once it lets go.";
    pid_t pid = w.app->process().pid();
    EXPECT_TRUE(th::wait_until([&] { return th::shows_text(reader, pid, notice); }, 10000))
        << testing::PrintToString(reader.shown_texts(pid)) << "\n" << w.out();
    th::wait_until([] { return false; }, 1500);
    EXPECT_EQ(w.phone.connection_count(), 0) << "a link was asked for while another program holds the role\n" << w.out();

    g_dbus_connection_close_sync(other, nullptr, nullptr);
    g_object_unref(other);
    ASSERT_TRUE(w.app->wait_for_output("✓ Hands-free service registered: the other program let go")) << w.out();
    ASSERT_TRUE(w.app->wait_for_output(kListenerReadyLine)) << w.out();
    EXPECT_TRUE(th::wait_until([&] { return !th::shows_text(reader, pid, "Another program"); }, 5000))
        << "the notice stays after the take-over: " << testing::PrintToString(reader.shown_texts(pid));
    EXPECT_TRUE(th::shows_text(reader, pid, "Sim Phone")) << testing::PrintToString(reader.shown_texts(pid));
    EXPECT_TRUE(has_event(*w.world.bluez, std::string("RegisterProfile ") + kHf + " 263 7")) << "version and features as uint16";
    EXPECT_TRUE(adapter_offers(*w.world.bluez, kHf));

    int conn = w.phone.listener_connection();
    g_variant_unref(w.world.bluez->call(kDevice, "org.bluez.Device1", "DisconnectProfile", g_variant_new("(s)", kAg)));
    EXPECT_TRUE(w.phone.wait_for_close(conn, 5000)) << "BlueZ keeps its own copy: the link needs a shutdown\n" << w.out();
    EXPECT_TRUE(w.app->wait_for_output("🔌 Hands-free link closed at BlueZ's request")) << w.out();
    th::wait_until([] { return false; }, 1500);
    EXPECT_EQ(w.phone.connection_count(), 1) << "asked for the link BlueZ just ended\n" << w.out();

    ASSERT_TRUE(th::wait_until([&] { return th::close_all_windows(w.world.x.display()); }, 5000));
    EXPECT_EQ(w.app->wait_exit(15000), 0) << w.out();
    EXPECT_TRUE(has_event(*w.world.bluez, std::string("UnregisterProfile ") + kHf));
    EXPECT_FALSE(adapter_offers(*w.world.bluez, kHf));
}

// The PC tries a paired phone at start, again when BlueZ sees it back in
// range, and the phone may connect by itself; the window keeps answering.
TEST(Reconnect, APairedPhoneIsConnectedAtStartAtOnceWhenBackInRangeAndWhenItConnectsByItself)
{
    LinkWorld w(false);
    Heartbeat heartbeat(w.world.session_bus);
    w.launch();
    ASSERT_TRUE(w.app->wait_for_output("🔗 Connecting to Sim Phone…")) << w.out();
    ASSERT_TRUE(w.app->wait_for_output(kListenerReadyLine, 20000)) << w.out();
    EXPECT_NE(w.out().find("State: CONNECTING -> CONNECTED"), std::string::npos) << w.out();
    EXPECT_GT(heartbeat.beats(), 0) << "no beat while the phone connected at start (first answer after "
                                    << heartbeat.first_ms() << " ms)";

    // Out of range: the tries fail and back off.
    w.phone.set_in_range(false);
    w.world.bluez->disconnect_device(kLinkedPhone);
    ASSERT_TRUE(w.app->wait_for_output("State: CONNECTED -> PAIRED")) << w.out();
    ASSERT_TRUE(w.app->wait_for_output("⚠️ Not connected: br-connection-page-timeout", 15000)) << w.out();

    // Back: tried at once, not after the back-off.
    w.phone.set_in_range(true);
    auto back = std::chrono::steady_clock::now();
    w.seen_by_bluez();
    ASSERT_TRUE(th::wait_until([&] { return w.app->count(kListenerReadyLine) == 2; }, 20000)) << w.out();
    EXPECT_LT(std::chrono::steady_clock::now() - back, std::chrono::seconds(4)) << w.out();

    // The phone goes, and comes back by itself before the PC's next try.
    w.phone.set_in_range(false);
    w.world.bluez->disconnect_device(kLinkedPhone);
    ASSERT_TRUE(th::wait_until([&] { return w.app->count("State: CONNECTED -> PAIRED") == 2; })) << w.out();
    w.phone.set_in_range(true);
    g_variant_unref(w.world.bluez->call("/", "org.bluez.Mock", "PhoneConnects", g_variant_new("(s)", kLinkedPhone.c_str())));
    ASSERT_TRUE(th::wait_until([&] { return w.app->count(kListenerReadyLine) == 3; }, 20000)) << w.out();
    EXPECT_GE(w.app->count("🔗 Hands-free link handed over by BlueZ"), 3) << w.out();
    heartbeat.stop();
    EXPECT_GT(heartbeat.beats(), 20);
    heartbeat.expect_quick(w.out());
}

// The phone opens the voice link itself when the call is answered on its own
// screen: sound both ways within 2 s, in packets of the phone's size (48)
// whatever the MTU says (64). Other devices' links, and the phone's without
// a call, are refused.
TEST(PhoneVoiceLink, AnsweredOnThePhoneItsOwnLinkCarriesSoundBothWaysAndOthersAreRefused)
{
    th::PulseServer pulse;
    LinkWorld w;
    w.phone.set_sco_mtu(64);
    Heartbeat heartbeat(w.world.session_bus);
    w.launch({{"PULSE_SERVER", pulse.server()}});
    ASSERT_TRUE(w.app->wait_for_output(kListenerReadyLine, 20000)) << w.out();

    sim::SimPhone stranger(w.shim.path(), "66:77:88:99:AA:BB");
    stranger.set_pc_address(kPcAddr);
    EXPECT_LT(stranger.open_sco_to_pc(), 0);
    EXPECT_LT(w.phone.open_sco_to_pc(), 0) << "taken without a call";
    EXPECT_EQ(w.app->count("ℹ️ Voice link from"), 2) << w.out();

    ASSERT_TRUE(w.phone.incoming_call("+4930123456"));
    ASSERT_TRUE(w.app->wait_for_output("🔔")) << w.out();
    auto answered = std::chrono::steady_clock::now();
    w.phone.remote_answer();
    int fd = w.phone.take_phone_sco(2000);
    ASSERT_GE(fd, 0) << w.out();
    th::ScoPeer peer(dup(fd), 48);
    peer.start_sending([](uint64_t i) { return int16_t((i % 40) < 20 ? 6000 : -6000); });
    EXPECT_TRUE(th::wait_until([&] { return peer.received_count() > 0; }, 2000)) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("🔊 Speaker active", 2000)) << w.out();
    EXPECT_LT(std::chrono::steady_clock::now() - answered, std::chrono::milliseconds(2500));
    EXPECT_TRUE(w.app->wait_for_output("✓ SCO audio connected (opened by the phone)")) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("ℹ️ SCO MTU: 64 byte")) << w.out();
    th::wait_until([&] { return peer.received_count() > 4000; }, 3000);
    auto packets = peer.received_packets();
    ASSERT_FALSE(packets.empty());
    for (const auto& p : packets)
        ASSERT_EQ(p.bytes, 48u);
    EXPECT_LT(stranger.open_sco_to_pc(), 0) << "another device during the call";
    EXPECT_EQ(sockets_kept_across_exec(w.app->process().pid()), "") << "a helper started now would hold these";
    EXPECT_EQ(w.app->find("SCO audio connecting"), std::string::npos) << "the PC opened a link of its own\n" << w.out();

    // The phone's user takes the sound to the handset: it stays there until
    // the window's button (pressed through the application's action) brings it back.
    w.phone.listen_sco();
    w.phone.move_sound_to_handset();
    ASSERT_TRUE(w.app->wait_for_output("🔈 Sound on the phone")) << w.out();
    th::wait_until([] { return false; }, 2500);
    EXPECT_EQ(w.app->find("SCO audio connecting"), std::string::npos) << "the PC took the sound back by itself\n" << w.out();
    GVariant* r = g_dbus_connection_call_sync(w.world.session_bus.connection(), "org.telvane.Telvane",
                                              "/org/telvane/Telvane", "org.gtk.Actions", "Activate",
                                              g_variant_new("(sava{sv})", "sound-to-pc", nullptr, nullptr), nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    ASSERT_TRUE(r);
    g_variant_unref(r);
    EXPECT_TRUE(w.app->wait_for_output("🔊 Sound back to this PC")) << w.out();
    int back = w.phone.accept_sco(5000);
    EXPECT_GE(back, 0) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("✓ SCO audio connected\n")) << w.out();
    EXPECT_EQ(sockets_kept_across_exec(w.app->process().pid()), "") << "a helper started now would hold these";
    EXPECT_TRUE(th::wait_until([&] { return w.app->count("🔊 Speaker active") >= 2; }, 5000)) << w.out();

    w.phone.remote_hangup();
    EXPECT_TRUE(th::wait_until([&] { return w.app->count("🔇 Speaker closed") >= 2; }, 5000)) << w.out();

    // A phone that rings in-band: its ring comes over its own link, kept
    // while the call rings and closed when the caller gives up.
    w.phone.set_inband_ringing(true);
    ASSERT_TRUE(w.phone.incoming_call("+4930999888"));
    int ring = w.phone.take_phone_sco(3000);
    ASSERT_GE(ring, 0) << w.out();
    th::ScoPeer ringing(dup(ring), 48);
    ringing.start_sending([](uint64_t i) { return int16_t((i % 20) < 10 ? 4000 : -4000); });
    th::wait_until([] { return false; }, 1500);
    w.phone.ring(w.phone.listener_connection());
    th::wait_until([] { return false; }, 500);
    EXPECT_FALSE(ringing.link_closed_by_host()) << w.out();
    EXPECT_GT(ringing.received_count(), 0u);
    w.phone.remote_hangup();
    EXPECT_TRUE(th::wait_until([&] { return ringing.link_closed_by_host(); }, 5000)) << w.out();

    // Answered from the window while it rings in-band: the phone opens the
    // call's link anew, and it replaces the ring's.
    ASSERT_TRUE(w.phone.incoming_call("+4930777666"));
    int ring2 = w.phone.take_phone_sco(3000);
    ASSERT_GE(ring2, 0) << w.out();
    th::ScoPeer ringing2(dup(ring2), 48);
    // The window rings (it asks for attention) before it is answered.
    auto urgent = [&] {
        std::string id = th::run_x_command(w.world.x.display(), {"xdotool", "search", "--onlyvisible", "--name", "^Telvane$"})
                             .value_or("");
        auto hints = th::run_x_command(w.world.x.display(), {"xprop", "-id", id.substr(0, id.find('\n')), "WM_HINTS"});
        return hints && hints->find("urgency hint bit is set") != std::string::npos;
    };
    ASSERT_TRUE(th::wait_until(urgent, 10000)) << w.out();
    size_t from = w.phone.command_count();
    GVariant* answer = g_dbus_connection_call_sync(w.world.session_bus.connection(), "org.telvane.Telvane",
                                                   "/org/telvane/Telvane", "org.gtk.Actions", "Activate",
                                                   g_variant_new("(sava{sv})", "answer-call", nullptr, nullptr),
                                                   nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    ASSERT_TRUE(answer);
    g_variant_unref(answer);
    ASSERT_TRUE(w.phone.wait_for_command("ATA", 5000, nullptr, -1, from)) << w.out();
    int talk_fd = w.phone.take_phone_sco(3000);
    ASSERT_GE(talk_fd, 0) << w.out();
    EXPECT_TRUE(th::wait_until([&] { return ringing2.link_closed_by_host(); }, 5000)) << w.out();
    th::ScoPeer talk(dup(talk_fd), 48);
    talk.start_sending(square_500hz);
    EXPECT_TRUE(th::wait_until([&] { return talk.received_count() > 0; }, 2000)) << w.out();
    w.phone.set_indicator("call", 1, true);
    w.phone.set_indicator("callsetup", 0, true);
    w.phone.remote_hangup();
    EXPECT_TRUE(th::wait_until([&] { return talk.link_closed_by_host(); }, 5000)) << w.out();
    heartbeat.stop();
    EXPECT_GT(heartbeat.beats(), 20);
    heartbeat.expect_quick(w.out());
}

// A call already under way when the link comes up gets the phone's own voice
// link. A phone whose active audio device is something else refuses ours;
// the PC tries again, without holding the window, until it is taken.
TEST(PhoneVoiceLink, ACallAlreadyThereGetsThePhonesLinkAndARefusedConnectIsTriedAgain)
{
    th::PulseServer pulse;
    LinkWorld w;
    w.phone.set_indicator("call", 1);
    Heartbeat heartbeat(w.world.session_bus);
    w.launch({{"PULSE_SERVER", pulse.server()}});
    ASSERT_TRUE(w.app->wait_for_output(kListenerReadyLine, 20000)) << w.out();
    int there = w.phone.take_phone_sco(5000);
    ASSERT_GE(there, 0) << w.out();
    th::ScoPeer peer(dup(there), 48);
    peer.start_sending(square_500hz);
    EXPECT_TRUE(w.app->wait_for_output("✓ SCO audio connected (opened by the phone)")) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("🔊 Speaker active")) << w.out();
    EXPECT_TRUE(th::wait_until([&] { return peer.received_count() > 0; }, 2000)) << w.out();
    EXPECT_EQ(w.app->find("SCO audio connecting"), std::string::npos) << "the PC opened a link of its own\n" << w.out();
    // It came while the handshake still ran, and was taken at once.
    EXPECT_EQ(w.phone.voice_links_refused(), 0) << w.out();
    w.phone.remote_hangup();
    ASSERT_TRUE(th::wait_until([&] { return peer.link_closed_by_host(); }, 5000)) << w.out();

    w.phone.set_opens_voice(false);
    w.phone.set_active_audio_device(false);
    w.phone.set_indicator("call", 1, true);   // dialled on the phone's own screen
    ASSERT_TRUE(w.app->wait_for_output("⚠️ SCO connection error", 10000)) << w.out();
    EXPECT_EQ(w.app->count("🔊 Speaker active"), 1) << w.out();
    w.phone.set_active_audio_device(true);
    int ours = w.phone.accept_sco(15000);
    ASSERT_GE(ours, 0) << w.out();
    th::ScoPeer second(dup(ours), 48);
    second.start_sending(square_500hz);
    EXPECT_TRUE(th::wait_until([&] { return w.app->count("🔊 Speaker active") == 2; }, 5000)) << w.out();
    w.phone.remote_hangup();
    EXPECT_TRUE(th::wait_until([&] { return second.link_closed_by_host(); }, 5000)) << w.out();
    heartbeat.stop();
    heartbeat.expect_quick(w.out());
}

}  // namespace
