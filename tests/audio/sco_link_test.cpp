// sco_connect and stop_sco_audio against the simulated phone (through the
// Bluetooth socket shim) and a real PulseAudio daemon.
#include "../hfp/shim_fixture.h"
#include "audio/pumps.h"
#include "audio/sco.h"
#include "audio_log_capture.h"
#include "audio_phone.h"
#include "audio_pulse.h"
#include "base/workers.h"
#include "store/connection_state.h"
#include "hfp/hfp.h"
#include "hfp/listener.h"

#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>

namespace {

const char* kPhonePath = "/org/bluez/hci0/dev_00_11_22_33_44_55";

int count_entries(const char* dir)
{
    return static_cast<int>(std::ranges::distance(std::filesystem::directory_iterator(dir)));
}

// Each open descriptor and what it is ("7 -> socket:[1234]").
std::set<std::string> open_descriptors()
{
    std::set<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        out.insert(entry.path().filename().string() + " -> " + std::filesystem::read_symlink(entry.path(), ec).string());
    }
    return out;
}

std::string added(const std::set<std::string>& before, const std::set<std::string>& now)
{
    std::string out;
    for (const std::string& d : now)
        if (!before.count(d))
            out += " " + d;
    return out;
}

// No link, no pumps, no streams left.
bool audio_stopped()
{
    return !sco_audio_running.load() && sco_socket.load() == -1 && !pulse_playback.load() && !pulse_capture.load();
}

// The shim's world with the phone accepting SCO, a sound server, a `pactl`
// on PATH that only records its calls.
class ScoLink : public ShimTest {
protected:
    void SetUp() override
    {
        ShimTest::SetUp();
        phone->listen_sco();
        copy_text(device_path, kPhonePath);
        // Lists the headphones' module and the phone's; only the phone's may go.
        th::write_file(bin.file("pactl"), std::string("#!/bin/sh\necho \"$@\" >> ") + bin.file("pactl.log") +
                                              "\n[ \"$*\" = \"list modules short\" ] && printf '7\\tmodule-bluez5-device\\t"
                                              "path=/org/bluez/hci0/dev_00_1B_66_AA_BB_CC\\t\\n25\\tmodule-bluez5-device\\t"
                                              "path=" + kPhonePath + "\\t\\n'\nexit 0\n");
        chmod(bin.file("pactl").c_str(), 0755);
        saved_path = getenv("PATH");
        setenv("PATH", (bin.path() + ":" + saved_path).c_str(), 1);
    }
    void TearDown() override
    {
        stop_sco_audio(nullptr);
        sco_reap_pump_threads(true);
        setenv("PATH", saved_path.c_str(), 1);
        // Only now: a server that goes away under a stream that holds a
        // partly read record fragment deadlocks libpulse's own teardown.
        pulse_server.reset();
        ShimTest::TearDown();
    }
    th::PulseServer& start_pulse()
    {
        pulse_server = std::make_unique<th::PulseServer>();
        return *pulse_server;
    }
    int sco_connects() const { return th::occurrences(th::read_file(dir.file("shim.log")), "connect sco"); }

    th::TempDir bin;
    std::string saved_path;
    std::unique_ptr<th::PulseServer> pulse_server;
};

// Every way the connect can go, through the shim's fault files: the lines a
// user reads, whether audio streams, and what was tried.
TEST_F(ScoLink, ConnectOutcomes)
{
    struct Row {
        const char* name;
        std::vector<std::pair<std::string, std::string>> faults;
        int mtu_file;   // 0: leave the shim's default (64)
        int connects;   // two: retried after the sound server let go of the phone, or in CVSD
        std::vector<std::string> lines;   // consecutive, from the first
        int mtu;                          // -1: no link, no streams
        int codec = 1;                    // agreed over the AT link before the connect
        bool refuse_transparent = false;  // the adapter cannot carry transparent links
        int voice = 0x0060;               // BT_VOICE of the last connect
    };
    const std::string connecting = "🔊 SCO audio connecting...", connected = "✓ SCO audio connected",
                      busy = "⚠️ SCO connection error: Device or resource busy",
                      clearing = "ℹ️ Clearing existing SCO connection...";
    const Row rows[] = {
        {"plain connect, MTU 60", {}, 60, 1,
         {connecting, connected, "ℹ️ SCO MTU: 60 byte", "⚠️ WebRTC AEC disabled (robot voice prevention)"}, 60},
        {"busy once: one retry after unloading the sound server's module", {{"connect-sco", "EBUSY 1"}}, 0, 2,
         {connecting, busy, clearing, "✓ SCO audio connected (retry)", connected, "ℹ️ SCO MTU: 64 byte"}, 64},
        {"too many links once: retried too", {{"connect-sco", "EMLINK 1"}}, 0, 2,
         {connecting, "⚠️ SCO connection error: Too many links", clearing, "✓ SCO audio connected (retry)"}, 64},
        {"host down: no retry", {{"connect-sco", "EHOSTDOWN"}}, 0, 1,
         {connecting, "⚠️ SCO connection error: Host is down"}, -1},
        {"no socket", {{"socket-sco", "EMFILE"}}, 0, 0, {"⚠️ SCO socket error"}, -1},
        {"voice setting refused: carries on", {{"setsockopt-bt_voice", "EINVAL"}}, 0, 1,
         {"ℹ️ SCO voice setting: Invalid argument", connecting, connected}, 64},
        {"MTU unreadable: 48 whatever came before", {{"getsockopt-sco_options", "EIO"}}, 60, 1,
         {connecting, connected, "ℹ️ SCO MTU not readable, default: 48"}, 48},
        {"no phone address: nothing at all", {}, 0, 0, {}, -1},
        {"mSBC agreed: a transparent link", {}, 60, 1,
         {connecting, connected, "ℹ️ SCO MTU: 60 byte", "⚠️ WebRTC AEC disabled (robot voice prevention)",
          "🎧 HD voice (mSBC)"}, 60, 2, false, 0x0003},
        {"transparent refused: CVSD on a second connect", {}, 60, 2,
         {connecting, "⚠️ LC3-SWB voice link failed (Operation not supported): falling back to CVSD", connected,
          "ℹ️ SCO MTU: 60 byte", "⚠️ WebRTC AEC disabled (robot voice prevention)", "🎧 Narrowband (CVSD)"}, 60, 3, true},
    };
    start_pulse();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        unlink(dir.file("shim.log").c_str());
        unlink(bin.file("pactl.log").c_str());
        sco_mtu.store(60);
        if (row.mtu_file)
            phone->set_sco_mtu(row.mtu_file);
        else
            unlink((phone->dir() + "/sco_mtu").c_str());
        for (const auto& [op, value] : row.faults)
            th::write_file(dir.file("fault-" + op), value + "\n");
        sco_codec.store(row.codec);
        phone->refuse_transparent(row.refuse_transparent);
        copy_text(device_addr, row.lines.empty() ? "" : kPhone);   // the one row that logs nothing

        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        th::StdoutCapture log;
        sco_connect();
        const bool streams = row.mtu > 0;
        int fd = streams ? phone->accept_sco(2000) : -1;
        if (streams) {
            ASSERT_GE(fd, 0);
            ASSERT_TRUE(log.wait_for("🎤 Microphone active")) << log.text();
            ASSERT_TRUE(log.wait_for("🔊 Speaker active")) << log.text();
            EXPECT_EQ(sco_audio_running.load(), 1);
            EXPECT_EQ(sco_mtu.load(), row.mtu);
        } else {
            EXPECT_TRUE(audio_stopped());
            EXPECT_EQ(sco_mtu.load(), 60);   // untouched
        }
        std::vector<std::string> lines = log.lines();
        ASSERT_GE(lines.size(), row.lines.size()) << log.text();
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + long(row.lines.size())), row.lines);
        EXPECT_TRUE(streams || lines.size() == row.lines.size()) << log.text();
        EXPECT_EQ(sco_connects(), row.connects);
        if (row.connects) {
            EXPECT_EQ(phone->last_sco_voice(), row.voice);
        }
        EXPECT_EQ(th::read_file(bin.file("pactl.log")), row.connects == 2 && !row.refuse_transparent ? "list modules short\nunload-module 25\n" : "");

        stop_sco_audio(nullptr);
        sco_reap_pump_threads(true);
        if (fd >= 0)
            phone->drop_sco(fd);
        for (const auto& [op, value] : row.faults)
            unlink(dir.file("fault-" + op).c_str());
    }
}

// Calls ended every way (stop, the hang-up's stop racing a direct one, the
// HFP close, the phone dropping the link), and replaced while streaming,
// over and over: nothing may pile up.
TEST_F(ScoLink, HundredCallsLeaveNoThreadStreamOrDescriptorBehind)
{
    th::PulseServer& pulse = start_pulse();
    sco_connect();   // first call: libraries settle their own threads and descriptors
    int fd = phone->accept_sco(3000);
    stop_sco_audio(nullptr);
    sco_reap_pump_threads(true);
    phone->drop_sco(fd);
    const int threads = count_entries("/proc/self/task");
    const int fds = count_entries("/proc/self/fd");
    const std::set<std::string> descriptors = open_descriptors();

    for (int call = 0; call < 100; ++call) {
        sco_connect();
        fd = phone->accept_sco(3000);
        ASSERT_GE(fd, 0) << "call " << call;
        if (call == 3) {
            // A dial and the phone's own "call active" may connect at the same
            // moment: one link and one audio thread, the old one gone first.
            th::StdoutCapture log;
            ASSERT_TRUE(th::wait_until([] { return pulse_capture.load() && pulse_playback.load(); }, 3000));
            th::ScoPeer old_peer(dup(fd));
            std::thread a([] { sco_connect(); }), b([] { sco_connect(); });
            int second = phone->accept_sco(3000), third = phone->accept_sco(3000);
            a.join();
            b.join();
            ASSERT_TRUE(second >= 0 && third >= 0);
            th::ScoPeer peer2(dup(second)), peer3(dup(third));
            EXPECT_TRUE(th::wait_until([&] { return old_peer.link_closed_by_host(); }, 3000));
            EXPECT_EQ(log.count("ℹ️ Closing previous SCO..."), 2) << log.text();
            EXPECT_TRUE(th::wait_until([&] { return pulse.client_streams("source-outputs", "Telvane") == 1 &&
                                                    pulse.client_streams("sink-inputs", "TELVANE") == 1; }, 5000));
            EXPECT_EQ(sco_reap_pump_threads(false), 1);
            uint64_t mark = peer2.received_count() + peer3.received_count();
            EXPECT_TRUE(th::wait_until([&] { return peer2.received_count() + peer3.received_count() > mark + 800; }, 3000));
            stop_sco_audio(nullptr);
            phone->drop_sco(second);
            phone->drop_sco(third);
        }
        if (call % 20 == 7) {
            // The phone drops the link once the pumps got going: the capture
            // pump ends the audio itself, reporting it once.
            th::StdoutCapture log;
            ASSERT_TRUE(th::wait_until([] { return pulse_capture.load() && pulse_playback.load(); }, 3000));
            phone->drop_sco(fd);
            ASSERT_TRUE(th::wait_until([] { return sco_reap_pump_threads(false) == 0; }, 5000));
            EXPECT_TRUE(audio_stopped());
            EXPECT_EQ(log.count("⚠️ Microphone send error: "), 1) << log.text();
            EXPECT_EQ(log.count("🔇 SCO closed (remote closed)"), 1) << log.text();
            continue;
        }
        if (call == 1) {
            // The hang-up stops running audio from a one-off thread and directly at once.
            th::StdoutCapture log;
            ASSERT_TRUE(th::wait_until([] { return pulse_capture.load() && pulse_playback.load(); }, 3000));
            GThread* hangup = g_thread_new("hangup_cleanup", stop_sco_audio, const_cast<char*>("🔊 SCO closed"));
            stop_sco_audio(nullptr);
            g_thread_join(hangup);
            EXPECT_TRUE(audio_stopped());
            EXPECT_EQ(log.count("🔊 SCO closed"), 1) << log.text();
            EXPECT_EQ(log.count("error") + log.count("⚠️ Phone audio cut"), 0) << log.text();
        } else if (call % 2) {
            stop_sco_audio(nullptr);
        } else {
            hfp_close();   // clears the flag and closes the socket, nothing else
        }
        phone->drop_sco(fd);
    }
    stop_sco_audio(nullptr);
    EXPECT_EQ(sco_reap_pump_threads(true), 0);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_TRUE(th::wait_until([&] { return count_entries("/proc/self/task") <= threads; }, 3000))
        << count_entries("/proc/self/task") << " threads, were " << threads;
    // The last call's sound-server connection closes on its way out, as its thread does.
    EXPECT_TRUE(th::wait_until([&] { return count_entries("/proc/self/fd") <= fds; }, 3000))
        << count_entries("/proc/self/fd") << " descriptors, were " << fds << "; new:" << added(descriptors, open_descriptors());
    EXPECT_TRUE(audio_stopped());
    EXPECT_TRUE(th::wait_until([&] { return pulse.client_streams("sink-inputs", "TELVANE") == 0; }, 3000));
    EXPECT_EQ(pulse.client_streams("source-outputs", "Telvane"), 0);
}

// The phone goes during a call: its links end without the window waiting
// for their threads. A listener still on its way out (here one whose
// phone's link is slow to end) and the voice pumps are waited for by a
// worker, which the program's exit joins before its state goes.
TEST_F(ScoLink, ATeardownDuringACallLeavesTheWaitingToAWorker)
{
    start_pulse();
    sco_connect();
    int fd = phone->accept_sco(3000);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(th::wait_until([] { return pulse_capture.load() && pulse_playback.load(); }, 3000));
    static std::atomic<bool> let_go, listener_ended;
    let_go = false;
    listener_ended = false;
    incoming_call_thread = g_thread_new("incoming-call", [](gpointer) -> gpointer {
        for (int waited = 0; waited < 5000 && !let_go.load(); waited += 10)
            g_usleep(10 * 1000);
        listener_ended = true;
        return nullptr;
    }, nullptr);
    th::ScoPeer peer(dup(fd));
    th::StdoutCapture log;
    ASSERT_TRUE(g_main_context_acquire(nullptr));
    cleanup_connection(nullptr, false);
    EXPECT_FALSE(listener_ended.load()) << "the window waited for the listener";
    EXPECT_EQ(incoming_call_thread, nullptr);
    EXPECT_EQ(sco_socket.load(), -1);
    EXPECT_TRUE(th::wait_until([&] { return peer.link_closed_by_host(); }, 3000)) << "the phone's voice link stays up";
    let_go = true;
    join_workers();   // as the program's exit does
    g_main_context_release(nullptr);
    EXPECT_TRUE(listener_ended.load());
    EXPECT_TRUE(audio_stopped());
    EXPECT_EQ(log.count("✓ HFP connection closed"), 1) << log.text();
    phone->drop_sco(fd);
}

}  // namespace
