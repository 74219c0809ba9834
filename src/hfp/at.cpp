#include "hfp/at.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

void skip_blanks(const char*& p)
{
    while (*p == ' ' || *p == '\t')
        ++p;
}

bool read_int(const char*& p, int* out)
{
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int>(v);
    p = end;
    return true;
}

std::mutex indicator_mutex;
IndicatorMap indicator_map;

}  // namespace

AtFinal classify_final(std::string_view line)
{
    std::string_view s = trim(line);
    if (s == "OK")
        return AtFinal::OK;
    if (s == "ERROR" || starts_with(s, "+CMS ERROR") || s == "NO DIALTONE" || s == "NO DIAL TONE")
        return AtFinal::ERROR;
    if (starts_with(s, "+CME ERROR"))
        return AtFinal::CME_ERROR;
    if (s == "NO CARRIER")
        return AtFinal::NO_CARRIER;
    if (s == "BUSY")
        return AtFinal::BUSY;
    if (s == "NO ANSWER")
        return AtFinal::NO_ANSWER;
    return AtFinal::NONE;
}

bool is_unsolicited(std::string_view line)
{
    std::string_view s = trim(line);
    for (std::string_view prefix : {"RING", "+CLIP", "+CIEV", "+CCWA", "+BSIR", "+VGS", "+VGM", "+BVRA", "+BCS"})
        if (starts_with(s, prefix))
            return true;
    return false;
}

std::vector<std::string> AtLineSplitter::feed(const char* data, size_t n)
{
    std::vector<std::string> lines;
    for (size_t i = 0; i < n; i++) {
        char c = data[i];
        if (c == '\r' || c == '\n') {
            if (discarding_)
                discarding_ = false;
            else if (!partial_.empty())
                lines.push_back(std::move(partial_));
            partial_.clear();
            continue;
        }
        if (discarding_)
            continue;
        partial_.push_back(c);
        if (partial_.size() == kMaxLine) {
            // Cut here; the rest up to the line end is dropped, not joined to the next line.
            lines.push_back(std::move(partial_));
            partial_.clear();
            discarding_ = true;
        }
    }
    return lines;
}

void AtLineSplitter::reset()
{
    partial_.clear();
    discarding_ = false;
}

bool parse_cind_test(std::string_view line, IndicatorMap* out)
{
    size_t start = line.find("+CIND:");
    if (start == std::string_view::npos)
        return false;
    IndicatorMap map{-1, -1, -1, -1, -1, -1, -1, {}};
    int depth = 0, index = 0;
    bool named = false;
    for (size_t i = start + 6; i < line.size(); i++) {
        char c = line[i];
        if (c == '(') {
            if (++depth == 1) {
                if (++index > 64)
                    break;
                named = false;
            }
        } else if (c == ')') {
            if (depth > 0)
                depth--;
        } else if (c == '"') {
            size_t end = line.find('"', i + 1);
            if (end == std::string_view::npos)
                break;
            if (depth == 1 && !named) {
                named = true;
                std::string name = lower(trim(line.substr(i + 1, end - i - 1)));
                // Older phones write the two-word names with an underscore.
                int* slot = name == "call"                              ? &map.call
                            : name == "callsetup" || name == "call_setup" ? &map.callsetup
                            : name == "callheld" || name == "call_held"   ? &map.callheld
                            : name == "service"                           ? &map.service
                            : name == "signal"                            ? &map.signal
                            : name == "roam"                              ? &map.roam
                            : name == "battchg"                           ? &map.battchg
                                                                          : nullptr;
                if (slot && *slot < 0)
                    *slot = index;
                map.names.resize(static_cast<size_t>(index));
                map.names[static_cast<size_t>(index) - 1] = name == "call_setup" ? "callsetup"
                                                            : name == "call_held"  ? "callheld"
                                                                                   : name;
            }
            i = end;
        }
    }
    if (map.call < 0 || map.callsetup < 0)
        return false;
    if (out)
        *out = map;
    return true;
}

bool parse_cind_values(std::string_view line, std::vector<int>* out)
{
    size_t start = line.find("+CIND:");
    if (start == std::string_view::npos || line.find('(', start) != std::string_view::npos)
        return false;
    std::vector<int> values;
    std::string_view rest = line.substr(start + 6);
    while (true) {
        rest = trim(rest);
        size_t digits = 0;
        int value = 0;
        while (digits < rest.size() && digits < 4 && rest[digits] >= '0' && rest[digits] <= '9')
            value = value * 10 + (rest[digits++] - '0');
        if (digits == 0 || values.size() >= 64)
            return false;
        values.push_back(value);
        rest = trim(rest.substr(digits));
        if (rest.empty())
            break;
        if (rest.front() != ',')
            return false;
        rest.remove_prefix(1);
    }
    *out = std::move(values);
    return true;
}

bool parse_brsf(std::string_view line, int* features)
{
    size_t start = line.find("+BRSF:");
    if (start == std::string_view::npos)
        return false;
    std::string_view rest = trim(line.substr(start + 6));
    long value = 0;
    size_t i = 0;
    for (; i < rest.size() && i < 10 && rest[i] >= '0' && rest[i] <= '9'; ++i)
        value = value * 10 + (rest[i] - '0');
    if (i == 0 || value > 0x7fffffff)
        return false;
    *features = static_cast<int>(value);
    return true;
}

bool parse_ciev(const char* reply, int* indicator, int* value)
{
    if (!reply)
        return false;
    const char* p = std::strstr(reply, "+CIEV:");
    if (!p)
        return false;
    p += 6;
    skip_blanks(p);
    int first = 0, second = 0;
    if (!read_int(p, &first))
        return false;
    skip_blanks(p);
    if (*p != ',')
        return false;
    ++p;
    skip_blanks(p);
    if (!read_int(p, &second))
        return false;
    *indicator = first;
    *value = second;
    return true;
}

std::string hfp_indicator_name(const IndicatorMap& map, int index)
{
    if (index >= 1 && static_cast<size_t>(index) <= map.names.size())
        return map.names[static_cast<size_t>(index) - 1];
    return "";
}

IndicatorMap hfp_indicator_map()
{
    std::lock_guard<std::mutex> lock(indicator_mutex);
    return indicator_map;
}

void hfp_set_indicator_map(const IndicatorMap& map)
{
    std::lock_guard<std::mutex> lock(indicator_mutex);
    indicator_map = map;
}

bool AtReply::contains(std::string_view text) const
{
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

std::string AtReply::joined() const
{
    std::string out;
    for (const std::string& line : lines) {
        if (!out.empty())
            out += " | ";
        out += line;
    }
    return out;
}

AtChannel::AtChannel(int fd) : source_fd_(fd), fd_(fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1) {}

AtChannel::~AtChannel()
{
    if (fd_ >= 0)
        close(fd_);
}

bool AtChannel::send(std::string_view command)
{
    for (;;) {
        // MSG_NOSIGNAL: a link the phone dropped must not kill the program with SIGPIPE.
        ssize_t n = ::send(fd_, command.data(), command.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = ::write(fd_, command.data(), command.size());
        if (n < 0 && errno == EINTR)
            continue;
        return n == static_cast<ssize_t>(command.size());
    }
}

AtReply AtChannel::exchange(std::string_view command, int min_wait_ms, int timeout_ms)
{
    using clock = std::chrono::steady_clock;
    AtReply reply;
    auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    if (!send(command)) {
        reply.write_failed = true;
        return reply;
    }
    if (min_wait_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(min_wait_ms));
    while (reply.final == AtFinal::NONE) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            reply.io_error = true;
            break;
        }
        if (r == 0)
            break;
        char buf[512];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            reply.io_error = true;
            break;
        }
        reply.bytes += static_cast<size_t>(n);
        for (std::string& line : splitter_.feed(buf, static_cast<size_t>(n))) {
            if (reply.final != AtFinal::NONE) {
                // Came after the reply's end in the same read: keep it for the reader.
                unsolicited_.push_back(std::move(line));
                continue;
            }
            if (is_unsolicited(line))
                unsolicited_.push_back(line);
            reply.final = classify_final(line);
            reply.lines.push_back(std::move(line));
        }
    }
    return reply;
}

std::vector<std::string> AtChannel::read_lines(int timeout_ms, bool* io_error)
{
    if (io_error)
        *io_error = false;
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r < 0 && errno != EINTR && io_error)
        *io_error = true;
    if (r <= 0)
        return {};
    char buf[512];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return {};
    if (n <= 0) {
        if (io_error)
            *io_error = true;
        return {};
    }
    return splitter_.feed(buf, static_cast<size_t>(n));
}

std::vector<std::string> AtChannel::take_unsolicited()
{
    std::vector<std::string> out;
    out.swap(unsolicited_);
    return out;
}

DialVerdict judge_dial_reply(const AtReply& reply, const IndicatorMap& map)
{
    for (const std::string& line : reply.lines) {
        switch (classify_final(line)) {
        case AtFinal::OK:
            return DialVerdict::ACCEPTED;
        case AtFinal::NONE:
            break;
        default:
            return DialVerdict::REFUSED;
        }
        size_t at = line.find("+CIEV:");
        if (at == std::string::npos)
            continue;
        int indicator = 0, value = 0;
        if (std::sscanf(line.c_str() + at + 6, " %d , %d", &indicator, &value) != 2)
            continue;
        if ((indicator == map.call && value == 1) || (indicator == map.callsetup && (value == 2 || value == 3)))
            return DialVerdict::ACCEPTED;
    }
    return DialVerdict::UNKNOWN;
}
