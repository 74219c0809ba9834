#include "audio/sco.h"

#include "base/changes.h"
#include "base/log.h"
#include "audio/aec.h"
#include "audio/pumps.h"
#include "audio/voice_link.h"
#include "audio/sound_module.h"
#include "base/events.h"
#include "base/phone.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/sco.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

std::atomic<int> sco_socket{-1};
std::atomic<int> sco_mtu{48};
std::atomic<int> sco_audio_running{0};
std::atomic<int> sco_codec{static_cast<int>(VoiceCodec::CVSD)};
std::atomic<int> sco_link_codec{static_cast<int>(VoiceCodec::CVSD)};
std::atomic<int> sco_sound_on_phone{0};
std::atomic<int> sco_link_from_phone{0};
pthread_t sco_audio_thread{};

namespace {

// Two callers connecting at once (a dial and the phone's "call active"
// report) would each start a pair of pumps on the same globals.
std::mutex connect_mutex;
std::mutex pump_threads_mutex;   // guards sco_audio_thread and audio_started
bool audio_started = false;   // under pump_threads_mutex

// A controller answers a synchronous link's accept within a few slots.
constexpr int kLinkSetupMs = 2000;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void link_up(int fd, VoiceCodec codec);

void close_sco_socket()
{
    // Two stops may race (hang-up thread and a direct call): whoever takes
    // the descriptor out closes it, so it is never closed twice.
    int fd = sco_socket.exchange(-1);
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
}

int open_sco_socket()
{
    int fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC, BTPROTO_SCO);
    sco_socket.store(fd);
    return fd;
}


bool reap_one(pthread_t& thread, bool& started, bool wait)
{
    if (!started || pthread_equal(thread, pthread_self()))
        return started;
    if (!wait) {
        if (pthread_tryjoin_np(thread, nullptr) == 0)
            started = false;
        return started;
    }
    // A stopped audio thread ends within a tick; one stuck inside the sound
    // server's library must not hang the caller, possibly the main loop,
    // for good: it is let go.
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 2;
    if (pthread_timedjoin_np(thread, nullptr, &deadline) != 0)
        pthread_detach(thread);
    started = false;
    return false;
}

// A call must never go silent for a codec: the next link goes in CVSD at
// once, and the phone hears of it through the hands-free link, on the main loop.
void fall_back_to_cvsd(VoiceCodec refused, const char* why)
{
    log_msgf("⚠️ %s voice link failed (%s): falling back to CVSD", codec_name(refused), why);
    sco_codec.store(static_cast<int>(VoiceCodec::CVSD));
    post_event(VoiceCodecRefused{});
}

// The read only sends the accept; the controller then sets the link up or
// fails it (a coding it cannot carry), which ends the socket with an error.
int link_completion(int fd)
{
    pollfd p{fd, POLLOUT, 0};
    int r;
    do
        r = poll(&p, 1, kLinkSetupMs);
    while (r < 0 && errno == EINTR);
    if (r == 0)
        return ETIMEDOUT;
    if (r < 0)
        return errno;
    if (!(p.revents & (POLLERR | POLLHUP)))
        return 0;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0)
        err = ECONNRESET;
    return err;
}

}  // namespace

int sco_set_voice(int fd, VoiceCodec codec)
{
    bt_voice voice{};
    voice.setting = codec_transparent(codec) ? BT_VOICE_TRANSPARENT : BT_VOICE_CVSD_16BIT;
    return setsockopt(fd, SOL_BLUETOOTH, BT_VOICE, &voice, sizeof voice);
}

int sco_reap_pump_threads(bool wait)
{
    std::unique_lock<std::mutex> lock(pump_threads_mutex, std::defer_lock);
    if (wait)
        lock.lock();
    else if (!lock.try_lock())
        return -1;   // someone else is reaping right now
    int left = 0;
    left += reap_one(sco_audio_thread, audio_started, wait);
    return left;
}

void sco_connect()
{
    const char* phone = phone_addr();
    if (phone[0] == '\0')
        return;
    std::lock_guard<std::mutex> serial(connect_mutex);

    if (sco_audio_running.load()) {
        log_msg("ℹ️ Closing previous SCO...");
        stop_sco_audio(nullptr);
        sleep_ms(100);
    }
    if (sco_socket.load() >= 0) {
        close_sco_socket();
        sleep_ms(50);
    }
    // The previous link's audio thread (stopped above, or by the HFP close)
    // must be gone before a new one shares the globals and the socket.
    sco_reap_pump_threads(true);

    VoiceCodec codec = static_cast<VoiceCodec>(sco_codec.load());
    int fd = open_sco_socket();
    if (fd < 0) {
        log_msg("⚠️ SCO socket error");
        return;
    }
    if (sco_set_voice(fd, codec) < 0) {
        char line[128];
        snprintf(line, sizeof line, "ℹ️ SCO voice setting: %s", strerror(errno));
        log_msg(line);
        if (codec_transparent(codec)) {
            // Without the transparent setting the link would carry CVSD.
            fall_back_to_cvsd(codec, "no transparent setting");
            codec = VoiceCodec::CVSD;
        }
    }

    sockaddr_sco addr{};
    addr.sco_family = AF_BLUETOOTH;
    str2ba(phone, &addr.sco_bdaddr);
    log_msg("🔊 SCO audio connecting...");

    int connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (connected < 0 && codec_transparent(codec) && errno != EBUSY && errno != EMLINK) {
        // The adapter cannot carry the codec (EOPNOTSUPP) or the phone
        // would not take the link: a call must never go silent for a codec.
        fall_back_to_cvsd(codec, strerror(errno));
        codec = VoiceCodec::CVSD;
        close_sco_socket();
        fd = open_sco_socket();
        if (fd < 0) {
            log_msg("⚠️ SCO socket error");
            return;
        }
        sco_set_voice(fd, codec);
        connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    if (connected < 0) {
        int e = errno;
        char line[128];
        snprintf(line, sizeof line, "⚠️ SCO connection error: %s", strerror(e));
        log_msg(line);
        close_sco_socket();
        if (e != EBUSY && e != EMLINK)
            return;

        // The sound server's own Bluetooth module may hold the link.
        log_msg("ℹ️ Clearing existing SCO connection...");
        release_phone_from_sound_server_sync(std::string(phone_path()));
        sleep_ms(200);
        fd = open_sco_socket();
        if (fd < 0)
            return;
        sco_set_voice(fd, codec);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
            snprintf(line, sizeof line, "⚠️ SCO connection error (retry): %s", strerror(errno));
            log_msg(line);
            close_sco_socket();
            return;
        }
        log_msg("✓ SCO audio connected (retry)");
    }
    log_msg("✓ SCO audio connected");
    sco_link_from_phone.store(0);
    link_up(fd, codec);
}

void sco_adopt_link(int fd)
{
    std::lock_guard<std::mutex> serial(connect_mutex);
    if (sco_audio_running.load() || sco_socket.load() >= 0) {
        // The phone's link replaces ours (it chose this one); the call's
        // sound goes where the phone sends it.
        stop_sco_audio(nullptr);
    }
    sco_reap_pump_threads(true);
    // A deferred link takes its air coding until the read that completes it.
    VoiceCodec codec = static_cast<VoiceCodec>(sco_codec.load());
    if (sco_set_voice(fd, codec) < 0 && codec_transparent(codec)) {
        fall_back_to_cvsd(codec, strerror(errno));
        codec = VoiceCodec::CVSD;
    }
    // With deferred setup the link completes on the first read, which returns 0.
    char none;
    int err = read(fd, &none, 1) < 0 ? errno : link_completion(fd);
    if (err != 0 && codec_transparent(codec)) {
        // The adapter could not carry the coding: the phone tries again, or
        // the PC's own connect follows, in CVSD.
        fall_back_to_cvsd(codec, strerror(err));
        close(fd);
        return;
    }
    if (err != 0) {
        log_msgf("⚠️ Voice link of the phone lost: %s", strerror(err));
        close(fd);
        return;
    }
    sco_socket.store(fd);
    sco_link_from_phone.store(1);
    log_msg("✓ SCO audio connected (opened by the phone)");
    link_up(fd, codec);
}

namespace {

void link_up(int fd, VoiceCodec codec)
{
    sco_sound_on_phone.store(0);
    sco_options options{};
    socklen_t len = sizeof options;
    if (getsockopt(fd, SOL_SCO, SCO_OPTIONS, &options, &len) != 0) {
        sco_mtu.store(kDefaultScoMtu);
        log_msg("ℹ️ SCO MTU not readable, default: 48");
    } else {
        sco_mtu.store(options.mtu);
        char line[64];
        snprintf(line, sizeof line, "ℹ️ SCO MTU: %d byte", static_cast<int>(options.mtu));
        log_msg(line);
    }

    aec_fifo_reset();
    if (aec_enabled.load()) {
        // The user's "Cancel echo": a canceller at this call's rate.
        AecInstance* aec = aec_create(codec_rate(codec));
        {
            std::lock_guard<std::mutex> lock(aec_mutex);
            std::swap(aec, aec_handle);
        }
        aec_destroy(aec);
        log_msgf("✓ Echo canceller on (%d Hz)", codec_rate(codec));
    } else {
        log_msg("⚠️ WebRTC AEC disabled (robot voice prevention)");
    }
    sco_link_codec.store(static_cast<int>(codec));
    log_msg(codec_label(codec));
    // The call area names the codec, whoever opened the link.
    state_changed_later(Change::Header);

    sco_audio_running.store(1);
    sco_start_pumps();
}

}  // namespace

void sco_start_pumps()
{
    auto* link = new VoiceLink;
    link->generation = sco_generation.fetch_add(1) + 1;
    link->codec = static_cast<VoiceCodec>(sco_link_codec.load());
    // USB adapters carry narrowband voice in 48-byte packets whatever the
    // MTU says; the audio thread follows the size of the phone's packets.
    link->mtu = codec_transparent(link->codec) ? static_cast<int>(kH2PacketBytes) : kDefaultScoMtu;
    // The pumps' own descriptor: once this call's socket is closed, its
    // number may be the next call's, and a late pump must not read that.
    link->fd = fcntl(sco_socket.load(), F_DUPFD_CLOEXEC, 0);
    link->holders.store(1);

    std::lock_guard<std::mutex> lock(pump_threads_mutex);
    if (pthread_create(&sco_audio_thread, nullptr, sco_audio_thread_func, link) == 0) {
        audio_started = true;
    } else {
        log_msg("⚠️ Speaker thread error");
        log_msg("⚠️ Microphone thread error");
        voice_link_release(link);
    }
}

gpointer stop_sco_audio(gpointer message)
{
    bool was_active = sco_audio_running.load() != 0 || sco_socket.load() >= 0;
    sco_audio_running.store(0);
    sco_link_from_phone.store(0);
    // Time for the pumps to see the flag; with nothing running nobody waits
    // (the teardown of a phone link runs on the main loop).
    if (was_active)
        sleep_ms(50);
    close_sco_socket();

    for (int round = 0; round < 10; ++round) {
        if (!pulse_playback.load() && !pulse_capture.load())
            break;
        sleep_ms(50);
    }
    // An audio thread that has already ended is reclaimed now; one still on
    // its way out is joined by the next connect.
    sco_reap_pump_threads(false);

    if (message && was_active)
        post_log(static_cast<const char*>(message));

    {
        std::lock_guard<std::mutex> lock(aec_mutex);
        if (aec_handle) {
            aec_destroy(aec_handle);
            aec_handle = nullptr;
        }
    }
    // aec_enabled is the user's switch: it stays for the next call.
    aec_fifo_reset();
    sco_link_codec.store(static_cast<int>(VoiceCodec::CVSD));
    return nullptr;
}
