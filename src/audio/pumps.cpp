#include "audio/pumps.h"

#include "app/log.h"
#include "audio/aec.h"
#include "audio/mic_pacer.h"
#include "audio/sco.h"
#include "audio/speaker_jitter.h"
#include "audio/voice_link.h"
#include "connection/state.h"

#include <pthread.h>
#include <pulse/error.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

std::atomic<pa_simple*> pulse_playback{nullptr};
std::atomic<pa_simple*> pulse_capture{nullptr};

namespace {

constexpr int kMaxBatch = 16;

bool is_remote_close(int e) { return e == EPIPE || e == ENOTCONN || e == ECONNRESET; }

int64_t monotonic_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool current(const VoiceLink* link)
{
    return pump_is_current(link->generation, sco_generation.load(), sco_audio_running.load(), sco_socket.load());
}

// The phone sends at its own pace whatever we do: packets that queued in the
// socket while the stream opened would otherwise stay queued as a fixed
// extra delay for the rest of the call.
void drop_queued_packets(int fd)
{
    char buffer[kPlaybackBufferBytes];
    while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

pa_sample_spec sco_sample_spec()
{
    pa_sample_spec sample_format{};
    sample_format.format = PA_SAMPLE_S16LE;
    sample_format.rate = 8000;
    sample_format.channels = 1;
    return sample_format;
}

pa_buffer_attr playback_buffer_attr()
{
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    // Room for the jitter buffer's ceiling, so a write never blocks; the
    // server then runs the sink (tlength - 2 * minreq) / 2 = 5 ms ahead.
    attr.tlength = 100 * kBytesPerMs;
    attr.minreq = 45 * kBytesPerMs;
    // The pump keeps the queue itself: playback starts with its first
    // write, and after a stall it starts again at once instead of waiting
    // for a pre-buffer, which would turn a short gap into a longer one.
    attr.prebuf = 2;
    attr.fragsize = static_cast<uint32_t>(-1);
    return attr;
}

pa_buffer_attr capture_buffer_attr()
{
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = 10 * kBytesPerMs;
    return attr;
}

int capture_mtu(int reported_mtu)
{
    // A zero MTU would never advance the send loop; a huge one would
    // overflow the packet buffer.
    if (reported_mtu <= 0)
        return kDefaultScoMtu;
    return std::min(reported_mtu, kMaxCaptureChunkBytes);
}

void* sco_playback_thread_func(void* arg)
{
    auto* link = static_cast<VoiceLink*>(arg);
    pthread_setname_np(pthread_self(), "sco-playback");
    pa_sample_spec sample_format = sco_sample_spec();
    pa_buffer_attr attr = playback_buffer_attr();
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "TELVANE", PA_STREAM_PLAYBACK, nullptr, "Phone Audio", &sample_format,
                                      nullptr, &attr, &error);
    if (!stream) {
        post_logf("⚠️ Speaker could not be opened: %s", pa_strerror(error));
        voice_link_release(link);
        return nullptr;
    }
    publish_stream(pulse_playback, stream, link->generation);
    post_log("🔊 Speaker active - phone audio coming");

    drop_queued_packets(link->fd);
    // Once a tick: everything the phone sent since the last one goes to the
    // server in one write. One write per packet costs most of the pump's CPU.
    SpeakerJitter jitter;
    unsigned ticks = 0;
    char packet[kPlaybackBufferBytes];
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (current(link)) {
        next.tv_nsec += SpeakerJitter::kTickUs * 1000;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        const int64_t now = monotonic_us();
        // After a stall of our own, carry on from now rather than catch up.
        if (now - (int64_t(next.tv_sec) * 1000000 + next.tv_nsec / 1000) > SpeakerJitter::kTickUs) {
            next.tv_sec = now / 1000000;
            next.tv_nsec = (now % 1000000) * 1000;
        }
        bool cut = false;
        for (;;) {
            ssize_t n = recv(link->fd, packet, sizeof packet, MSG_DONTWAIT);
            if (n > 0) {
                jitter.add_bytes(packet, static_cast<size_t>(n), now);
                link->phone_packets.fetch_add(1);
                link->phone_packet_bytes.store(static_cast<int>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            cut = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            break;
        }
        if (cut) {
            if (current(link))
                post_log("⚠️ Phone audio cut");
            break;
        }
        if (++ticks % 10 == 0) {
            pa_usec_t latency = pa_simple_get_latency(stream, &error);
            if (latency != static_cast<pa_usec_t>(-1))
                jitter.note_server_latency(now, static_cast<int64_t>(latency));
        }
        size_t samples = 0;
        const int16_t* block = jitter.tick(now, &samples);
        if (samples == 0)
            continue;
        // The canceller's far end is what is really played: concealment and
        // trims included.
        if (aec_enabled.load())
            aec_fifo_push(block, static_cast<int>(samples));
        if (pa_simple_write(stream, block, samples * 2, &error) < 0) {
            post_logf("⚠️ Audio write error: %s", pa_strerror(error));
            break;
        }
    }

    pa_simple_drain(stream, nullptr);
    // Only our own stream: a late pump must never free the next call's.
    withdraw_stream(pulse_playback, stream);
    pa_simple_free(stream);
    post_log("🔇 Speaker closed");
    voice_link_release(link);
    return nullptr;
}

void* sco_capture_thread_func(void* arg)
{
    auto* link = static_cast<VoiceLink*>(arg);
    pthread_setname_np(pthread_self(), "sco-capture");
    pa_sample_spec sample_format = sco_sample_spec();
    pa_buffer_attr attr = capture_buffer_attr();
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "Telvane", PA_STREAM_RECORD, nullptr, "PC Microphone", &sample_format,
                                      nullptr, &attr, &error);
    if (!stream) {
        post_logf("⚠️ Microphone could not be opened: %s", pa_strerror(error));
        voice_link_release(link);
        return nullptr;
    }
    publish_stream(pulse_capture, stream, link->generation);
    post_log("🎤 Microphone active - your voice going to phone");

    MicPacer pacer(capture_mtu(link->mtu));
    size_t mtu = pacer.mtu();
    bool send_error_posted = false;
    int16_t chunk_samples[kAecChunkBytes / 2];
    int16_t far_end[kAecFrameSamples];
    auto* chunk = reinterpret_cast<char*>(chunk_samples);

    bool remote_closed = false;
    while (!remote_closed && current(link)) {
        // 10 ms a read whether the canceller is on or not: the pacer cuts
        // it into the phone's packets.
        if (pa_simple_read(stream, chunk, kAecChunkBytes, &error) < 0) {
            if (current(link))
                post_logf("⚠️ Microphone read error: %s", pa_strerror(error));
            break;
        }
        if (aec_enabled.load()) {
            aec_fifo_pop_frame(far_end);
            std::lock_guard<std::mutex> lock(aec_mutex);
            if (aec_handle)
                aec_process(aec_handle, chunk_samples, far_end, kAecFrameSamples);
        }
        // Our packets are the size of the phone's.
        int phone_size = capture_mtu(link->phone_packet_bytes.load());
        if (link->phone_packet_bytes.load() > 0 && static_cast<size_t>(phone_size) != mtu) {
            pacer = MicPacer(phone_size);
            mtu = pacer.mtu();
        }
        pacer.add_recorded(chunk, kAecChunkBytes);
        // The packets due go out in one system call.
        int due = std::min(pacer.due(link->phone_packets.load(), monotonic_us()), kMaxBatch);
        mmsghdr messages[kMaxBatch];
        iovec pieces[kMaxBatch];
        for (int k = 0; k < due; ++k) {
            pieces[k] = {const_cast<char*>(pacer.packet(static_cast<size_t>(k))), mtu};
            messages[k] = {};
            messages[k].msg_hdr.msg_iov = &pieces[k];
            messages[k].msg_hdr.msg_iovlen = 1;
        }
        for (int k = 0; k < due;) {
            int r = sendmmsg(link->fd, messages + k, static_cast<unsigned>(due - k), MSG_NOSIGNAL);
            if (r > 0) {
                k += r;
                continue;
            }
            int e = errno;
            ++k;   // the piece is lost
            if (is_remote_close(e)) {
                // After a local stop our own shutdown fails the send: that is
                // a call ending normally, not the phone dropping the link.
                if (current(link)) {
                    if (!send_error_posted)
                        post_logf("⚠️ Microphone send error: %s", strerror(e));
                    stop_sco_audio(const_cast<char*>("🔇 SCO closed (remote closed)"));
                    // The phone's user moved the sound to the handset: it
                    // stays there until brought back from the window.
                    sco_sound_on_phone.store(1);
                    post_log("🔈 Sound on the phone");
                    g_idle_add(update_ui_cb, nullptr);
                }
                remote_closed = true;
                break;
            }
            if (current(link) && !send_error_posted && e != EAGAIN) {
                post_logf("⚠️ Microphone send error: %s", strerror(e));
                send_error_posted = true;
            }
            usleep(1000);
        }
        pacer.sent(static_cast<size_t>(due));
    }

    withdraw_stream(pulse_capture, stream);
    pa_simple_free(stream);
    post_log("🔇 Microphone closed");
    voice_link_release(link);
    return nullptr;
}
