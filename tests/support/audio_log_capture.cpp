#include "audio_log_capture.h"

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

namespace th {

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    saved_fd_ = dup(1);
    int fd = open(dir_.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    close(fd);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    dup2(saved_fd_, 1);
    close(saved_fd_);
    // gtest's own messages went to the file too: show everything.
    std::string captured = read_file(dir_.file("stdout"));
    std::fwrite(captured.data(), 1, captured.size(), stdout);
    std::fflush(stdout);
}

std::string StdoutCapture::text()
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    std::fflush(stdout);
    return read_file(dir_.file("stdout"));
}

int StdoutCapture::count(const std::string& needle)
{
    return occurrences(text(), needle);
}

std::vector<std::string> StdoutCapture::lines()
{
    std::vector<std::string> out;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);) {
        size_t cut = line.find("] ");
        out.push_back(cut == std::string::npos ? line : line.substr(cut + 2));
    }
    return out;
}

bool StdoutCapture::wait_for(const std::string& needle, int timeout_ms)
{
    return wait_until([&] { return text().find(needle) != std::string::npos; }, timeout_ms);
}

}  // namespace th
