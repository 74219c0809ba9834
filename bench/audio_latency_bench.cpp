// Voice path figures with a real PulseAudio daemon: added latency each way
// (phone -> SCO -> playback pump -> sink, and source -> capture pump -> SCO
// -> phone), CPU time of the call process per minute of call, gaps and
// underruns, beside a floor probe and the targets they are held to.
//
//   audio_latency_bench [call seconds, default 600] [clicks per direction, default 120] [1|2|3|binary]
//                       [normal-priority]
//
// One call per codec (CVSD, mSBC, LC3-SWB; a third argument runs one codec,
// or "binary" all of them without the comparison). "normal-priority" runs
// the binary with no right to real-time priority, and the tick probe at
// normal priority too.
//
// The first call runs through the real telvane binary: mock BlueZ, the
// simulated phone behind the Bluetooth socket shim, a call dialled and made
// active, the phone sending coded clicks at the real pace (48-byte packets
// every 3 ms) on the voice link. The second call, for comparison, runs the
// same pump loops in a child process of this bench on a SEQPACKET
// socketpair, opened without buffer attributes (the server's defaults);
// the product itself always uses its low-latency attributes.
// Speaker side: a click's send time to the moment it leaves the default
// sink (read from its monitor, less the record path's reported latency).
// Microphone side: the moment the period holding a click's start reaches the
// default source (a pipe fed 5 ms at a time, as a sound card hands over what
// it has captured) to the air slot that carries it: the phone takes one of
// the PC's packets per packet it sends, as a real controller drains the
// link. After the clicks the call process is stopped for 200 ms, and the
// microphone's delay is measured again from one second after it resumes.
// Then the phone sends a continuous
// tone: runs of over 5 ms of silence at the sink's monitor are gaps. Gaps
// and underruns count against the product unless they follow a packet that
// the phone itself sent late. The floor probe is a process doing only the
// SCO packet I/O of both directions at the same pace, with no sound server.
// The tick probe does the least a voice thread on a 10 ms tick must: the same
// packets in and out once a tick, and one wake-up of another process a tick,
// as the sound server is woken with what was written; it shows what of the
// product's CPU is the tick's own and what is work. CPU is the call process's user+system time from
// /proc over the whole call, with each thread's share and how often a second it
// gave the CPU up or had it taken. Underruns are the daemon's "Implicit underrun"
// debug lines for the call's playback stream after the first seconds.
#include "base/log.h"
#include "audio/pumps.h"
#include "audio/sco.h"
#include "core/audio_tick.h"
#include "world/app_world.h"
#include "audio_phone.h"
#include "world/sound_server.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <pulse/simple.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
// The rate of the call being measured: the codec's. Set by main before each
// run, read by the measuring threads of that run.
std::atomic<int> call_rate{8000};
// A click: 10 ms of 2 kHz, then its number in 8 bits of 10 ms each (1 kHz
// or silence), so that each arrival is matched with the click that caused
// it however late it comes. One click every 240 ms.
uint64_t click_period() { return uint64_t(call_rate.load()) * 240 / 1000; }
uint64_t bit_samples() { return uint64_t(call_rate.load()) / 100; }
constexpr int kClickBits = 8;
constexpr int kClickThreshold = 3000;
// How often the capture device hands over what it has captured: as often
// as a sound card does at the latency the call asks for.
constexpr std::chrono::microseconds kMicrophonePeriod{5000};
// The daemon's debug log line for a playback stream that ran dry.
constexpr const char* kUnderrunLine = "Implicit underrun of 'Phone Audio'";

int16_t click_signal(uint64_t i)
{
    const uint64_t period = click_period(), bit_len = bit_samples();
    const double rate = call_rate.load();
    uint64_t pos = i % period, number = i / period;
    if (pos < bit_len)
        return static_cast<int16_t>(12000 * std::sin(2 * M_PI * 2000 * double(pos) / rate));
    uint64_t bit = pos / bit_len - 1;
    if (bit < kClickBits && ((number >> bit) & 1))
        return static_cast<int16_t>(12000 * std::sin(2 * M_PI * 1000 * double(pos) / rate));
    return 0;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- the comparison call process ----

std::atomic<bool> comparison_running{false};
int comparison_fd = -1;

// The product's pump loops without buffer attributes.
void* default_playback(void*)
{
    pa_sample_spec sample_format = sco_sample_spec();
    int error = 0;
    pa_simple* s = pa_simple_new(nullptr, "TELVANE", PA_STREAM_PLAYBACK, nullptr, "Phone Audio", &sample_format, nullptr,
                                 nullptr, &error);
    if (!s)
        return nullptr;
    char buf[kPlaybackBufferBytes];
    while (comparison_running.load()) {
        ssize_t n = recv(comparison_fd, buf, sizeof buf, 0);
        if (n <= 0 || pa_simple_write(s, buf, static_cast<size_t>(n), &error) < 0)
            break;
    }
    pa_simple_free(s);
    return nullptr;
}

void* default_capture(void*)
{
    pa_sample_spec sample_format = sco_sample_spec();
    int error = 0;
    pa_simple* s = pa_simple_new(nullptr, "Telvane", PA_STREAM_RECORD, nullptr, "PC Microphone", &sample_format, nullptr,
                                 nullptr, &error);
    if (!s)
        return nullptr;
    char buf[kDefaultScoMtu];
    while (comparison_running.load()) {
        if (pa_simple_read(s, buf, sizeof buf, &error) < 0)
            break;
        send(comparison_fd, buf, sizeof buf, MSG_NOSIGNAL);
    }
    pa_simple_free(s);
    return nullptr;
}

// The floor: one packet back for each packet from the phone, nothing else.
int floor_child(int fd)
{
    char buf[kPlaybackBufferBytes];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0 || send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) < 0)
            return 0;
    }
}

// The least any voice thread on a 10 ms tick does: sleep to the tick, take
// what the link holds in one call, answer it in one, and wake another
// process once, as the product wakes the sound server with what it wrote.
// No codec and no sound server: what is left between this and the product
// is the product's own work.
int tick_child(int fd, bool real_time)
{
    int wake = eventfd(0, EFD_CLOEXEC);
    pid_t peer = fork();
    if (peer == 0) {
        pollfd p{wake, POLLIN, 0};
        uint64_t n;
        while (poll(&p, 1, -1) > 0 && read(wake, &n, sizeof n) == sizeof n) {
        }
        _exit(0);
    }
    // As the product's voice thread runs, where the bench may.
    sched_param param{};
    param.sched_priority = 1;
    if (real_time)
        sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &param);
    constexpr int kMaxPackets = 16;
    char bufs[kMaxPackets][kPlaybackBufferBytes];
    iovec iov[kMaxPackets];
    mmsghdr msgs[kMaxPackets];
    for (int64_t tick = g_get_monotonic_time();;) {
        tick += kAudioTickUs;
        timespec until{static_cast<time_t>(tick / 1000000), static_cast<long>(tick % 1000000) * 1000};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
        std::memset(msgs, 0, sizeof msgs);
        for (int i = 0; i < kMaxPackets; ++i) {
            iov[i] = {bufs[i], sizeof bufs[i]};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int got = recvmmsg(fd, msgs, kMaxPackets, MSG_DONTWAIT, nullptr);
        if (got < 0 && errno != EAGAIN)
            break;
        if (got > 0 && msgs[got - 1].msg_len == 0)
            break;   // the phone hung up
        for (int i = 0; i < got; ++i)
            iov[i].iov_len = msgs[i].msg_len;
        if (got > 0 && sendmmsg(fd, msgs, static_cast<unsigned>(got), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
            break;
        uint64_t one = 1;
        if (write(wake, &one, sizeof one) != sizeof one)
            break;
    }
    close(wake);
    kill(peer, SIGTERM);
    waitpid(peer, nullptr, 0);
    return 0;
}

// Runs until the bench closes our standard input.
int pump_child(int fd)
{
    comparison_fd = fd;
    comparison_running.store(true);
    pthread_t playback, capture;
    pthread_create(&playback, nullptr, default_playback, nullptr);
    pthread_create(&capture, nullptr, default_capture, nullptr);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    comparison_running.store(false);
    shutdown(fd, SHUT_RDWR);
    pthread_join(playback, nullptr);
    pthread_join(capture, nullptr);
    close(fd);
    return 0;
}

// A call being measured: the phone's end of the voice link, and the process
// whose pumps carry it.
class CallProcess {
public:
    virtual ~CallProcess() = default;
    int phone_fd = -1;
    pid_t pid = -1;
};

// With "normal-priority", the binary runs with no right to real-time
// priority and no RealtimeKit to ask.
bool normal_priority = false;

// The real binary, in a call dialled from a tel: link, in the codec given
// (a phone that speaks only it and CVSD).
class BinaryCall : public CallProcess {
public:
    BinaryCall(const std::string& pulse_server, int codec)
        : world_(pulse_server, codec == 1 ? std::vector<int>{} : std::vector<int>{codec, 1}, {},
                 normal_priority ? th::kNoRightToRealTime : "")
    {
        if (codec != 1 && !world_.phone.wait_for_command("AT+BCS=", 20000)) {
            std::fprintf(stderr, "No codec agreed:\n%s\n", world_.out().c_str());
            std::exit(1);
        }
        int fd = world_.start_call();
        if (fd < 0 || !world_.app->wait_for_output("🔊 Speaker active - phone audio coming") ||
            !world_.app->wait_for_output("🎤 Microphone active - your voice going to phone")) {
            std::fprintf(stderr, "The call did not start:\n%s\n", world_.out().c_str());
            std::exit(1);
        }
        phone_fd = dup(fd);
        pid = world_.app->process().pid();
        if (world_.phone.sco_link_codec() != codec) {
            std::fprintf(stderr, "The call is not in codec %d:\n%s\n", codec, world_.out().c_str());
            std::exit(1);
        }
    }
    ~BinaryCall() override
    {
        world_.end_call();
        world_.app->wait_for_output("🔇 Speaker closed", 5000);
    }

private:
    th::AudioCallWorld world_;
};

class ComparisonCall : public CallProcess {
public:
    ComparisonCall(const char* self, const std::string& pulse_server, const char* mode = "--pump-child")
    {
        int sv[2];
        int control[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0 || pipe(control) != 0)
            std::abort();
        th::ExecPlan plan({self, mode, std::to_string(sv[1])}, {{"PULSE_SERVER", pulse_server}});
        pid = fork();
        if (pid == 0) {
            dup2(control[0], 0);
            close(control[1]);
            close(sv[0]);
            plan.exec();
        }
        close(control[0]);
        close(sv[1]);
        control_ = control[1];
        phone_fd = sv[0];
    }
    ~ComparisonCall() override
    {
        close(control_);
        waitpid(pid, nullptr, 0);
    }

private:
    int control_ = -1;
};

// User plus system time so far, in seconds, of a process ("/proc/PID") or
// of one of its threads ("/proc/PID/task/TID").
double cpu_seconds(const std::string& proc_dir)
{
    gchar* text = nullptr;
    std::string path = proc_dir + "/stat";
    if (!g_file_get_contents(path.c_str(), &text, nullptr, nullptr))
        return NAN;
    // Fields after the command name, which may hold spaces: state is the
    // 3rd field, utime the 14th, stime the 15th.
    const char* p = std::strrchr(text, ')');
    unsigned long utime = 0, stime = 0;
    int got = p ? std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) : 0;
    g_free(text);
    return got == 2 ? double(utime + stime) / double(sysconf(_SC_CLK_TCK)) : NAN;
}

// The whole process's, threads that have ended included, to the nanosecond:
// /proc's figures come in clock ticks of 10 ms, a tenth of what the floor
// probe spends in half a minute.
double cpu_seconds(pid_t pid)
{
    clockid_t clock;
    timespec t;
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &t) != 0)
        return cpu_seconds("/proc/" + std::to_string(pid));
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// What one thread has spent so far: CPU seconds, and the times it gave
// the CPU up itself (a sleep, a wait) or had it taken by another thread.
struct ThreadUse {
    std::string name;
    double cpu_s = 0;
    unsigned long gave_up = 0, preempted = 0;
};

// Each thread of a process, by thread id.
std::map<std::string, ThreadUse> thread_use(pid_t pid)
{
    std::map<std::string, ThreadUse> out;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    GDir* dir = g_dir_open(tasks.c_str(), 0, nullptr);
    if (!dir)
        return out;
    while (const char* tid = g_dir_read_name(dir)) {
        gchar* comm = nullptr;
        gchar* status = nullptr;
        std::string d = tasks + "/" + tid;
        g_file_get_contents((d + "/comm").c_str(), &comm, nullptr, nullptr);
        g_file_get_contents((d + "/status").c_str(), &status, nullptr, nullptr);
        ThreadUse& use = out[tid];
        use.name = comm ? g_strstrip(comm) : "?";
        use.cpu_s = cpu_seconds(d);
        if (const char* v = status ? std::strstr(status, "\nvoluntary_ctxt_switches:") : nullptr)
            use.gave_up = std::strtoul(std::strchr(v, ':') + 1, nullptr, 10);
        if (const char* n = status ? std::strstr(status, "\nnonvoluntary_ctxt_switches:") : nullptr)
            use.preempted = std::strtoul(std::strchr(n, ':') + 1, nullptr, 10);
        g_free(comm);
        g_free(status);
    }
    g_dir_close(dir);
    return out;
}

// ---- measurement ----

struct Arrival {
    Clock::time_point time;
    unsigned code;
};

// Clicks found in a sample stream whose sample k was heard at time_of(k).
template <typename TimeOf>
std::vector<Arrival> arrivals(const std::vector<int16_t>& samples, TimeOf time_of)
{
    std::vector<Arrival> out;
    const uint64_t bit_len = bit_samples();
    const uint64_t span = bit_len * (kClickBits + 1);
    uint64_t k = 0;
    while (k + span <= samples.size()) {
        if (std::abs(int(samples[k])) < kClickThreshold) {
            ++k;
            continue;
        }
        unsigned code = 0;
        for (int bit = 0; bit < kClickBits; ++bit) {
            double e = 0;
            uint64_t from = k + bit_len * (bit + 1) + bit_len / 8, to = from + bit_len - bit_len / 4;
            for (uint64_t j = from; j < to; ++j)
                e += double(samples[j]) * samples[j];
            if (std::sqrt(e / double(to - from)) > 2000)
                code |= 1u << bit;
        }
        out.push_back({time_of(k), code});
        k += span + bit_len;
    }
    return out;
}

struct Timed {
    Clock::time_point at;
    double ms;
};

// Latency of each click: its arrival minus the send time of the latest
// click with the same number sent before it.
std::vector<Timed> latencies(const std::vector<Clock::time_point>& sent, const std::vector<Arrival>& seen,
                             size_t first_click)
{
    std::vector<Timed> out;
    for (const Arrival& a : seen) {
        for (size_t k = sent.size(); k-- > first_click;) {
            if ((k & ((1u << kClickBits) - 1)) != a.code || sent[k] > a.time)
                continue;
            // A code misread (a click cut by a stall) would match a click a
            // whole cycle of numbers earlier.
            if (seconds(a.time - sent[k]) < 2)
                out.push_back({a.time, seconds(a.time - sent[k]) * 1000});
            break;
        }
    }
    return out;
}

// Records a source from its own thread, each 10 ms block stamped with when
// its last sample entered the source (read time less the stream's latency).
class SourceRecorder {
public:
    SourceRecorder(const std::string& server, const char* source)
    {
        thread_ = std::thread([this, server, source] {
            pa_sample_spec sample_format = sco_sample_spec(static_cast<uint32_t>(rate_));
            pa_buffer_attr attr{static_cast<uint32_t>(-1), static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                                static_cast<uint32_t>(-1), static_cast<uint32_t>(rate_ / 50)};
            int error = 0;
            pa_simple* rec = pa_simple_new(server.c_str(), "bench", PA_STREAM_RECORD, source, "bench recorder",
                                           &sample_format, nullptr, &attr, &error);
            std::vector<int16_t> block(static_cast<size_t>(rate_ / 100));
            while (rec && running_.load()) {
                if (pa_simple_read(rec, block.data(), block.size() * 2, &error) < 0)
                    break;
                auto now = Clock::now();
                pa_usec_t lat = pa_simple_get_latency(rec, &error);
                std::lock_guard<std::mutex> lock(mutex_);
                samples_.insert(samples_.end(), block.begin(), block.end());
                block_time_.push_back(now - std::chrono::microseconds(lat));
            }
            if (rec)
                pa_simple_free(rec);
        });
    }
    ~SourceRecorder() { stop(); }
    void stop()
    {
        running_.store(false);
        if (thread_.joinable())
            thread_.join();
    }
    std::vector<Arrival> clicks() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint64_t b = static_cast<uint64_t>(rate_ / 100);
        return arrivals(samples_, [&](uint64_t k) {
            return block_time_[k / b] - std::chrono::microseconds(1000000 * (b - 1 - k % b) / uint64_t(rate_));
        });
    }

    // Start times of runs of silence over 5 ms after from.
    std::vector<Clock::time_point> gaps(Clock::time_point from) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Clock::time_point> out;
        size_t run = 0;
        const size_t b = static_cast<size_t>(rate_ / 100), over_5ms = static_cast<size_t>(rate_ / 200 + 1);
        for (size_t k = 0; k < samples_.size(); ++k) {
            run = std::abs(int(samples_[k])) < 300 ? run + 1 : 0;
            auto t = block_time_[k / b];
            if (run == over_5ms && t >= from)
                out.push_back(t);
        }
        return out;
    }

private:
    int rate_ = call_rate.load();
    std::atomic<bool> running_{true};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<int16_t> samples_;
    std::vector<Clock::time_point> block_time_;
};

// Time-stamps the daemon's underrun lines as they are written.
class UnderrunWatch {
public:
    explicit UnderrunWatch(std::string path) : path_(std::move(path))
    {
        thread_ = std::thread([this] {
            std::string pending;
            off_t offset = 0;
            while (running_.load()) {
                int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd >= 0) {
                    char buf[65536];
                    ssize_t n;
                    while ((n = pread(fd, buf, sizeof buf, offset)) > 0) {
                        offset += n;
                        pending.append(buf, static_cast<size_t>(n));
                    }
                    close(fd);
                }
                size_t eol;
                while ((eol = pending.find('\n')) != std::string::npos) {
                    if (pending.substr(0, eol).find(kUnderrunLine) != std::string::npos) {
                        std::lock_guard<std::mutex> lock(mutex_);
                        times_.push_back(Clock::now());
                    }
                    pending.erase(0, eol + 1);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~UnderrunWatch()
    {
        running_.store(false);
        thread_.join();
    }
    std::vector<Clock::time_point> since(Clock::time_point from) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Clock::time_point> out;
        for (auto t : times_)
            if (t >= from)
                out.push_back(t);
        return out;
    }

private:
    std::string path_;
    std::atomic<bool> running_{true};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Clock::time_point> times_;
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(std::min<double>(v.size() - 1, std::round(p * double(v.size() - 1))));
    return v[i];
}

struct Result {
    std::vector<double> to_speaker, to_phone, to_phone_after_stall;
    std::vector<double> server_queue;   // ms the server holds for the stream: buffer plus sink latency
    double cpu_per_minute_s = NAN;
    double server_cpu_per_minute_s = NAN;   // the sound server's, feeding the test's devices too
    double call_minutes = 0;
    int underruns = -1;
    struct Thread {
        std::string name;
        double cpu_per_minute_s, gave_up_per_s, preempted_per_s;
    };
    std::vector<Thread> threads;
    double phone_max_late_ms = 0;   // how far the phone's sending fell behind its clock
    int phone_late_packets = 0;     // packets it sent more than 6 ms late
    int underruns_after_phone_stall = 0;
    int gaps = -1, gaps_after_phone_stall = 0;
    // With 1 % of the phone's packets lost on the air.
    int loss_gaps = -1, loss_gaps_after_phone_stall = 0;
    uint64_t packets_lost = 0;
};

// The server's own view of the call's playback stream, in ms, or NaN.
double server_queue_ms(const th::PulseServer& pulse)
{
    std::string list = pulse.pactl("list sink-inputs");
    size_t at = list.find("media.name = \"Phone Audio\"");
    size_t start = at == std::string::npos ? std::string::npos : list.rfind("Sink Input #", at);
    if (start == std::string::npos)
        return NAN;
    size_t buffer = list.find("Buffer Latency: ", start), sink = list.find("Sink Latency: ", start);
    if (buffer == std::string::npos || sink == std::string::npos)
        return NAN;
    return (std::atof(list.c_str() + buffer + 16) + std::atof(list.c_str() + sink + 14)) / 1000;
}

// Events that follow one of the phone's own late packets.
int after_late_phone(const std::vector<Clock::time_point>& events, const std::vector<Clock::time_point>& stalls)
{
    int n = 0;
    for (auto e : events)
        for (auto stall : stalls)
            if (e > stall - std::chrono::milliseconds(50) && e < stall + std::chrono::milliseconds(250)) {
                ++n;
                break;
            }
    return n;
}

// A probe ("--floor-child", "--tick-child" or "--tick-child-normal") at a
// codec's packet pace; its phone never waits on the link and runs at normal
// priority, so the probe is charged for its own work only.
double probe_cpu_per_minute(const char* self, const char* mode, double seconds_long, int codec)
{
    ComparisonCall probe(self, "", mode);
    th::ScoPeer phone(probe.phone_fd, 48, true);
    phone.set_codec(codec);
    phone.start_sending([](uint64_t) { return int16_t(0); });
    const auto start = Clock::now();
    const double cpu_start = cpu_seconds(probe.pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds_long));
    double cpu = cpu_seconds(probe.pid) - cpu_start;
    phone.stop_sending();
    return cpu / (seconds(Clock::now() - start) / 60);
}

Result run_call(const char* self, bool through_binary, double call_seconds, int clicks, int codec)
{
    th::PulseServer::Options options;
    options.debug_log = true;
    th::PulseServer pulse(options);
    // Before the call, whose record stream takes the default source.
    th::PipeMicrophone microphone(pulse, call_rate.load(), kMicrophonePeriod, [](uint64_t) { return int16_t(0); });

    std::unique_ptr<CallProcess> call;
    if (through_binary)
        call = std::make_unique<BinaryCall>(pulse.server(), codec);
    else
        call = std::make_unique<ComparisonCall>(self, pulse.server());
    microphone.start();
    const auto call_start = Clock::now();
    const double cpu_start = cpu_seconds(call->pid);
    const double server_cpu_start = cpu_seconds(pulse.pid());
    const auto threads_start = thread_use(call->pid);

    th::ScoPeer phone(call->phone_fd);
    phone.set_codec(codec);
    const double rate = phone.rate();
    phone.drain_at_air_rate(true);
    std::atomic<bool> phone_tone{false};
    phone.start_sending([&phone_tone, rate](uint64_t i) {
        return phone_tone.load() ? static_cast<int16_t>(8000 * std::sin(2 * M_PI * 1000 * double(i) / rate))
                                 : click_signal(i);
    });

    UnderrunWatch underrun_watch(pulse.log_path());
    // The speaker: what the default sink renders.
    auto speaker = std::make_unique<SourceRecorder>(pulse.server(), "null.monitor");
    // The microphone: clicks from the capture device, each stamped with when
    // the period that starts it reached the source.
    microphone.set_signal(click_signal);

    const double warm = 2.0;
    const double click_seconds = warm + clicks * 0.24 + 3.0;   // late arrivals too
    Result r;
    // What the server holds for the stream, read from it once a second.
    for (auto until = Clock::now() + std::chrono::duration<double>(std::max(click_seconds, 3.0));
         Clock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        double q = through_binary ? server_queue_ms(pulse) : NAN;
        if (!std::isnan(q))
            r.server_queue.push_back(q);
    }
    // The call process stalls; the phone and the microphone go on.
    const auto stall_at = Clock::now();
    kill(call->pid, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(call->pid, SIGCONT);
    const auto resumed = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto counting_from = Clock::now();

    {
        // A click left the phone with the packet that began coding it.
        std::vector<Clock::time_point> sent_clicks;
        auto sent = phone.sent_packets();
        for (size_t k = 0; k + 1 < sent.size(); ++k) {
            uint64_t next_click = (sent[k].first_sample + click_period() - 1) / click_period() * click_period();
            if (next_click < sent[k + 1].first_sample)
                sent_clicks.push_back(sent[k].time);
        }
        const size_t skip = static_cast<size_t>(warm / 0.24);
        for (const Timed& t : latencies(sent_clicks, speaker->clicks(), skip))
            if (t.at < stall_at)
                r.to_speaker.push_back(t.ms);
        std::vector<int16_t> got = phone.received();
        auto packets = phone.received_packets();
        auto arrived = arrivals(got, [&](uint64_t k) {
            auto it = std::upper_bound(packets.begin(), packets.end(), k,
                                       [](uint64_t v, const th::ScoPeer::Packet& p) { return v < p.first_sample; });
            const auto& p = it == packets.begin() ? packets.front() : *(it - 1);
            return p.played == Clock::time_point{} ? Clock::now() : p.played;
        });
        std::vector<Clock::time_point> mic_click_times;
        for (uint64_t k = 0;; ++k) {
            auto at = microphone.delivered_at(k * click_period());
            if (!at)
                break;
            mic_click_times.push_back(*at);
        }
        for (const Timed& t : latencies(mic_click_times, arrived, skip)) {
            if (t.at < stall_at)
                r.to_phone.push_back(t.ms);
            else if (t.at > resumed + std::chrono::seconds(1))
                r.to_phone_after_stall.push_back(t.ms);
        }
        r.to_speaker.resize(std::min<size_t>(r.to_speaker.size(), static_cast<size_t>(clicks)));
        r.to_phone.resize(std::min<size_t>(r.to_phone.size(), static_cast<size_t>(clicks)));
    }
    speaker.reset();
    // The rest of the call: a voice on the microphone, a continuous tone
    // from the phone; only CPU time, gaps and underruns count from here.
    microphone.set_signal(
        [rate](uint64_t i) { return static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440 * double(i) / rate)); });
    phone_tone.store(true);
    SourceRecorder monitor(pulse.server(), "null.monitor");
    const auto tone_from = Clock::now() + std::chrono::milliseconds(500);
    double left = call_seconds - seconds(Clock::now() - call_start);
    std::this_thread::sleep_for(std::chrono::duration<double>(std::max(left, 5.0)));
    // Then 10 s more with 1 % of the phone's packets lost: concealed, never a gap.
    const auto loss_from = Clock::now();
    phone.lose_packets(0.01);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    phone.lose_packets(0);
    r.packets_lost = phone.packets_lost_on_air();
    monitor.stop();
    {
        auto sent = phone.sent_packets();
        // 48-byte packets: 3 ms of 16-bit PCM, 6 ms of a 64 kbit/s transparent stream.
        const auto period = std::chrono::microseconds(codec == 1 ? 3000 : 6000);
        std::vector<Clock::time_point> phone_stalls;
        for (size_t k = 0; k < sent.size(); ++k) {
            double late = seconds(sent[k].time - sent[0].time - period * k) * 1000;
            r.phone_max_late_ms = std::max(r.phone_max_late_ms, late);
            if (late > 6) {
                ++r.phone_late_packets;
                phone_stalls.push_back(sent[k].time);
            }
        }
        auto underruns = underrun_watch.since(counting_from);
        r.underruns = static_cast<int>(underruns.size());
        // The log is polled every 20 ms: an underrun shows up to 20 ms after it happened.
        r.underruns_after_phone_stall = after_late_phone(underruns, phone_stalls);
        std::vector<Clock::time_point> gaps, loss_gaps;
        for (auto g : monitor.gaps(tone_from))
            (g < loss_from ? gaps : loss_gaps).push_back(g);
        r.gaps = static_cast<int>(gaps.size());
        r.gaps_after_phone_stall = after_late_phone(gaps, phone_stalls);
        r.loss_gaps = static_cast<int>(loss_gaps.size());
        r.loss_gaps_after_phone_stall = after_late_phone(loss_gaps, phone_stalls);
    }
    r.call_minutes = seconds(Clock::now() - call_start) / 60;

    r.cpu_per_minute_s = (cpu_seconds(call->pid) - cpu_start) / r.call_minutes;
    r.server_cpu_per_minute_s = (cpu_seconds(pulse.pid()) - server_cpu_start) / r.call_minutes;
    for (const auto& [tid, now] : thread_use(call->pid)) {
        auto found = threads_start.find(tid);
        const ThreadUse before = found == threads_start.end() ? ThreadUse{} : found->second;
        const double spent = now.cpu_s - before.cpu_s, call_s = r.call_minutes * 60;
        if (spent > 0)
            r.threads.push_back({now.name, spent / r.call_minutes, double(now.gave_up - before.gave_up) / call_s,
                                 double(now.preempted - before.preempted) / call_s});
    }
    phone.stop_sending();
    return r;
}

void print_row(const char* what, const std::vector<double>& v)
{
    std::printf("  %-34s median %6.1f ms   p95 %6.1f ms   (%zu clicks)\n", what, percentile(v, 0.5),
                percentile(v, 0.95), v.size());
}

void print(const char* title, const Result& r)
{
    std::printf("%s\n", title);
    print_row("phone -> SCO -> speaker", r.to_speaker);
    if (!r.server_queue.empty())
        std::printf("  %-34s median %6.1f ms   max %6.1f ms   (pactl, %zu readings; part of the above)\n",
                    "  of it, held by the sound server", percentile(r.server_queue, 0.5),
                    percentile(r.server_queue, 1), r.server_queue.size());
    print_row("microphone -> SCO -> phone", r.to_phone);
    print_row("  the same, 1-3 s after a 200 ms stall", r.to_phone_after_stall);
    std::printf("  %-34s %.3f s per minute of call (%.2f %% of one core) over %.1f min\n", "CPU time of the call process",
                r.cpu_per_minute_s, r.cpu_per_minute_s / 60 * 100, r.call_minutes);
    // Preemptions are the thread's CPU taken by another one mid-work: each
    // costs it two task switches and its caches.
    for (const auto& t : r.threads)
        std::printf("    thread %-27s %.3f s per minute, task switches a second: %.0f own, %.0f preempted\n",
                    t.name.c_str(), t.cpu_per_minute_s, t.gave_up_per_s, t.preempted_per_s);
    std::printf("  %-34s %.3f s per minute of call (its sink and source for the bench included)\n",
                "CPU time of the sound server", r.server_cpu_per_minute_s);
    std::printf("  %-34s %d (%d of them within 250 ms after the phone itself fell 6 ms behind)\n",
                "playback underruns (server log)", r.underruns, r.underruns_after_phone_stall);
    std::printf("  %-34s %d (%d of them after a late phone packet)\n", "gaps over 5 ms in the phone's tone", r.gaps,
                r.gaps_after_phone_stall);
    std::printf("  %-34s %d (%d of them after a late phone packet), %llu packets lost\n",
                "gaps over 5 ms with 1 % packet loss", r.loss_gaps, r.loss_gaps_after_phone_stall,
                static_cast<unsigned long long>(r.packets_lost));
    std::printf("  %-34s %.1f ms behind at worst, %d packets over 6 ms late\n", "the phone's own sending",
                r.phone_max_late_ms, r.phone_late_packets);
}

void target(const char* what, bool met, const char* figure)
{
    std::printf("  %-44s %-22s %s\n", what, figure, met ? "met" : "NOT MET");
}

// The codec's own share of a call: a minute of speech-like sound encoded and
// decoded in 10 ms pieces on this thread, as the voice thread does, with no
// link and no sound server. Zero for CVSD, which the link carries as it is.
double codec_cpu_per_minute(int codec)
{
    if (codec == 1)
        return 0;
    const auto voice_codec = static_cast<VoiceCodec>(codec);
    const int rate = codec_rate(voice_codec);
    VoiceEncoder encoder(voice_codec);
    VoiceDecoder decoder(voice_codec);
    std::vector<int16_t> piece(static_cast<size_t>(rate / 100));
    uint8_t coded[4 * kH2PacketBytes];
    int16_t decoded[4 * 320];
    uint64_t sample = 0, noise = 1;
    timespec start, end;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    for (int tick = 0; tick < 6000; ++tick) {
        for (auto& v : piece) {
            noise = noise * 6364136223846793005ULL + 1442695040888963407ULL;
            v = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440 * double(sample++) / rate) +
                                     int16_t(noise >> 48) / 16);
        }
        size_t n = encoder.encode(piece.data(), piece.size(), coded, sizeof coded);
        decoder.decode(coded, n, decoded, sizeof decoded / sizeof decoded[0]);
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    return double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
}

void print_targets(const Result& r, double floor_per_minute, double tick_per_minute, double times_floor)
{
    char f[64], what[64];
    std::printf("Targets\n");
    double core = r.cpu_per_minute_s / 60 * 100;
    std::snprintf(f, sizeof f, "%.2f x floor", r.cpu_per_minute_s / floor_per_minute);
    std::snprintf(what, sizeof what, "CPU at most %.0fx the floor probe", times_floor);
    target(what, r.cpu_per_minute_s <= times_floor * floor_per_minute, f);
    // Whether the target leaves room for any work at all on this machine.
    std::snprintf(f, sizeof f, "%.2f x floor", tick_per_minute / floor_per_minute);
    target("(the tick probe, held to the same)", tick_per_minute <= times_floor * floor_per_minute, f);
    std::snprintf(f, sizeof f, "%.2f %%", core);
    target("(CPU of one core, for the record)", true, f);
    double median = percentile(r.to_speaker, 0.5), p95 = percentile(r.to_speaker, 0.95);
    std::snprintf(f, sizeof f, "%.1f ms", median);
    target("speaker delay median <= 25 ms", median <= 25, f);
    std::snprintf(f, sizeof f, "%.1f ms", p95);
    target("speaker delay p95 <= 35 ms", p95 <= 35, f);
    double worst = r.to_phone_after_stall.empty()
                       ? NAN
                       : *std::max_element(r.to_phone_after_stall.begin(), r.to_phone_after_stall.end());
    std::snprintf(f, sizeof f, "%.1f ms at worst", worst);
    target("microphone under 30 ms 1 s after a stall", worst < 30, f);
    int own = r.gaps - r.gaps_after_phone_stall + r.underruns - r.underruns_after_phone_stall;
    std::snprintf(f, sizeof f, "%d", own);
    target("gaps and underruns not after a late packet: 0", own == 0, f);
    own = r.loss_gaps - r.loss_gaps_after_phone_stall;
    std::snprintf(f, sizeof f, "%d", own);
    target("1 % packets lost: no gap over 5 ms", own == 0, f);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--pump-child") == 0)
        return pump_child(std::atoi(argv[2]));
    if (argc >= 3 && std::strcmp(argv[1], "--floor-child") == 0)
        return floor_child(std::atoi(argv[2]));
    if (argc >= 3 && std::strcmp(argv[1], "--tick-child") == 0)
        return tick_child(std::atoi(argv[2]), true);
    if (argc >= 3 && std::strcmp(argv[1], "--tick-child-normal") == 0)
        return tick_child(std::atoi(argv[2]), false);
    signal(SIGPIPE, SIG_IGN);
    double call_seconds = argc >= 2 ? std::atof(argv[1]) : 600;
    int clicks = argc >= 3 ? std::atoi(argv[2]) : 120;
    const std::string only = argc >= 4 ? argv[3] : "";
    normal_priority = argc >= 5 && std::strcmp(argv[4], "normal-priority") == 0;
    std::printf("Voice path over a real PulseAudio daemon: %.0f s call per codec, %d clicks each way\n\n", call_seconds,
                clicks);
    std::fflush(stdout);
    const struct {
        int codec;
        const char* name;
        double times_floor;   // codec work included
    } codecs[] = {{1, "CVSD, 8 kHz", 2}, {2, "mSBC, 16 kHz", 3}, {3, "LC3-SWB, 32 kHz", 3}};
    for (const auto& c : codecs) {
        if (!only.empty() && only != "binary" && only != std::to_string(c.codec))
            continue;
        call_rate.store(codec_rate(static_cast<VoiceCodec>(c.codec)));
        const double probe_seconds = std::min(call_seconds, 30.0);
        const double floor_per_minute = probe_cpu_per_minute(argv[0], "--floor-child", probe_seconds, c.codec);
        const double tick_per_minute = probe_cpu_per_minute(
            argv[0], normal_priority ? "--tick-child-normal" : "--tick-child", probe_seconds, c.codec);
        std::printf("== %s ==\n", c.name);
        std::printf("Floor probe: SCO packet I/O only, both directions at the codec's packet pace\n");
        std::printf("  %-34s %.3f s per minute of call (%.2f %% of one core)\n", "CPU time", floor_per_minute,
                    floor_per_minute / 60 * 100);
        std::printf("Tick probe: the same packet I/O once a 10 ms tick, waking one other process a tick\n");
        std::printf("  %-34s %.3f s per minute of call (%.2f x floor)\n", "CPU time", tick_per_minute,
                    tick_per_minute / floor_per_minute);
        const double codec_per_minute = codec_cpu_per_minute(c.codec);
        if (codec_per_minute > 0)
            std::printf("  %-34s %.3f s per minute of call (%.2f x floor)\n", "the codec alone, both ways",
                        codec_per_minute, codec_per_minute / floor_per_minute);
        std::fflush(stdout);
        Result product = run_call(argv[0], true, call_seconds, clicks, c.codec);
        print("The telvane binary (low-latency buffer attributes)", product);
        print_targets(product, floor_per_minute, tick_per_minute, c.times_floor);
        std::printf("\n");
        std::fflush(stdout);
    }
    if (!only.empty())
        return 0;
    call_rate.store(8000);
    Result defaults = run_call(argv[0], false, call_seconds, clicks, 1);
    print("The same pump loops, server default buffering", defaults);
    return 0;
}
