#include "audio_phone.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace th {

ScoPeer::ScoPeer(int fd, int mtu) : fd_(fd), mtu_(mtu > 0 ? mtu : 48)
{
    receiver_ = std::thread([this] { receive_loop(); });
}

ScoPeer::~ScoPeer()
{
    stop_sending();
    receiving_.store(false);
    if (fd_ >= 0)
        shutdown(fd_, SHUT_RDWR);
    if (receiver_.joinable())
        receiver_.join();
    if (fd_ >= 0)
        close(fd_);
}

void ScoPeer::start_sending(Generator generator)
{
    stop_sending();
    sending_.store(true);
    sender_ = std::thread([this, generator] { send_loop(generator); });
}

void ScoPeer::stop_sending()
{
    sending_.store(false);
    if (sender_.joinable())
        sender_.join();
}

void ScoPeer::close_link()
{
    stop_sending();
    receiving_.store(false);
    shutdown(fd_, SHUT_RDWR);
    if (receiver_.joinable())
        receiver_.join();
    close(fd_);
    fd_ = -1;
}

void ScoPeer::send_loop(Generator generator)
{
    const int samples_per_packet = mtu_ / 2;
    const auto period = std::chrono::nanoseconds(1000000000LL * samples_per_packet / 8000);
    std::vector<int16_t> packet(static_cast<size_t>(samples_per_packet));
    // A phone's radio keeps time whatever the PC is doing; where allowed,
    // keep this thread's pace from being shaken by the load of the test
    // machine, so late packets are the PC's doing, not the phone's.
    sched_param realtime{};
    realtime.sched_priority = 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &realtime);
    uint64_t index = 0;
    auto next = Clock::now();
    while (sending_.load()) {
        for (auto& s : packet)
            s = generator(index++);
        auto now = Clock::now();
        ssize_t n = send(fd_, packet.data(), packet.size() * 2, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != ENOBUFS)
            break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            sent_packets_.push_back({now, index - packet.size(), packet.size() * 2});
            if (air_rate_.load()) {
                if (played_ < received_packets_.size())
                    received_packets_[played_++].played = now;
                else
                    air_misses_.push_back(now);
            }
        }
        next += period;
        std::this_thread::sleep_until(next);
    }
}

void ScoPeer::receive_loop()
{
    uint8_t buf[1024];
    while (receiving_.load()) {
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, 50);
        if (r <= 0)
            continue;
        ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        auto now = Clock::now();
        if (n == 0) {
            eof_.store(true);
            break;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            eof_.store(true);
            break;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        received_packets_.push_back({now, received_.size(), static_cast<size_t>(n), {}});
        if (!air_rate_.load()) {
            received_packets_.back().played = now;
            played_ = received_packets_.size();
        }
        // Keep the sample stream aligned even across an odd-sized packet.
        odd_byte_.insert(odd_byte_.end(), buf, buf + n);
        size_t whole = odd_byte_.size() / 2;
        for (size_t i = 0; i < whole; ++i) {
            int16_t s;
            std::memcpy(&s, &odd_byte_[2 * i], 2);
            received_.push_back(s);
        }
        odd_byte_.erase(odd_byte_.begin(), odd_byte_.begin() + static_cast<long>(whole * 2));
    }
}

std::vector<int16_t> ScoPeer::received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<int16_t> ScoPeer::received_since(uint64_t from) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (from >= received_.size())
        return {};
    return std::vector<int16_t>(received_.begin() + static_cast<long>(from), received_.end());
}

uint64_t ScoPeer::received_count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
}

std::vector<ScoPeer::Packet> ScoPeer::received_packets() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_packets_;
}

std::vector<ScoPeer::Clock::time_point> ScoPeer::air_misses() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return air_misses_;
}

std::vector<ScoPeer::Packet> ScoPeer::sent_packets() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_packets_;
}

}  // namespace th
