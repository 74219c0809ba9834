// Runs the real telvane binary beside a simulated phone, so the whole road
// can be seen on a machine without Bluetooth: a private system bus with a
// stand-in BlueZ that knows one paired phone, the Bluetooth socket shim and
// the simulated phone behind it, a stand-in obexd that serves its contacts
// and call history, and a sound server (the user's own when one answers).
//
// The phone connects, rings a few seconds later, and plays a caller's voice
// once the call is answered. Dial a number on the dialpad for an outgoing
// call. Close the window (or press Ctrl+C) to end the demo: everything it
// started ends with it and its temporary folder is removed.
//
// Without a display it starts a virtual X server of its own. With
// --screenshot FILE the phone answers its own ringing call and the demo
// writes a picture of the window during that call to FILE, then ends.
#include "simphone.h"
#include "world/buses.h"
#include "world/processes.h"
#include "world/sound_server.h"
#include "world/xvfb.h"

#include <glib.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

namespace {

constexpr const char* kPhoneAddress = "00:1A:7D:DA:71:13";
constexpr const char* kCaller = "+34600111222";   // in the phone's contacts
std::atomic<bool> stop_requested{false};

void narrate(const char* text)
{
    std::fprintf(stderr, "\033[1;35m🎬 demo:\033[0m %s\n", text);
}

void on_signal(int) { stop_requested = true; }

// Waits for a command from the phone's side, giving up at once on Ctrl+C.
bool wait_for_phone_command(sim::SimPhone& phone, th::Process& app, const char* prefix, int ms)
{
    for (int waited = 0; waited < ms; waited += 100) {
        if (stop_requested || !app.running())
            return false;
        if (phone.wait_for_command(prefix, 100))
            return true;
    }
    return false;
}

bool take_screenshot(const std::string& display, const std::string& file)
{
    auto found = th::run_x_command(display, {"xdotool", "search", "--onlyvisible", "--name", "^Telvane$"});
    if (!found || found->empty())
        return false;
    std::string id = found->substr(0, found->find('\n'));
    return th::run_x_command(display, {"import", "-silent", "-window", id, "png:" + file}, 15000).has_value();
}

bool sleep_while_running(th::Process& app, int ms)
{
    for (int waited = 0; waited < ms; waited += 50) {
        if (stop_requested || !app.running())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

bool sound_server_answers()
{
    gint status = -1;
    const gchar* argv[] = {"pactl", "info", nullptr};
    if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr,
                      GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                      nullptr, nullptr, nullptr, nullptr, &status, nullptr))
        return false;
    return g_spawn_check_wait_status(status, nullptr);
}

// The caller's voice: a soft two-tone phrase, paced like a real SCO link
// (one 48-byte packet every 3 ms), until the link goes away.
void play_caller_voice(int fd)
{
    const int rate = 8000, samples_per_packet = 24;
    uint64_t n = 0;
    auto next = std::chrono::steady_clock::now();
    int16_t packet[samples_per_packet];
    while (!stop_requested) {
        for (int i = 0; i < samples_per_packet; ++i, ++n) {
            double t = double(n) / rate;
            double phrase = std::fmod(t, 1.2);
            double freq = phrase < 0.4 ? 440.0 : (phrase < 0.8 ? 554.4 : 0.0);
            double envelope = freq > 0 ? std::sin(M_PI * std::fmod(phrase, 0.4) / 0.4) : 0.0;
            packet[i] = int16_t(6000.0 * envelope * std::sin(2 * M_PI * freq * t));
        }
        if (send(fd, packet, sizeof packet, MSG_NOSIGNAL) <= 0)
            return;
        next += std::chrono::microseconds(3000);
        std::this_thread::sleep_until(next);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string screenshot;
    if (argc == 3 && std::strcmp(argv[1], "--screenshot") == 0) {
        screenshot = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: telvane-demo [--screenshot FILE]\n");
        return 2;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGHUP, on_signal);
    std::signal(SIGPIPE, SIG_IGN);

    // Declared first so they go last: every child is stopped before the
    // folder it works in is removed.
    th::TempDir dir;
    std::unique_ptr<th::Xvfb> xvfb;
    std::string display = g_getenv("DISPLAY") ? g_getenv("DISPLAY") : "";
    if (display.empty()) {
        xvfb = std::make_unique<th::Xvfb>();
        display = xvfb->display();
        narrate(("no display: running on a virtual X server; look at it with: DISPLAY=" + display +
                 " import -window root telvane.png").c_str());
    }
    if (stop_requested)
        return 0;

    narrate("starting a stand-in BlueZ with one paired phone, \"Demo Phone\"");
    th::DbusDaemon system_bus(dir.path());
    th::DbusDaemon session_bus(dir.path());
    th::MockBluez bluez(system_bus, dir.file("bluez.log"));
    bluez.add_adapter("hci0", "telvane-demo");
    bluez.add_device(kPhoneAddress, "Demo Phone");
    bluez.pair_device(kPhoneAddress);
    if (stop_requested)
        return 0;

    g_mkdir_with_parents(dir.file("bt").c_str(), 0700);
    sim::SimPhone phone(dir.file("bt"), kPhoneAddress);
    phone.serve_hfp(7);
    phone.listen_sco();
    phone.set_auto_call_progress(true);
    phone.set_indicator("battchg", 4);
    phone.set_indicator("signal", 4);

    th::FakeObexd obexd(session_bus, dir.path());
    obexd.configure(std::string("{\"files\": {\"pb\": \"") + TELVANE_DEMO_DATA + "/android_pb.vcf\", \"ich\": \"" +
                    TELVANE_DEMO_DATA + "/ich.vcf\", \"och\": \"" + TELVANE_DEMO_DATA + "/och.vcf\", \"mch\": \"" +
                    TELVANE_DEMO_DATA + "/mch.vcf\"}}");

    // The demo's session bus is its own: a notification server there keeps
    // the program's ringing and missed-call notices from failing in the log.
    std::unique_ptr<th::FakeNotifications> notifications;
    try {
        notifications = std::make_unique<th::FakeNotifications>(session_bus, dir.path());
    } catch (const std::exception&) {
        narrate("no notification server: the program's notices are left out");
    }

    th::Env env = sim::shim_env(dir.file("bt"));
    env["DBUS_SYSTEM_BUS_ADDRESS"] = system_bus.address();
    env["DBUS_SESSION_BUS_ADDRESS"] = session_bus.address();
    env["DISPLAY"] = display;
    std::unique_ptr<th::PulseServer> pulse;
    if (stop_requested)
        return 0;
    if (!sound_server_answers()) {
        narrate("no sound server answers: starting one with a silent output (nothing will be audible)");
        try {
            pulse = std::make_unique<th::PulseServer>();
            env["PULSE_SERVER"] = pulse->server();
        } catch (const std::exception& e) {
            narrate((std::string("no sound server could be started (") + e.what() + "): calls will have no voice").c_str());
        }
    }

    if (stop_requested)
        return 0;

    gchar* cwd = g_get_current_dir();
    std::string workdir = cwd;
    g_free(cwd);
    th::Process app({TELVANE_BINARY}, env, workdir, "/dev/stdout", "/dev/stderr");

    std::thread voice([&] {
        while (!stop_requested && app.running()) {
            int fd = phone.voice_link(300);
            if (fd < 0)
                continue;
            narrate("the voice link is up: you hear the caller");
            play_caller_voice(fd);
            phone.drop_sco(fd);
        }
    });

    if (sleep_while_running(app, 3000)) {
        narrate("the phone connects to the PC");
        bluez.connect_device(kPhoneAddress);
    }
    int status = 0;
    if (!screenshot.empty()) {
        status = 1;
        if (wait_for_phone_command(phone, app, "AT+CLIP=1", 30000) && sleep_while_running(app, 3000)) {
            phone.incoming_call(kCaller);
            sleep_while_running(app, 2000);
            phone.remote_answer();
            // Time for the header, the call display and the buttons to settle.
            if (sleep_while_running(app, 3000) && take_screenshot(display, screenshot)) {
                narrate(("the window during a call: " + screenshot).c_str());
                status = 0;
            }
        }
        stop_requested = true;
    }
    if (wait_for_phone_command(phone, app, "AT+CLIP=1", 30000)) {
        while (sleep_while_running(app, 5000)) {
            size_t mark = phone.command_count();
            narrate("the phone rings: press \"✅ Answer\" or \"❌ Reject\"");
            phone.incoming_call(kCaller);
            sim::Command reply;
            bool taken = false;
            for (int waited = 0; waited < 30000 && !taken && app.running() && !stop_requested; waited += 200) {
                taken = phone.wait_for_command("ATA", 100, &reply, -1, mark) ||
                        phone.wait_for_command("AT+CHUP", 100, &reply, -1, mark);
            }
            if (!taken && (stop_requested || !app.running()))
                break;
            if (!taken) {
                narrate("nobody answered: the caller gives up");
                phone.remote_hangup();
                continue;
            }
            if (reply.text == "AT+CHUP") {
                narrate("call rejected; the phone will ring again shortly");
                continue;
            }
            narrate("call answered: press \"🔚 Hang up\" to end it (the caller hangs up after 30 s)");
            size_t answered = phone.command_count();
            bool hung_up = false;
            for (int waited = 0; waited < 30000 && !hung_up && app.running() && !stop_requested; waited += 200)
                hung_up = phone.wait_for_command("AT+CHUP", 200, nullptr, -1, answered);
            if (!hung_up) {
                narrate("the caller hangs up");
                phone.remote_hangup();
            }
            narrate("the phone will ring again in a moment; try the dialpad meanwhile");
            sleep_while_running(app, 10000);
        }
    }

    while (app.running() && !stop_requested)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop_requested = true;
    app.terminate();
    voice.join();
    narrate("done");
    return status;
}
