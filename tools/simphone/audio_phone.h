// The phone's end of a SCO link: sends 8 kHz 16-bit mono packets of one MTU
// at the real pace and records what arrives, each packet time-stamped. On a
// transparent link it speaks mSBC (16 kHz) or LC3-SWB (32 kHz) instead, in
// 60-byte H2 packets cut to the MTU, coded with libsbc and liblc3.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace th {

class ScoPeer {
public:
    using Clock = std::chrono::steady_clock;
    using Generator = std::function<int16_t(uint64_t sample_index)>;
    struct Packet {
        Clock::time_point time;
        uint64_t first_sample;   // index into the received (or sent) stream
        size_t bytes;
        // Received: time is the kernel's arrival stamp; played, when the
        // phone took it off its queue (the air slot).
        Clock::time_point played{};
    };

    // Takes ownership of fd. Sends nothing until start_sending. A light
    // phone, for measuring what is left of a process once the phone's own
    // cost is out of the way, never waits on the link (it takes the
    // replies off after its next send, keeping only their count) and runs
    // at normal priority.
    explicit ScoPeer(int fd, int mtu = 48, bool light = false);
    uint64_t replies() const { return replies_.load(); }
    ~ScoPeer();
    ScoPeer(const ScoPeer&) = delete;
    ScoPeer& operator=(const ScoPeer&) = delete;

    // 1 CVSD, 2 mSBC, 3 LC3-SWB; before start_sending. Sample indexes and
    // what received() holds are then at the codec's rate.
    void set_codec(int codec);
    int rate() const;
    // Radio trouble on what the phone sends: a share of its packets
    // dropped, or damaged in one byte, at random.
    void lose_packets(double share) { lose_share_.store(share); }
    void damage_packets(double share) { damage_share_.store(share); }
    uint64_t packets_lost_on_air() const { return lost_on_air_.load(); }
    // Frames from the PC that were missing or would not decode.
    uint64_t bad_frames_received() const { return bad_frames_.load(); }
    void start_sending(Generator generator);
    // Like a real controller, take one received packet off the link per
    // packet sent, in the sending thread's own slot, instead of reading
    // everything at once: what the PC sends beyond that waits, as delay.
    void drain_at_air_rate(bool on) { air_rate_.store(on); }
    // Air slots that found no packet from the PC waiting.
    std::vector<Clock::time_point> air_misses() const;
    void stop_sending();
    // The phone drops the link.
    void close_link();

    std::vector<int16_t> received() const;
    // Samples received since sample index from.
    std::vector<int16_t> received_since(uint64_t from) const;
    uint64_t received_count() const;
    std::vector<Packet> received_packets() const;
    std::vector<Packet> sent_packets() const;
    bool link_closed_by_host() const { return eof_.load(); }
    int fd() const { return fd_; }

private:
    void receive_loop();
    ssize_t read_packet(uint8_t* buf, size_t size, int flags, Clock::time_point* arrived);
    void take_one_for_air_slot(Clock::time_point slot);
    void record(const uint8_t* buf, size_t n, Clock::time_point arrived, Clock::time_point played);   // under mutex_
    void send_loop(Generator generator);
    struct Codec;

    int fd_;
    int mtu_;
    std::atomic<bool> sending_{false};
    std::atomic<bool> receiving_{true};
    std::atomic<bool> eof_{false};
    std::thread sender_;
    std::thread receiver_;
    mutable std::mutex mutex_;
    std::vector<int16_t> received_;
    std::vector<Packet> received_packets_;
    std::vector<Packet> sent_packets_;
    std::vector<uint8_t> odd_byte_;
    std::atomic<bool> air_rate_{false};
    int codec_ = 1;
    std::unique_ptr<Codec> coder_;
    std::atomic<double> lose_share_{0}, damage_share_{0};
    std::atomic<uint64_t> lost_on_air_{0}, bad_frames_{0};
    bool light_ = false;
    std::atomic<uint64_t> replies_{0};
    std::vector<Clock::time_point> air_misses_;
};

}  // namespace th
