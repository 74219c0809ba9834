// The simulated world's sound server: a real PulseAudio daemon in its own
// folder, with a null sink "null" (where the phone's voice ends up) and a
// second null sink "mic" whose monitor is the default source, so one can
// speak into the "microphone" by playing into "mic".
#pragma once
#include "world/processes.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace th {

class SignalPlayer;

class PulseServer {
public:
    struct Options {
        bool debug_log = false;   // daemon log with underrun lines, in log_path()
    };
    PulseServer();
    explicit PulseServer(const Options& options);
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    const std::string& server() const { return server_; }
    // The daemon dies (SIGKILL) and a new one serves the same socket.
    void kill_and_start_again();
    std::string log_path() const { return dir_.file("pulse.log"); }
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

// Records from a source for ms milliseconds (low-latency fragments).
std::vector<int16_t> record_source(const std::string& server, const std::string& source, int ms, int rate = 8000);

}  // namespace th
