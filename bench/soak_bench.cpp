// Soak: many calls in a row through the real telvane binary (mock BlueZ, the
// simulated phone behind the Bluetooth socket shim, a real PulseAudio
// daemon), then one long call, watching the product's resident memory, open
// descriptors and threads, and the sanitizer reports in its stderr.
//
//   soak_bench [calls, default 500] [long call seconds, default 600] [seed, default 1]
//
// Each call is incoming (answered with the notification's action) or dialled
// (a tel: link handed to the running instance), carries voice both ways for
// a moment, and ends in one of three ways: the phone hangs up, the phone
// drops the link mid-call, or, after a second caller waited (+CCWA), the
// waiting call is answered (the first goes on hold) or rejected first. Built
// in the sanitizer build folder it runs that folder's binary.
#include "world/app_world.h"
#include "audio_phone.h"
#include "world/sound_server.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>

namespace {

struct Figures {
    long rss_kb = -1, threads = -1, fds = -1;
};

Figures figures_of(pid_t pid)
{
    Figures f;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            f.rss_kb = std::atol(line.c_str() + 6);
        else if (line.rfind("Threads:", 0) == 0)
            f.threads = std::atol(line.c_str() + 8);
    }
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        f.fds = 0;
        while (dirent* e = readdir(d))
            f.fds += e->d_name[0] != '.';
        closedir(d);
    }
    return f;
}

int sanitizer_reports(const std::string& path)
{
    std::string err = th::read_file(path);
    int n = 0;
    for (const char* marker : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"})
        for (size_t at = err.find(marker); at != std::string::npos; at = err.find(marker, at + 1))
            ++n;
    return n;
}

class Soak {
public:
    Soak(const std::string& pulse_server, unsigned seed) : w_(pulse_server), random_(seed)
    {
        // A small quarantine, so that freed memory held back to catch late
        // uses does not pass for growth.
        w_.app.reset();
        w_.env["ASAN_OPTIONS"] += ":quarantine_size_mb=16";
        w_.app = std::make_unique<th::Telvane>(w_.world, std::vector<std::string>{}, w_.env);
        w_.phone.set_auto_call_progress(true);
    }

    bool start() { return listener_ready(0, 20000); }
    bool alive() { return w_.app->process().running(); }
    int reports() const
    {
        return sanitizer_reports(w_.world.dir.file("telvane.out.err")) + second_reports_;
    }
    void print(const char* when, int calls)
    {
        Figures f = figures_of(w_.app->process().pid());
        std::printf("%-10s calls=%-4d rss_kb=%-7ld fds=%-4ld threads=%-3ld sanitizer_reports=%d stuck=%d\n", when,
                    calls, f.rss_kb, f.fds, f.threads, reports(), stuck_);
        std::fflush(stdout);
    }

    // One call, its kind and ending drawn at random.
    void one_call(int index, int hold_ms)
    {
        std::string number = "+4930" + std::to_string(1000000 + index);
        bool dialled = random_() % 3 == 0;
        ++(dialled ? dialled_ : incoming_);
        if (!(dialled ? dial(number) : ring_and_answer(number)) || !voice_flows())
            return recover(index, "call setup");
        std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
        unsigned ending = random_() % 10;
        if (ending == 0) {
            ++drops_;
            return drop_link(index);
        }
        waiting_ += ending <= 3;
        if (ending <= 3 && !second_caller(index, ending % 2 == 0))
            return recover(index, "waiting caller");
        end_all();
        if (!voice_closed())
            return recover(index, "hang-up");
        settle();
    }

    // The long call: voice both ways, figures every minute.
    void long_call(int seconds, int calls)
    {
        if (!ring_and_answer("+49301234567") || !voice_flows())
            return recover(-1, "long call setup");
        for (int s = 0; s < seconds && alive(); ++s) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            if ((s + 1) % 60 == 0)
                print(("call " + std::to_string((s + 1) / 60) + "min").c_str(), calls);
        }
        uint64_t before = peer_->received_count();
        if (!th::wait_until([&] { return peer_->received_count() > before + 800; }, 3000))
            std::fprintf(stderr, "long call: no voice from the product at the end\n");
        end_all();
        if (!voice_closed())
            recover(-1, "long call hang-up");
    }

    int stuck() const { return stuck_; }
    void print_tally() const
    {
        std::printf("incoming %d, dialled %d, dropped by the phone %d, with a waiting caller %d; "
                    "voice links opened after a call's end %d\n",
                    incoming_, dialled_, drops_, waiting_, late_voice_links_);
    }

private:
    int app_count(const std::string& text) const { return w_.app->count(text); }

    bool listener_ready(int seen, int timeout_ms)
    {
        return th::wait_until([&] { return app_count("✓ Incoming call listener ready") > seen; }, timeout_ms);
    }

    // A GAction of the running instance, as a notification button activates it.
    void activate(const char* action)
    {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            w_.world.session_bus.connection(), "org.telvane.Telvane", "/org/telvane/Telvane", "org.gtk.Actions",
            "Activate", g_variant_new("(s@av@a{sv})", action, g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0),
                                      g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
            nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        if (reply)
            g_variant_unref(reply);
        if (error) {
            std::fprintf(stderr, "%s: %s\n", action, error->message);
            g_error_free(error);
        }
    }

    // Presses until the phone hears the command: the button the action
    // presses turns sensitive only once the window has caught up.
    bool activate_until(const char* action, const std::string& command)
    {
        size_t from = w_.phone.command_count();
        for (int i = 0; i < 10; ++i) {
            activate(action);
            if (w_.phone.wait_for_command(command, 1000, nullptr, -1, from))
                return true;
        }
        return false;
    }

    bool ring_and_answer(const std::string& number)
    {
        int seen = app_count("🔔 INCOMING CALL");
        if (!w_.phone.incoming_call(number, "Soak Caller") ||
            !th::wait_until([&] { return app_count("🔔 INCOMING CALL") > seen; }, 5000))
            return false;
        return activate_until("answer-call", "ATA") && accept_voice();
    }

    bool dial(const std::string& number)
    {
        size_t from = w_.phone.command_count();
        {
            th::Telvane second(w_.world, {"tel:" + number}, w_.env, "second.out");
            second.wait_exit(15000);
        }
        second_reports_ += sanitizer_reports(w_.world.dir.file("second.out.err"));
        if (!w_.phone.wait_for_command("ATD", 10000, nullptr, -1, from) || !accept_voice())
            return false;
        w_.phone.remote_answer();
        return true;
    }

    bool accept_voice()
    {
        int fd = w_.phone.accept_sco(10000);
        if (fd < 0)
            return false;
        sco_fd_ = fd;
        peer_ = std::make_unique<th::ScoPeer>(dup(fd), 48);
        peer_->start_sending([](uint64_t i) { return int16_t(6000 * std::sin(2 * M_PI * 1000 * double(i) / 8000)); });
        return true;
    }

    bool voice_flows()
    {
        return th::wait_until([&] { return peer_->received_count() > 800; }, 30000);
    }

    bool voice_closed()
    {
        bool closed = th::wait_until([&] { return peer_->link_closed_by_host(); }, 5000);
        close_voice();
        return closed;
    }

    void close_voice()
    {
        peer_.reset();
        if (sco_fd_ >= 0)
            w_.phone.drop_sco(sco_fd_);
        sco_fd_ = -1;
    }

    // A second caller waits; answered (the first call goes on hold) or rejected.
    bool second_caller(int index, bool answer)
    {
        int seen = app_count("⏳ Waiting caller");
        if (!w_.phone.waiting_call("+4940" + std::to_string(2000000 + index)) ||
            !th::wait_until([&] { return app_count("⏳ Waiting caller") > seen; }, 5000))
            return false;
        seen = app_count("⏸ Call on hold");
        if (!activate_until(answer ? "answer-waiting" : "reject-waiting", "AT+CHLD="))
            return false;
        if (answer)
            return th::wait_until([&] { return app_count("⏸ Call on hold") > seen; }, 5000);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return true;
    }

    void end_all()
    {
        for (const char* indicator : {"callsetup", "callheld", "call"})
            if (w_.phone.indicator(indicator) != 0)
                w_.phone.set_indicator(indicator, 0, true);
    }

    // The phone drops the link mid-call, the voice link with it; the
    // product must come back when the phone is there again.
    void drop_link(int index)
    {
        int seen = app_count("✓ Incoming call listener ready");
        w_.phone.drop_all();
        close_voice();
        for (const char* indicator : {"callsetup", "callheld", "call"})
            w_.phone.set_indicator(indicator, 0);
        // Links lost soon after they came up are retried later and later (up to 30 s).
        if (!listener_ready(seen, 40000))
            return recover(index, "reconnect after a drop");
        settle();
    }

    // A voice link the product opened after the call's end (it should not)
    // is counted and closed, so that the next call takes its own.
    void settle()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (int fd; (fd = w_.phone.accept_sco(0)) >= 0;) {
            ++late_voice_links_;
            w_.phone.drop_sco(fd);
        }
    }

    void recover(int index, const char* what)
    {
        ++stuck_;
        std::fprintf(stderr, "call %d: %s did not go as expected\n", index, what);
        if (stuck_ <= 3) {
            std::string out = w_.app->output();
            size_t from = out.find('\n', out.size() > 4000 ? out.size() - 4000 : 0);
            std::fprintf(stderr, "--- the product's last words:\n%s---\n", out.substr(from + 1).c_str());
        }
        end_all();
        close_voice();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        th::wait_until([&] { return w_.phone.listener_connection() > 0; }, 40000);
        settle();
    }

    th::AudioCallWorld w_;
    std::mt19937 random_;
    std::unique_ptr<th::ScoPeer> peer_;
    int sco_fd_ = -1;
    int second_reports_ = 0;
    int stuck_ = 0;
    int incoming_ = 0, dialled_ = 0, drops_ = 0, waiting_ = 0, late_voice_links_ = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    int calls = argc > 1 ? std::atoi(argv[1]) : 500;
    int long_seconds = argc > 2 ? std::atoi(argv[2]) : 600;
    unsigned seed = argc > 3 ? unsigned(std::atoi(argv[3])) : 1;
    std::printf("telvane: %s\n", TELVANE_BINARY);

    th::PulseServer pulse;
    th::SignalPlayer mic(pulse.server(), "mic", 440);
    Soak soak(pulse.server(), seed);
    if (!soak.start()) {
        std::fprintf(stderr, "the product never got ready\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    soak.print("start", 0);
    auto t0 = std::chrono::steady_clock::now();
    std::mt19937 hold(seed + 1);
    int done = 0;
    for (; done < calls && soak.alive(); ++done) {
        soak.one_call(done, 100 + int(hold() % 400));
        if ((done + 1) % 100 == 0)
            soak.print("calls", done + 1);
    }
    double minutes = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 60;
    std::printf("%d calls in %.1f min\n", done, minutes);
    soak.print_tally();
    if (soak.alive())
        soak.long_call(long_seconds, done);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    bool alive = soak.alive();
    soak.print("end", done);
    std::printf("product %s, %d calls did not go as expected\n", alive ? "still running" : "DIED", soak.stuck());
    return alive && soak.reports() == 0 ? 0 : 1;
}
