#include "world/sound_server.h"

#include <pulse/error.h>
#include <pulse/simple.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace th {

namespace {

std::string run_capture(const std::string& command)
{
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

std::vector<int16_t> sine(size_t count, double frequency, int amplitude, uint64_t start)
{
    std::vector<int16_t> out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * frequency * double(start + i) / 8000));
    return out;
}

// The voice link's format: 8 kHz mono, 16-bit.
constexpr pa_sample_spec kVoiceFormat{PA_SAMPLE_S16LE, 8000, 1};

}  // namespace

PulseServer::PulseServer() : PulseServer(Options{}) {}

PulseServer::PulseServer(const Options& options) : options_(options)
{
    server_ = "unix:" + dir_.path() + "/native";
    start();
    // In-process clients (the pumps) find it too.
    if (const char* old = getenv("PULSE_SERVER")) {
        saved_server_ = old;
        had_saved_ = true;
    }
    setenv("PULSE_SERVER", server_.c_str(), 1);
}

pid_t PulseServer::pid() const { return process_ ? process_->pid() : -1; }

void PulseServer::kill_and_start_again()
{
    keepers_.clear();
    kill(process_->pid(), SIGKILL);
    process_->wait(5000);
    delete process_;
    process_ = nullptr;
    start();
}

void PulseServer::start()
{
    const std::string d = dir_.path();
    std::vector<std::string> argv = {"pulseaudio",
                                     "-n",
                                     "--daemonize=no",
                                     "--exit-idle-time=-1",
                                     "--disallow-exit",
                                     "--use-pid-file=no",
                                     "--load=module-native-protocol-unix auth-anonymous=1 socket=" + d + "/native",
                                     "--load=module-null-sink sink_name=null",
                                     "--load=module-null-sink sink_name=mic"};
    if (!options_.shared_memory)
        argv.push_back("--disable-shm=yes");
    if (options_.debug_log) {
        argv.push_back("--log-level=debug");
        argv.push_back("--log-target=file:" + log_path());
    }
    process_ = new Process(argv,
                           {{"HOME", d},
                            {"XDG_RUNTIME_DIR", d},
                            {"XDG_CONFIG_HOME", d + "/config"},
                            {"PULSE_RUNTIME_PATH", d + "/runtime"},
                            {"PULSE_STATE_PATH", d + "/state"},
                            {"DBUS_SESSION_BUS_ADDRESS", kUnset},
                            {"DISPLAY", kUnset}},
                           d, dir_.file("pulse.out"));
    if (!wait_until([&] { return pactl("info").find("Server Name") != std::string::npos; }, 15000)) {
        delete process_;
        process_ = nullptr;
        throw std::runtime_error("pulseaudio did not start: " + read_file(dir_.file("pulse.out")));
    }
    pactl("set-default-sink null");
    pactl("set-default-source mic.monitor");
    // A silent low-latency stream on each sink: an idle null sink renders 2 s
    // ahead, so a fresh stream's first read or write would stall that long.
    keepers_.push_back(std::make_unique<SignalPlayer>(server_, "null", 0, 0));
    keepers_.push_back(std::make_unique<SignalPlayer>(server_, "mic", 0, 0));
    // Once a monitor answers promptly the sinks run at the keepers' pace.
    for (int i = 0; i < 40; ++i) {
        auto start = std::chrono::steady_clock::now();
        record_source(server_, "null.monitor", 10);
        if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(200))
            break;
    }
}

PulseServer::~PulseServer()
{
    keepers_.clear();
    if (had_saved_)
        setenv("PULSE_SERVER", saved_server_.c_str(), 1);
    else
        unsetenv("PULSE_SERVER");
    delete process_;
}

std::string PulseServer::pactl(const std::string& args) const
{
    return run_capture("PULSE_SERVER='" + server_ + "' /usr/bin/pactl " + args + " 2>/dev/null");
}

int PulseServer::client_streams(const std::string& kind, const std::string& app_name) const
{
    return occurrences(pactl("list " + kind), "application.name = \"" + app_name + "\"");
}

SignalPlayer::SignalPlayer(const std::string& server, const std::string& sink, double frequency, int amplitude)
{
    thread_ = std::thread([this, server, sink, frequency, amplitude] {
        pa_sample_spec sample_format = kVoiceFormat;
        pa_buffer_attr attr{static_cast<uint32_t>(-1), 800, 160, static_cast<uint32_t>(-1),
                            static_cast<uint32_t>(-1)};
        int error = 0;
        const char* name = amplitude == 0 ? "keep-warm" : "signal";
        pa_simple* s = pa_simple_new(server.c_str(), name, PA_STREAM_PLAYBACK, sink.c_str(), name, &sample_format,
                                     nullptr, &attr, &error);
        if (!s)
            return;
        uint64_t index = 0;
        while (running_.load()) {
            std::vector<int16_t> block = sine(80, frequency, amplitude, index);
            index += block.size();
            if (pa_simple_write(s, block.data(), block.size() * 2, &error) < 0)
                break;
        }
        pa_simple_free(s);
    });
}

SignalPlayer::~SignalPlayer() { stop(); }

void SignalPlayer::stop()
{
    running_.store(false);
    if (thread_.joinable())
        thread_.join();
}

PipeMicrophone::PipeMicrophone(const PulseServer& pulse, int rate, std::chrono::microseconds period, Signal signal)
    : pulse_(pulse),
      period_(period),
      period_samples_(static_cast<size_t>(rate * period.count() / 1000000)),
      signal_(std::move(signal))
{
    const std::string fifo = pulse.file("microphone.fifo");
    module_ = pulse.pactl("load-module module-pipe-source source_name=pipe_mic file=" + fifo +
                          " format=s16le channels=1 rate=" + std::to_string(rate));
    while (!module_.empty() && (module_.back() == '\n' || module_.back() == ' '))
        module_.pop_back();
    // Not read (no stream open), a sound card overruns: what it captured is lost.
    fd_ = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (module_.empty() || fd_ < 0)
        throw std::runtime_error("cannot load the pipe microphone at " + fifo);
    pulse.pactl("set-default-source pipe_mic");
}

void PipeMicrophone::start()
{
    thread_ = std::thread([this, period = period_] {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        uint64_t periods = 0;
        while (running_.load()) {
            std::this_thread::sleep_until(start + period * (periods + 1));
            // A late wake-up finds more captured, as a sound card's would.
            const uint64_t due = static_cast<uint64_t>((Clock::now() - start) / period);
            std::vector<int16_t> block((due - periods) * period_samples_);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (auto& s : block)
                    s = signal_(next_sample_++ - signal_from_);
            }
            // A period at a time: a pipe takes that little whole or not at all.
            for (size_t at = 0; at < block.size(); at += period_samples_) {
                ssize_t n = write(fd_, block.data() + at, period_samples_ * 2);
                if (n < 0 && errno != EAGAIN)
                    return;
            }
            const auto now = Clock::now();
            std::lock_guard<std::mutex> lock(mutex_);
            for (; periods < due; ++periods)
                delivered_.push_back(now);
        }
    });
}

PipeMicrophone::~PipeMicrophone()
{
    running_.store(false);
    if (thread_.joinable())
        thread_.join();
    close(fd_);
    pulse_.pactl("set-default-source mic.monitor");
    pulse_.pactl("unload-module " + module_);
}

void PipeMicrophone::set_signal(Signal signal)
{
    std::lock_guard<std::mutex> lock(mutex_);
    signal_ = std::move(signal);
    signal_from_ = next_sample_;
}

std::optional<std::chrono::steady_clock::time_point> PipeMicrophone::delivered_at(uint64_t sample) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t period = static_cast<size_t>((signal_from_ + sample) / period_samples_);
    if (period >= delivered_.size())
        return std::nullopt;
    return delivered_[period];
}

std::vector<int16_t> record_source(const std::string& server, const std::string& source, int ms, int rate)
{
    pa_sample_spec sample_format = kVoiceFormat;
    sample_format.rate = static_cast<uint32_t>(rate);
    pa_buffer_attr attr{static_cast<uint32_t>(-1), static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                        static_cast<uint32_t>(-1), static_cast<uint32_t>(rate / 50)};
    int error = 0;
    pa_simple* s = pa_simple_new(server.c_str(), "recorder", PA_STREAM_RECORD, source.c_str(), "recorder", &sample_format,
                                 nullptr, &attr, &error);
    if (!s)
        throw std::runtime_error(std::string("cannot record: ") + pa_strerror(error));
    std::vector<int16_t> out(static_cast<size_t>(ms) * static_cast<size_t>(rate) / 1000);
    int rc = pa_simple_read(s, out.data(), out.size() * 2, &error);
    pa_simple_free(s);
    if (rc < 0)
        throw std::runtime_error(std::string("record failed: ") + pa_strerror(error));
    return out;
}

}  // namespace th
