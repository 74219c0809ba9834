#include "audio/pumps.h"

#include "base/changes.h"
#include "base/log.h"
#include "audio/aec.h"
#include "audio/call_volume.h"
#include "audio/pulse_library.h"
#include "audio/realtime.h"
#include "core/mic_pacer.h"
#include "audio/sco.h"
#include "core/speaker_jitter.h"
#include "audio/voice_link.h"
#include "audio/voice_loop.h"

#include <glib.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

std::atomic<pa_stream*> pulse_playback{nullptr};
std::atomic<pa_stream*> pulse_capture{nullptr};

namespace {

constexpr int kMaxBatch = 16;
// A bound on the intake of one tick, so that a flood from the server cannot
// hold the link back; what is left waits for the next tick.
constexpr int kMaxIntakePasses = 32;
constexpr size_t kMaxChunkSamples = 320;   // 10 ms at 32 kHz
constexpr int64_t kDrainUs = 200000;
constexpr int64_t kSetupUs = 500000;

// The voice thread goes on only once the library is loaded.
const PulseLibrary& pulse() { return *pulse_library(); }

// Everything the server sent meanwhile, without waiting. Over shared memory
// one pass takes it all; over the socket each pass reads one message, so
// passes go on until one finds nothing. The answers the messages ask for
// leave with the tick's own.
bool take_in(VoiceLoop& loop)
{
    for (int pass = 0; pass < kMaxIntakePasses; ++pass) {
        int n = loop.poll_once(0);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
    }
    return true;
}

bool is_remote_close(int e) { return e == EPIPE || e == ENOTCONN || e == ECONNRESET; }

bool current(const VoiceLink* link)
{
    return pump_is_current(link->generation, sco_generation.load(), sco_audio_running.load(), sco_socket.load());
}

enum class SideState { Opening, Running, Ended };

// One direction: its stream on the call's one client connection, and where
// it stands. Each stream carries its own application name, as two clients'
// streams would.
struct Side {
    bool playback;
    const char* app_name;   // what the server lists the stream under
    const char* stream_name;
    std::atomic<pa_stream*>* slot;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    SideState state = SideState::Opening;
    bool ready = false;    // set by the stream's callback
    bool ran_dry = false;  // set by the playback stream's underflow callback
    int failed = 0;        // error code, set by the callbacks
};

struct Engine {
    VoiceLink* link;
    VoiceLoop loop;
    pa_context* context = nullptr;
    Side speaker{true, "TELVANE", "Phone Audio", &pulse_playback};
    Side mic{false, "Telvane", "PC Microphone", &pulse_capture};
    int rate;
    size_t chunk_bytes;   // 10 ms of the microphone
    SpeakerJitter jitter;
    MicPacer pacer;
    VoiceDecoder decoder;
    VoiceEncoder encoder;
    bool cut = false;
    bool remote_closed = false;
    bool send_error_posted = false;
    unsigned ticks = 0;
    int16_t chunk[kMaxChunkSamples];
    size_t chunk_fill = 0;   // bytes

    explicit Engine(VoiceLink* l)
        : link(l),
          rate(codec_rate(l->codec)),
          chunk_bytes(static_cast<size_t>(rate / 100 * 2)),
          jitter(rate),
          pacer(link_packet_bytes(l->codec, l->mtu), static_cast<size_t>(codec_link_bytes_per_ms(l->codec)),
                codec_transparent(l->codec) ? kH2PacketBytes : 2),
          decoder(l->codec),
          encoder(l->codec)
    {
    }
};

int context_error(const Side& side)
{
    int e = side.context ? pulse().pa_context_errno(side.context) : PA_ERR_INTERNAL;
    return e ? e : PA_ERR_CONNECTIONTERMINATED;
}

void stream_state_cb(pa_stream* s, void* userdata)
{
    auto* side = static_cast<Side*>(userdata);
    switch (pulse().pa_stream_get_state(s)) {
    case PA_STREAM_READY: side->ready = true; break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED: side->failed = context_error(*side); break;
    default: break;
    }
}

void open_stream(Engine& e, Side& side)
{
    pa_sample_spec format = sco_sample_spec(static_cast<uint32_t>(e.rate));
    pa_proplist* props = pulse().pa_proplist_new();
    pulse().pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, side.app_name);
    side.stream = pulse().pa_stream_new_with_proplist(side.context, side.stream_name, &format, nullptr, props);
    pulse().pa_proplist_free(props);
    if (!side.stream) {
        side.failed = context_error(side);
        return;
    }
    pulse().pa_stream_set_state_callback(side.stream, stream_state_cb, &side);
    if (side.playback)
        pulse().pa_stream_set_underflow_callback(
            side.stream, [](pa_stream*, void* s) { static_cast<Side*>(s)->ran_dry = true; }, &side);
    // The playback flags the simple API used: the server's latency figures
    // stay current without asking, and the buffer sizes below are honoured.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_ADJUST_LATENCY |
                                                      PA_STREAM_AUTO_TIMING_UPDATE);
    int r;
    if (side.playback) {
        pa_buffer_attr attr = playback_buffer_attr(static_cast<uint32_t>(e.rate));
        r = pulse().pa_stream_connect_playback(side.stream, nullptr, &attr, flags, nullptr, nullptr);
    } else {
        // Nothing here asks the record stream for its latency: no timing
        // updates for it, only the fragment size honoured.
        pa_buffer_attr attr = capture_buffer_attr(static_cast<uint32_t>(e.rate));
        r = pulse().pa_stream_connect_record(side.stream, nullptr, &attr, PA_STREAM_ADJUST_LATENCY);
    }
    if (r < 0)
        side.failed = context_error(side);
}

void context_state_cb(pa_context* c, void* userdata)
{
    auto* e = static_cast<Engine*>(userdata);
    switch (pulse().pa_context_get_state(c)) {
    case PA_CONTEXT_READY:
        for (Side* side : {&e->speaker, &e->mic})
            if (!side->stream && !side->failed)
                open_stream(*e, *side);
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        for (Side* side : {&e->speaker, &e->mic})
            side->failed = context_error(*side);
        break;
    default: break;
    }
}

// One connection for both streams: a second one costs the thread and the
// server a second channel to serve every tick.
void open_context(Engine& e)
{
    e.context = pulse().pa_context_new(e.loop.api(), "Telvane");
    e.speaker.context = e.mic.context = e.context;
    if (!e.context) {
        e.speaker.failed = e.mic.failed = PA_ERR_INTERNAL;
        return;
    }
    pulse().pa_context_set_state_callback(e.context, context_state_cb, &e);
    if (pulse().pa_context_connect(e.context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0)
        e.speaker.failed = e.mic.failed = context_error(e.speaker);
}

void release_stream(Side& side)
{
    // Only our own stream: a late thread must never clear the next call's.
    withdraw_stream(*side.slot, side.stream);
    if (side.stream) {
        pulse().pa_stream_set_state_callback(side.stream, nullptr, nullptr);
        if (side.playback)
            pulse().pa_stream_set_underflow_callback(side.stream, nullptr, nullptr);
        pulse().pa_stream_disconnect(side.stream);
        pulse().pa_stream_unref(side.stream);
        side.stream = nullptr;
    }
}

void end_side(Side& side)
{
    if (side.state == SideState::Ended)
        return;
    const bool ran = side.state == SideState::Running;
    side.state = SideState::Ended;
    release_stream(side);
    if (ran)
        post_log(side.playback ? "🔇 Speaker closed" : "🔇 Microphone closed");
}

// What the callbacks reported, acted on outside them.
void settle(Engine& e, Side& side)
{
    if (side.state == SideState::Opening && side.failed) {
        post_logf(side.playback ? "⚠️ Speaker could not be opened: %s" : "⚠️ Microphone could not be opened: %s",
                  pulse().pa_strerror(side.failed));
        end_side(side);
    } else if (side.state == SideState::Opening && side.ready) {
        side.state = SideState::Running;
        publish_stream(*side.slot, side.stream, e.link->generation);
        post_log(side.playback ? "🔊 Speaker active - phone audio coming"
                               : "🎤 Microphone active - your voice going to phone");
    } else if (side.state == SideState::Running && side.failed) {
        // The sound server went away under a running stream.
        if (side.playback)
            post_logf("⚠️ Audio write error: %s", pulse().pa_strerror(side.failed));
        else if (current(e.link))
            post_logf("⚠️ Microphone read error: %s", pulse().pa_strerror(side.failed));
        end_side(side);
    }
}

void take_packet(Engine& e, const char* packet, ssize_t n, int64_t now)
{
    // Until the stream plays, what the phone sends is dropped: packets
    // kept from the opening would stay as a fixed extra delay for the rest
    // of the call.
    if (e.link->codec == VoiceCodec::CVSD) {
        if (e.speaker.state == SideState::Running)
            e.jitter.add_bytes(packet, static_cast<size_t>(n), now);
    } else {
        // Decoded whether played or not: the frames' sequence goes on.
        int16_t pcm[SpeakerJitter::kMaxPacketSamples];
        size_t got = e.decoder.decode(reinterpret_cast<const uint8_t*>(packet), static_cast<size_t>(n), pcm,
                                      SpeakerJitter::kMaxPacketSamples);
        if (e.speaker.state == SideState::Running)
            e.jitter.add_samples(pcm, got, now);
    }
    e.link->phone_packets.fetch_add(1);
    e.link->phone_packet_bytes.store(static_cast<int>(n));
}

void speaker_tick(Engine& e, int64_t now)
{
    // Everything the phone sent since the last tick, in one system call
    // where it fits.
    char packets[kMaxBatch][kPlaybackBufferBytes];
    iovec pieces[kMaxBatch];
    mmsghdr messages[kMaxBatch];
    for (int k = 0; k < kMaxBatch; ++k) {
        pieces[k] = {packets[k], kPlaybackBufferBytes};
        messages[k] = {};
        messages[k].msg_hdr.msg_iov = &pieces[k];
        messages[k].msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        int got = recvmmsg(e.link->fd, messages, kMaxBatch, MSG_DONTWAIT, nullptr);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            e.cut = errno != EAGAIN && errno != EWOULDBLOCK;
            break;
        }
        for (int k = 0; k < got && !e.cut; ++k) {
            // An empty read is the link's end.
            if (messages[k].msg_len == 0)
                e.cut = true;
            else
                take_packet(e, packets[k], static_cast<ssize_t>(messages[k].msg_len), now);
        }
        if (got == 0)
            e.cut = true;
        if (e.cut || got < kMaxBatch)
            break;
    }
    if (e.cut) {
        if (current(e.link))
            post_log("⚠️ Phone audio cut");
        end_side(e.speaker);
        return;
    }
    if (e.speaker.state != SideState::Running)
        return;
    pa_stream* stream = e.speaker.stream;
    if (++e.ticks % 10 == 0) {
        pa_usec_t latency = 0;
        int negative = 0;
        if (pulse().pa_stream_get_latency(stream, &latency, &negative) == 0)
            e.jitter.note_server_latency(now, negative ? -static_cast<int64_t>(latency) : static_cast<int64_t>(latency));
    }
    if (e.speaker.ran_dry) {
        e.speaker.ran_dry = false;
        e.jitter.note_underrun(now);
    }
    size_t samples = 0;
    const int16_t* block = e.jitter.tick(now, &samples);
    if (samples == 0)
        return;
    int16_t scaled[SpeakerJitter::kMaxOutSamples];
    int gain = speaker_gain.load();
    if (gain < kMaxGain && samples <= sizeof scaled / sizeof scaled[0]) {
        std::copy(block, block + samples, scaled);
        apply_gain(scaled, samples, gain);
        block = scaled;
    }
    // The canceller's far end is what is really played: concealment and
    // trims included.
    if (aec_enabled.load())
        aec_fifo_push(block, static_cast<int>(samples));
    if (pulse().pa_stream_write(stream, block, samples * 2, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
        post_logf("⚠️ Audio write error: %s", pulse().pa_strerror(context_error(e.speaker)));
        end_side(e.speaker);
    }
}

// What one read of the microphone gave, coded for the link, goes to the
// pacer in one piece: its standing-queue window counts pieces, one a tick.
struct MicBatch {
    char bytes[MicPacer::kCapacity];
    size_t size = 0;
};

void batch_add(Engine& e, MicBatch& batch, const void* data, size_t bytes)
{
    if (batch.size + bytes > sizeof batch.bytes) {
        e.pacer.add_recorded(batch.bytes, batch.size);
        batch.size = 0;
    }
    std::memcpy(batch.bytes + batch.size, data, bytes);
    batch.size += bytes;
}

// Up to 10 ms of the microphone on its way to the link.
void mic_samples(Engine& e, int16_t* pcm, size_t samples, MicBatch& batch)
{
    apply_gain(pcm, samples, microphone_gain.load());
    if (e.link->codec == VoiceCodec::CVSD) {
        batch_add(e, batch, pcm, samples * 2);
        return;
    }
    uint8_t coded[2 * kH2PacketBytes];
    size_t n = e.encoder.encode(pcm, samples, coded, sizeof coded);
    if (n)
        batch_add(e, batch, coded, n);
}

// The canceller works on whole 10 ms chunks. Without it the microphone goes
// on as it comes: nothing waits for the rest of a chunk.
void mic_piece(Engine& e, const char* in, size_t bytes, MicBatch& batch)
{
    for (size_t at = 0; at < bytes;) {
        if (e.chunk_fill == 0 && !aec_enabled.load()) {
            int16_t pcm[kMaxChunkSamples];
            size_t take = std::min(bytes - at, e.chunk_bytes);
            std::memcpy(pcm, in + at, take);
            mic_samples(e, pcm, take / 2, batch);
            at += take;
            continue;
        }
        size_t take = std::min(bytes - at, e.chunk_bytes - e.chunk_fill);
        std::memcpy(reinterpret_cast<char*>(e.chunk) + e.chunk_fill, in + at, take);
        e.chunk_fill += take;
        at += take;
        if (e.chunk_fill < e.chunk_bytes)
            continue;
        e.chunk_fill = 0;
        const int n = static_cast<int>(e.chunk_bytes / 2);
        if (aec_enabled.load()) {
            int16_t far_end[kMaxChunkSamples];
            aec_fifo_pop(far_end, n);
            std::lock_guard<std::mutex> lock(aec_mutex);
            // One made for another rate refuses the frame and leaves it alone.
            if (aec_handle)
                aec_process(aec_handle, e.chunk, far_end, n);
        }
        mic_samples(e, e.chunk, static_cast<size_t>(n), batch);
    }
}

bool mic_read(Engine& e)
{
    pa_stream* stream = e.mic.stream;
    MicBatch batch;
    // Peeked until empty: every call into libpulse costs a system call of
    // its own (its fork check), and the server's blocks come a few a tick.
    for (;;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pulse().pa_stream_peek(stream, &data, &bytes) < 0)
            return false;
        if (bytes == 0)
            break;
        if (data)
            mic_piece(e, static_cast<const char*>(data), bytes, batch);
        pulse().pa_stream_drop(stream);
    }
    if (batch.size)
        e.pacer.add_recorded(batch.bytes, batch.size);
    return true;
}

void mic_tick(Engine& e, int64_t now)
{
    if (e.mic.state != SideState::Running)
        return;
    if (!mic_read(e)) {
        if (current(e.link))
            post_logf("⚠️ Microphone read error: %s", pulse().pa_strerror(context_error(e.mic)));
        end_side(e.mic);
        return;
    }
    // Our packets are the size of the phone's: USB adapters carry 48-byte
    // packets whatever the MTU says.
    const int phone_size = e.link->phone_packet_bytes.load();
    if (phone_size > 0 && static_cast<size_t>(link_packet_bytes(e.link->codec, phone_size)) != e.pacer.mtu())
        e.pacer = MicPacer(link_packet_bytes(e.link->codec, phone_size),
                           static_cast<size_t>(codec_link_bytes_per_ms(e.link->codec)),
                           codec_transparent(e.link->codec) ? kH2PacketBytes : 2);
    const size_t mtu = e.pacer.mtu();
    // The packets due go out in one system call.
    int due = std::min(e.pacer.due(e.link->phone_packets.load(), now), kMaxBatch);
    mmsghdr messages[kMaxBatch];
    iovec pieces[kMaxBatch];
    for (int k = 0; k < due; ++k) {
        pieces[k] = {const_cast<char*>(e.pacer.packet(static_cast<size_t>(k))), mtu};
        messages[k] = {};
        messages[k].msg_hdr.msg_iov = &pieces[k];
        messages[k].msg_hdr.msg_iovlen = 1;
    }
    for (int k = 0; k < due;) {
        int r = sendmmsg(e.link->fd, messages + k, static_cast<unsigned>(due - k), MSG_NOSIGNAL);
        if (r > 0) {
            k += r;
            continue;
        }
        int err = errno;
        ++k;   // the piece is lost
        if (is_remote_close(err)) {
            // After a local stop our own shutdown fails the send: that is
            // a call ending normally, not the phone dropping the link.
            if (current(e.link)) {
                if (!e.send_error_posted)
                    post_logf("⚠️ Microphone send error: %s", strerror(err));
                // The stop waits for our streams to be let go; they are
                // about to be, by this thread, once the stop returns.
                withdraw_stream(pulse_playback, e.speaker.stream);
                withdraw_stream(pulse_capture, e.mic.stream);
                stop_sco_audio(const_cast<char*>("🔇 SCO closed (remote closed)"));
                // The phone's user moved the sound to the handset: it
                // stays there until brought back from the window.
                sco_sound_on_phone.store(1);
                post_log("🔈 Sound on the phone");
                state_changed_later(Change::Header);
            }
            e.remote_closed = true;
            break;
        }
        if (current(e.link) && !e.send_error_posted && err != EAGAIN) {
            post_logf("⚠️ Microphone send error: %s", strerror(err));
            e.send_error_posted = true;
        }
        usleep(1000);
    }
    e.pacer.sent(static_cast<size_t>(due));
}

// Once a run: the reason does not change from call to call.
void raise_priority()
{
    static std::atomic<bool> told{false};
    std::string why;
    if (!make_thread_realtime(&why) && !told.exchange(true))
        post_logf("ℹ️ Voice at normal priority, so a busy PC may break the sound up: %s", why.c_str());
}

void drain_speaker(Engine& e)
{
    if (e.speaker.state != SideState::Running || e.speaker.failed)
        return;
    bool done = false;
    pa_operation* op = pulse().pa_stream_drain(
        e.speaker.stream, [](pa_stream*, int, void* flag) { *static_cast<bool*>(flag) = true; }, &done);
    if (!op)
        return;
    const int64_t until = g_get_monotonic_time() + kDrainUs;
    while (!done && !e.speaker.failed && g_get_monotonic_time() < until) {
        if (e.loop.run_once(static_cast<int>(until - g_get_monotonic_time())) < 0)
            break;
    }
    pulse().pa_operation_cancel(op);
    pulse().pa_operation_unref(op);
}

void free_context(Engine& e)
{
    if (!e.context)
        return;
    pulse().pa_context_set_state_callback(e.context, nullptr, nullptr);
    // While the connection is set up the server passes descriptors (its
    // memory pools' memfds, the ring buffer's eventfds), each with the first
    // bytes of its packet; libpulse takes one over only once the whole packet
    // is read, and a context let go in between leaks it. All of them come
    // before the answer that makes the context ready: let the setup finish
    // (no streams open, the callback is gone) or fail first.
    const int64_t until = g_get_monotonic_time() + kSetupUs;
    for (pa_context_state_t s = pulse().pa_context_get_state(e.context);
         (s == PA_CONTEXT_AUTHORIZING || s == PA_CONTEXT_SETTING_NAME) && g_get_monotonic_time() < until;
         s = pulse().pa_context_get_state(e.context)) {
        if (e.loop.run_once(static_cast<int>(until - g_get_monotonic_time())) < 0)
            break;
    }
    pulse().pa_context_disconnect(e.context);
    pulse().pa_context_unref(e.context);
    e.context = e.speaker.context = e.mic.context = nullptr;
}

}  // namespace

pa_sample_spec sco_sample_spec(uint32_t rate)
{
    pa_sample_spec sample_format{};
    sample_format.format = PA_SAMPLE_S16LE;
    sample_format.rate = rate;
    sample_format.channels = 1;
    return sample_format;
}

pa_buffer_attr playback_buffer_attr(uint32_t rate)
{
    const uint32_t bytes_per_ms = rate * 2 / 1000;
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    // Room for the jitter buffer's ceiling, so a write never waits; the
    // server then runs the sink (tlength - 2 * minreq) / 2 = 5 ms ahead.
    attr.tlength = 100 * bytes_per_ms;
    attr.minreq = 45 * bytes_per_ms;
    // The thread keeps the queue itself: playback starts with its first
    // write, and after a stall it starts again at once instead of waiting
    // for a pre-buffer, which would turn a short gap into a longer one.
    attr.prebuf = 2;
    attr.fragsize = static_cast<uint32_t>(-1);
    return attr;
}

pa_buffer_attr capture_buffer_attr(uint32_t rate)
{
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = 10 * rate * 2 / 1000;
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

int link_packet_bytes(VoiceCodec codec, int reported_mtu)
{
    if (!codec_transparent(codec))
        return capture_mtu(reported_mtu);
    return reported_mtu >= static_cast<int>(kH2PacketBytes) || reported_mtu <= 0 ? static_cast<int>(kH2PacketBytes)
                                                                                  : reported_mtu;
}

void* sco_audio_thread_func(void* arg)
{
    auto* link = static_cast<VoiceLink*>(arg);
    pthread_setname_np(pthread_self(), "sco-audio");
    std::string why;
    if (!pulse_library(&why)) {
        post_logf("⚠️ Speaker could not be opened: %s", why.c_str());
        post_logf("⚠️ Microphone could not be opened: %s", why.c_str());
        voice_link_release(link);
        return nullptr;
    }
    raise_priority();
    auto* e = new Engine(link);
    open_context(*e);

    // Both directions once a tick, against the clock: one wake-up per tick
    // besides the server's own messages.
    int64_t next_tick = g_get_monotonic_time();
    for (;;) {
        settle(*e, e->speaker);
        settle(*e, e->mic);
        if (e->remote_closed || !current(link) ||
            (e->speaker.state == SideState::Ended && e->mic.state == SideState::Ended))
            break;
        int64_t now = g_get_monotonic_time();
        const bool streaming = e->speaker.state != SideState::Opening && e->mic.state != SideState::Opening;
        if (now >= next_tick) {
            if (realtime_was_lowered())
                post_log("⚠️ Voice back at normal priority: it ran 100 ms without a pause");
            if (!e->cut)
                speaker_tick(*e, now);
            mic_tick(*e, now);
            next_tick += kAudioTickUs;
            // After a stall of our own, carry on from now rather than catch up.
            if (now - next_tick > kAudioTickUs)
                next_tick = now + kAudioTickUs;
            // What the tick wrote leaves now, not with the next tick; the
            // server's answers wait for the next.
            if (streaming)
                e->loop.run_deferred();
            continue;
        }
        if (streaming) {
            // Once both streams run, the server's blocks wait in their
            // queue until the tick: one wake-up a tick instead of one per
            // block of the server.
            timespec until{static_cast<time_t>(next_tick / 1000000), static_cast<long>(next_tick % 1000000) * 1000};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            }
            if (!take_in(e->loop))
                break;
            continue;
        }
        if (e->loop.run_once(static_cast<int>(next_tick - now)) < 0)
            break;
    }

    if (!e->remote_closed)
        drain_speaker(*e);
    end_side(e->speaker);
    end_side(e->mic);
    free_context(*e);
    delete e;
    voice_link_release(link);
    return nullptr;
}
