#include "audio/pumps.h"

#include "app/log.h"
#include "audio/aec.h"
#include "audio/sco.h"

#include <pthread.h>
#include <pulse/error.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

std::atomic<pa_simple*> pulse_playback{nullptr};
std::atomic<pa_simple*> pulse_capture{nullptr};

namespace {

bool is_remote_close(int e) { return e == EPIPE || e == ENOTCONN || e == ECONNRESET; }

// The phone sends at its own pace whatever we do: packets that queued in the
// socket while the stream opened would otherwise stay queued as a fixed
// extra delay for the rest of the call.
void drop_queued_packets(char* buffer)
{
    while (recv(sco_socket.load(), buffer, kPlaybackBufferBytes, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

bool PlaybackLatencyGuard::drop(pa_simple* stream, size_t bytes)
{
    if (excess_bytes_ == 0 && ++packets_ >= kCheckEveryPackets) {
        packets_ = 0;
        int error = 0;
        pa_usec_t latency = pa_simple_get_latency(stream, &error);
        if (latency != static_cast<pa_usec_t>(-1) && latency > kMaxLatencyUs)
            excess_bytes_ = static_cast<size_t>((latency - kSettleLatencyUs) / 1000) * kBytesPerMs;
    }
    if (excess_bytes_ == 0)
        return false;
    excess_bytes_ -= std::min(bytes, excess_bytes_);
    return true;
}

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
    // The server runs the sink (tlength - 2 * minreq) / 2 = 8 ms ahead and
    // lets us queue up to tlength. The room lets a burst from the phone land
    // without blocking the write, so it shows in the reported latency where
    // the latency guard trims it; in steady state the queue stays near
    // prebuf. A large minreq also means few wake-ups for more data.
    attr.tlength = 100 * kBytesPerMs;
    attr.minreq = 42 * kBytesPerMs;
    // Playback starts once 20 ms are queued: enough to ride over the usual
    // scheduling hiccups of a busy desktop without an underrun, while the
    // call stays within a few tens of milliseconds.
    attr.prebuf = 20 * kBytesPerMs;
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
    // overflow the chunk buffer.
    if (reported_mtu <= 0)
        return kDefaultScoMtu;
    return std::min(reported_mtu, kMaxCaptureChunkBytes);
}

void* sco_playback_thread_func(void*)
{
    pthread_setname_np(pthread_self(), "sco-playback");
    pa_sample_spec sample_format = sco_sample_spec();
    pa_buffer_attr attr = playback_buffer_attr();
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "TELVANE", PA_STREAM_PLAYBACK, nullptr, "Phone Audio", &sample_format,
                                      nullptr, &attr, &error);
    if (!stream) {
        post_logf("⚠️ Speaker could not be opened: %s", pa_strerror(error));
        return nullptr;
    }
    pulse_playback.store(stream);
    post_log("🔊 Speaker active - phone audio coming");

    int16_t samples[kPlaybackBufferBytes / 2];
    auto* buffer = reinterpret_cast<char*>(samples);
    drop_queued_packets(buffer);
    PlaybackLatencyGuard guard;
    while (sco_audio_running.load() && sco_socket.load() >= 0) {
        ssize_t n = recv(sco_socket.load(), buffer, kPlaybackBufferBytes, 0);
        if (n <= 0) {
            if (sco_audio_running.load())
                post_log("⚠️ Phone audio cut");
            break;
        }
        // A dropped packet is never heard, so it is no echo to cancel either.
        if (guard.drop(stream, static_cast<size_t>(n)))
            continue;
        if (aec_enabled.load() && n / 2 >= 1)
            aec_fifo_push(samples, static_cast<int>(n / 2));
        if (pa_simple_write(stream, buffer, static_cast<size_t>(n), &error) < 0) {
            post_logf("⚠️ Audio write error: %s", pa_strerror(error));
            break;
        }
    }

    if (pa_simple* s = pulse_playback.load()) {
        pa_simple_drain(s, nullptr);
        pa_simple_free(s);
        pulse_playback.store(nullptr);
    }
    post_log("🔇 Speaker closed");
    return nullptr;
}

void* sco_capture_thread_func(void*)
{
    pthread_setname_np(pthread_self(), "sco-capture");
    pa_sample_spec sample_format = sco_sample_spec();
    pa_buffer_attr attr = capture_buffer_attr();
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "Telvane", PA_STREAM_RECORD, nullptr, "PC Microphone", &sample_format,
                                      nullptr, &attr, &error);
    if (!stream) {
        post_logf("⚠️ Microphone could not be opened: %s", pa_strerror(error));
        return nullptr;
    }
    pulse_capture.store(stream);
    post_log("🎤 Microphone active - your voice going to phone");

    const int mtu = capture_mtu(sco_mtu.load());
    bool send_error_posted = false;
    int16_t chunk_samples[std::max(kMaxCaptureChunkBytes, kAecChunkBytes) / 2];
    int16_t far_end[kAecFrameSamples];
    auto* chunk = reinterpret_cast<char*>(chunk_samples);

    while (sco_audio_running.load()) {
        if (sco_socket.load() < 0)
            break;
        const int chunk_size = aec_enabled.load() ? kAecChunkBytes : mtu;
        if (pa_simple_read(stream, chunk, static_cast<size_t>(chunk_size), &error) < 0) {
            if (sco_audio_running.load())
                post_logf("⚠️ Microphone read error: %s", pa_strerror(error));
            break;
        }
        if (aec_enabled.load()) {
            aec_fifo_pop_frame(far_end);
            std::lock_guard<std::mutex> lock(aec_mutex);
            if (aec_handle)
                aec_process(aec_handle, chunk_samples, far_end, kAecFrameSamples);
        }
        bool remote_closed = false;
        for (int offset = 0; offset < chunk_size; offset += mtu) {
            size_t piece = static_cast<size_t>(std::min(mtu, chunk_size - offset));
            if (send(sco_socket.load(), chunk + offset, piece, MSG_NOSIGNAL) >= 0)
                continue;
            int e = errno;
            if (is_remote_close(e)) {
                // After a local stop our own shutdown fails the send: that is
                // a call ending normally, not the phone dropping the link.
                if (!send_error_posted && sco_audio_running.load())
                    post_logf("⚠️ Microphone send error: %s", strerror(e));
                stop_sco_audio(const_cast<char*>("🔇 SCO closed (remote closed)"));
                remote_closed = true;
                break;
            }
            if (sco_audio_running.load() && !send_error_posted && e != EAGAIN) {
                post_logf("⚠️ Microphone send error: %s", strerror(e));
                send_error_posted = true;
            }
            usleep(1000);
        }
        if (remote_closed)
            break;
    }

    if (pa_simple* s = pulse_capture.load()) {
        pa_simple_free(s);
        pulse_capture.store(nullptr);
    }
    post_log("🔇 Microphone closed");
    return nullptr;
}
