#include "hfp/conversation.h"

#include "base/phone.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool matches(const std::string& line, const std::string& prefix)
{
    size_t at = line.find(prefix);
    return at == 0 || (at != std::string::npos && prefix.front() == '+');
}

}  // namespace

AtConversation::AtConversation(int fd) : fd_(fd)
{
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        wake_[0] = wake_[1] = -1;
}

AtConversation::~AtConversation()
{
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id())
        thread_.detach();   // the last owner let go inside a reply
    else
        stop();
    if (fd_ >= 0)
        close(fd_);
    for (int fd : wake_)
        if (fd >= 0)
            close(fd);
}

void AtConversation::on(std::string prefix, Handler handler)
{
    handlers_.emplace_back(std::move(prefix), std::move(handler));
}

void AtConversation::on_line(Handler handler) { line_handler_ = std::move(handler); }

void AtConversation::on_closed(std::function<void()> handler) { closed_handler_ = std::move(handler); }

void AtConversation::start()
{
    // The reader's handlers may open the voice link: they talk to the phone
    // the starting thread was handed, never to the record the main loop rewrites.
    thread_ = std::thread([this, phone = this_phone()] {
        adopt_phone(phone);
        run();
    });
}

void AtConversation::send(std::string command, std::vector<std::string> expect, Reply reply, int timeout_ms)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!closed_.load()) {
            queue_.push_back(Command{std::move(command), std::move(expect), std::move(reply), timeout_ms});
            reply = nullptr;
        }
    }
    if (reply) {
        AtResponse lost;
        lost.link_lost = true;
        reply(lost);
        return;
    }
    wake();
}

void AtConversation::stop()
{
    stopping_ = true;
    if (fd_ >= 0)
        shutdown(fd_, SHUT_RDWR);
    wake();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

bool AtConversation::wait_closed(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mu_);
    return closed_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return closed_.load(); });
}

size_t AtConversation::pending() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return queue_.size();
}

void AtConversation::wake()
{
    if (wake_[1] >= 0) {
        char b = 1;
        (void)!write(wake_[1], &b, 1);
    }
}

bool AtConversation::write_all(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        // MSG_NOSIGNAL: a link the phone dropped must not kill the program with SIGPIPE.
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void AtConversation::finish(AtResponse response)
{
    in_flight_ = false;
    Reply reply = std::move(current_.reply);
    current_ = Command{};
    if (reply)
        reply(response);
}

void AtConversation::dispatch(const std::string& line)
{
    if (line_handler_)
        line_handler_(line);
    if (in_flight_) {
        AtFinal final = classify_final(line);
        if (final != AtFinal::NONE) {
            response_.final = final;
            response_.final_line = line;
            finish(std::move(response_));
            return;
        }
        for (const std::string& prefix : current_.expect) {
            if (line.compare(0, prefix.size(), prefix) == 0) {
                response_.lines.push_back(line);
                return;
            }
        }
    }
    for (const auto& [prefix, handler] : handlers_) {
        if (!prefix.empty() && matches(line, prefix)) {
            handler(line);
            return;
        }
    }
    for (const auto& [prefix, handler] : handlers_)
        if (prefix.empty()) {
            handler(line);
            return;
        }
}

void AtConversation::run()
{
    bool lost = false;
    while (!stopping_.load() && !lost) {
        if (!in_flight_) {
            Command next;
            bool have = false;
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (!queue_.empty()) {
                    next = std::move(queue_.front());
                    queue_.pop_front();
                    have = true;
                }
            }
            if (have) {
                current_ = std::move(next);
                in_flight_ = true;
                response_ = AtResponse{};
                deadline_ms_ = now_ms() + current_.timeout_ms;
                if (!write_all(current_.text + "\r")) {
                    response_.link_lost = true;
                    finish(std::move(response_));
                    lost = true;
                    break;
                }
                continue;   // replies finish it; the loop below reads them
            }
        }
        int timeout = -1;
        if (in_flight_) {
            long long left = deadline_ms_ - now_ms();
            timeout = left < 0 ? 0 : static_cast<int>(left);
        }
        pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int r = poll(p, wake_[0] >= 0 ? 2 : 1, timeout);
        if (r < 0 && errno != EINTR) {
            lost = true;
            break;
        }
        if (r > 0 && (p[1].revents & POLLIN)) {
            char drain[64];
            while (read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        if (r > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[512];
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                lost = true;
                break;
            }
            for (const std::string& line : splitter_.feed(buf, static_cast<size_t>(n)))
                dispatch(line);
        }
        if (in_flight_ && now_ms() >= deadline_ms_) {
            response_.timed_out = true;
            finish(std::move(response_));
        }
    }
    std::deque<Command> left;
    {
        std::lock_guard<std::mutex> lock(mu_);
        closed_ = true;
        left.swap(queue_);
    }
    if (in_flight_) {
        response_.link_lost = true;
        finish(std::move(response_));
    }
    for (Command& c : left) {
        if (c.reply) {
            AtResponse gone;
            gone.link_lost = true;
            c.reply(gone);
        }
    }
    if (closed_handler_)
        closed_handler_();
    std::lock_guard<std::mutex> lock(mu_);
    closed_cv_.notify_all();
}
