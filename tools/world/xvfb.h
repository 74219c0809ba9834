// The simulated world's X server, and commands run against it.
#pragma once
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace th {

// An X server for GTK (Xvfb on a free display).
class Xvfb {
public:
    Xvfb();
    ~Xvfb();
    const std::string& display() const { return display_; }

private:
    std::string display_;
    pid_t pid_holder_ = -1;
};

// Runs a command with DISPLAY set; returns its standard output, or nullopt
// when it failed or did not finish within timeout_ms.
std::optional<std::string> run_x_command(const std::string& display, const std::vector<std::string>& argv,
                                         int timeout_ms = 5000);

}  // namespace th
