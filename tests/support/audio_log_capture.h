// Captures this process's standard output (where log_msg writes) into a
// file for the life of the object, for in-process checks of log lines.
#pragma once
#include "harness.h"

#include <string>
#include <vector>

namespace th {

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Runs pending main-loop callbacks (posted log lines) first.
    std::string text();
    int count(const std::string& needle);
    // Messages without their time stamps, in order.
    std::vector<std::string> lines();
    bool wait_for(const std::string& needle, int timeout_ms = 5000);

private:
    TempDir dir_;
    int saved_fd_ = -1;
};

}  // namespace th
