// The simulated world's sound server: a real PulseAudio daemon in its own
// folder, with a null sink "null" (where the phone's voice ends up) and a
// second null sink "mic" whose monitor is the default source, so one can
// speak into the "microphone" by playing into "mic".
#pragma once
#include "world/processes.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace th {

class SignalPlayer;

class PulseServer {
public:
    struct Options {
        bool debug_log = false;   // daemon log with underrun lines, in log_path()
        // Off: every message and every block of sound goes over the socket,
        // as with a server that offers its clients no shared memory.
        bool shared_memory = true;
    };
    PulseServer();
    explicit PulseServer(const Options& options);
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    const std::string& server() const { return server_; }
    pid_t pid() const;
    // The daemon dies (SIGKILL) and a new one serves the same socket.
    void kill_and_start_again();
    std::string log_path() const { return dir_.file("pulse.log"); }
    std::string file(const std::string& name) const { return dir_.file(name); }
    // Runs pactl against this server; returns its standard output.
    std::string pactl(const std::string& args) const;
    // Clients of one application name ("TELVANE", "Telvane") now connected
    // as "sink-inputs" or "source-outputs".
    int client_streams(const std::string& kind, const std::string& app_name) const;

private:
    void start();

    Options options_;
    TempDir dir_;
    std::string server_;
    Process* process_ = nullptr;
    std::vector<std::unique_ptr<SignalPlayer>> keepers_;
    std::string saved_server_;
    bool had_saved_ = false;
};

// Plays a generated signal into a sink from its own thread until destroyed.
class SignalPlayer {
public:
    SignalPlayer(const std::string& server, const std::string& sink, double frequency, int amplitude = 8000);
    ~SignalPlayer();
    void stop();

private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// A microphone as a sound card delivers it: a pipe source at the call's
// rate, made the default source, fed one period of samples at a time on a
// steady clock. The "mic" sink's monitor hands its readers pieces of a few
// bytes whenever streams are mixed into it, which no capture device does.
class PipeMicrophone {
public:
    using Signal = std::function<int16_t(uint64_t sample)>;
    PipeMicrophone(const PulseServer& pulse, int rate, std::chrono::microseconds period, Signal signal);
    ~PipeMicrophone();
    PipeMicrophone(const PipeMicrophone&) = delete;
    PipeMicrophone& operator=(const PipeMicrophone&) = delete;

    // The device starts capturing, as a sound card does when the first
    // stream opens it: nothing captured before is left in the pipe.
    void start();
    // From the next sample captured on, counted from 0 again.
    void set_signal(Signal signal);
    // When the period holding that sample of the present signal reached the
    // source; empty before.
    std::optional<std::chrono::steady_clock::time_point> delivered_at(uint64_t sample) const;

private:
    const PulseServer& pulse_;
    std::string module_;
    int fd_ = -1;
    std::chrono::microseconds period_;
    size_t period_samples_;
    mutable std::mutex mutex_;
    Signal signal_;
    uint64_t next_sample_ = 0, signal_from_ = 0;   // since the device started
    std::vector<std::chrono::steady_clock::time_point> delivered_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// Records from a source for ms milliseconds (low-latency fragments).
std::vector<int16_t> record_source(const std::string& server, const std::string& source, int ms, int rate = 8000);

}  // namespace th
