// This process's standard output, where log_msg writes, kept in a file while the object lives.
#pragma once
#include "harness.h"

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace th {

class StdoutCapture {
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        int fd = open(dir_.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        close(fd);
    }
    // gtest's own messages went to the file too: show everything.
    ~StdoutCapture()
    {
        std::fflush(stdout);
        dup2(saved_fd_, 1);
        close(saved_fd_);
        std::string captured = read_file(dir_.file("stdout"));
        std::fwrite(captured.data(), 1, captured.size(), stdout);
        std::fflush(stdout);
    }
    // Runs pending main-loop callbacks (posted log lines) first.
    std::string text()
    {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        std::fflush(stdout);
        return read_file(dir_.file("stdout"));
    }
    int count(const std::string& needle) { return occurrences(text(), needle); }
    // Messages without their time stamps, in order.
    std::vector<std::string> lines()
    {
        std::vector<std::string> out;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);)
            out.push_back(line.substr(line.find("] ") == std::string::npos ? 0 : line.find("] ") + 2));
        return out;
    }
    bool wait_for(const std::string& needle, int timeout_ms = 5000)
    {
        return wait_until([&] { return text().find(needle) != std::string::npos; }, timeout_ms);
    }

private:
    TempDir dir_;
    int saved_fd_ = dup(1);
};

}  // namespace th
