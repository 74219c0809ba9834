#include "audio_phone.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <lc3.h>
#include <sbc/sbc.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

namespace th {

namespace {

constexpr uint8_t kSeq[4] = {0x08, 0x38, 0xC8, 0xF8};

int seq_of(uint8_t a, uint8_t b)
{
    for (int i = 0; a == 0x01 && i < 4; ++i)
        if (b == kSeq[i])
            return i;
    return -1;
}

}  // namespace

// The phone's own coder, as a phone's firmware would have it: one frame of
// 7.5 ms per 60-byte packet, header, frame, padding.
struct ScoPeer::Codec {
    int codec;
    sbc_t enc{}, dec{};
    void *lc3_enc_mem = nullptr, *lc3_dec_mem = nullptr;
    lc3_encoder_t lc3_enc = nullptr;
    lc3_decoder_t lc3_dec = nullptr;
    int send_seq = 0, last_seq = -1;
    std::vector<uint8_t> out, in;

    explicit Codec(int c) : codec(c)
    {
        if (codec == 2) {
            sbc_init_msbc(&enc, 0);
            sbc_init_msbc(&dec, 0);
            enc.endian = dec.endian = SBC_LE;
        } else {
            lc3_enc_mem = std::malloc(lc3_encoder_size(7500, 32000));
            lc3_dec_mem = std::malloc(lc3_decoder_size(7500, 32000));
            lc3_enc = lc3_setup_encoder(7500, 32000, 0, lc3_enc_mem);
            lc3_dec = lc3_setup_decoder(7500, 32000, 0, lc3_dec_mem);
        }
    }
    ~Codec()
    {
        if (codec == 2) {
            sbc_finish(&enc);
            sbc_finish(&dec);
        }
        std::free(lc3_enc_mem);
        std::free(lc3_dec_mem);
    }
    int frame_samples() const { return codec == 2 ? 120 : 240; }
    size_t frame_bytes() const { return codec == 2 ? 57 : 58; }

    void encode(const int16_t* pcm)
    {
        uint8_t packet[60] = {0x01, kSeq[send_seq++ & 3]};
        if (codec == 2) {
            ssize_t written = 0;
            sbc_encode(&enc, pcm, 240, packet + 2, 57, &written);
        } else {
            lc3_encode(lc3_enc, LC3_PCM_FORMAT_S16, pcm, 1, 58, packet + 2);
        }
        out.insert(out.end(), packet, packet + 60);
    }

    // Whole frames found in what came in; a missing or damaged one comes
    // out as silence (mSBC) or the decoder's own concealment (LC3).
    void decode(const uint8_t* data, size_t n, std::vector<int16_t>& pcm, uint64_t& bad)
    {
        in.insert(in.end(), data, data + n);
        size_t at = 0;
        while (in.size() - at >= 60) {
            int seq = seq_of(in[at], in[at + 1]);
            if (seq < 0) {
                ++at;
                continue;
            }
            int missing = last_seq < 0 ? 0 : (seq - last_seq - 1) & 3;
            last_seq = seq;
            std::vector<int16_t> frame(static_cast<size_t>(frame_samples()));
            for (int k = 0; k <= missing; ++k) {
                bool ok = false;
                if (k == missing && codec == 2) {
                    size_t written = 0;
                    ok = sbc_decode(&dec, &in[at + 2], 57, frame.data(), 240, &written) > 0 && written == 240;
                } else if (codec == 3) {
                    ok = lc3_decode(lc3_dec, k == missing ? &in[at + 2] : nullptr, 58, LC3_PCM_FORMAT_S16, frame.data(),
                                    1) == 0;
                }
                if (!ok) {
                    ++bad;
                    if (codec == 2)
                        std::fill(frame.begin(), frame.end(), int16_t(0));
                }
                pcm.insert(pcm.end(), frame.begin(), frame.end());
            }
            at += 60;
        }
        in.erase(in.begin(), in.begin() + static_cast<long>(at));
    }
};

void ScoPeer::set_codec(int codec)
{
    codec_ = codec;
    // The receiver may already be decoding what the PC sends.
    std::lock_guard<std::mutex> lock(mutex_);
    coder_ = codec == 2 || codec == 3 ? std::make_unique<Codec>(codec) : nullptr;
}

int ScoPeer::rate() const { return codec_ == 3 ? 32000 : codec_ == 2 ? 16000 : 8000; }

ScoPeer::ScoPeer(int fd, int mtu, bool light) : fd_(fd), mtu_(mtu > 0 ? mtu : 48), light_(light)
{
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (!light_)
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
    // 16-bit PCM at 8 kHz, or 64 kbit/s of codec frames.
    const auto period = coder_ ? std::chrono::nanoseconds(1000000LL * mtu_ / 8)
                               : std::chrono::nanoseconds(1000000000LL * samples_per_packet / 8000);
    std::vector<int16_t> packet(static_cast<size_t>(samples_per_packet));
    std::vector<int16_t> frame(coder_ ? static_cast<size_t>(coder_->frame_samples()) : 0);
    std::mt19937 random(11);
    // A phone's radio keeps time whatever the PC is doing; where allowed,
    // keep this thread's pace from being shaken by the load of the test
    // machine, so late packets are the PC's doing, not the phone's.
    sched_param realtime{};
    realtime.sched_priority = 10;
    if (!light_)
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &realtime);
    uint64_t index = 0;
    auto next = Clock::now();
    while (sending_.load()) {
        uint64_t first = index;
        std::vector<uint8_t> bytes;
        if (coder_) {
            while (coder_->out.size() < static_cast<size_t>(mtu_)) {
                for (auto& s : frame)
                    s = generator(index++);
                coder_->encode(frame.data());
            }
            bytes.assign(coder_->out.begin(), coder_->out.begin() + mtu_);
            coder_->out.erase(coder_->out.begin(), coder_->out.begin() + mtu_);
        } else {
            for (auto& s : packet)
                s = generator(index++);
            bytes.assign(reinterpret_cast<uint8_t*>(packet.data()), reinterpret_cast<uint8_t*>(packet.data()) + mtu_ / 2 * 2);
        }
        std::uniform_real_distribution<> chance(0, 1);
        bool lose = chance(random) < lose_share_.load();
        if (!lose && chance(random) < damage_share_.load())
            bytes[static_cast<size_t>(random()) % bytes.size()] ^= 0x5A;
        auto now = Clock::now();
        ssize_t n = 0;
        if (lose)
            lost_on_air_.fetch_add(1);
        else
            n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != ENOBUFS)
            break;
        if (light_) {
            uint8_t reply[1024];
            while (recv(fd_, reply, sizeof reply, MSG_DONTWAIT) > 0)
                replies_.fetch_add(1);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            sent_packets_.push_back({now, first, bytes.size()});
        }
        if (air_rate_.load() && !eof_.load())
            take_one_for_air_slot(now);
        next += period;
        std::this_thread::sleep_until(next);
    }
    // The receiver reads again (the link's end, at least).
    sending_.store(false);
}

ssize_t ScoPeer::read_packet(uint8_t* buf, size_t size, int flags, Clock::time_point* arrived)
{
    // The kernel's arrival stamp, so that a reader the test machine starves
    // does not make the PC's packets look late.
    char control[CMSG_SPACE(sizeof(timespec))];
    iovec piece{buf, size};
    msghdr message{};
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &message, flags);
    auto now = Clock::now();
    *arrived = now;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); n > 0 && c; c = CMSG_NXTHDR(&message, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
            timespec stamp{}, wall{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            clock_gettime(CLOCK_REALTIME, &wall);
            auto age = std::chrono::seconds(wall.tv_sec - stamp.tv_sec) + std::chrono::nanoseconds(wall.tv_nsec - stamp.tv_nsec);
            if (age > Clock::duration::zero())
                *arrived = now - std::chrono::duration_cast<Clock::duration>(age);
        }
    return n;
}

void ScoPeer::take_one_for_air_slot(Clock::time_point slot)
{
    uint8_t buf[1024];
    Clock::time_point arrived;
    ssize_t n = read_packet(buf, sizeof buf, MSG_DONTWAIT, &arrived);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        eof_.store(true);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (n < 0)
        air_misses_.push_back(slot);
    else
        record(buf, static_cast<size_t>(n), arrived, slot);
}

void ScoPeer::record(const uint8_t* buf, size_t n, Clock::time_point arrived, Clock::time_point played)
{
    received_packets_.push_back({arrived, received_.size(), n, played});
    if (coder_) {
        uint64_t bad = 0;
        coder_->decode(buf, n, received_, bad);
        bad_frames_.fetch_add(bad);
        return;
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

void ScoPeer::receive_loop()
{
    uint8_t buf[1024];
    while (receiving_.load()) {
        // At the air rate the sender takes the packets off, one per slot.
        if (air_rate_.load() && sending_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, 50);
        if (r <= 0)
            continue;
        Clock::time_point arrived;
        ssize_t n = read_packet(buf, sizeof buf, MSG_DONTWAIT, &arrived);
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
        record(buf, static_cast<size_t>(n), arrived, arrived);
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
