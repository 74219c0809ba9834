#include "audio/sco_listen.h"

#include "base/log.h"
#include "audio/sco.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/sco.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

std::mutex mutex;                     // guards phone and needs_sound
std::string phone;                    // guarded by mutex; set on the main loop
std::function<bool()> needs_sound;    // guarded by mutex; set on the main loop
std::thread listener;                 // started and joined on the main loop
std::atomic<bool> listening{false};   // set and cleared by the main loop; the thread runs while set
std::atomic<unsigned> phone_links{0}; // counted by "voice-listen" only

int open_listener(const std::string& adapter)
{
    int fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC, BTPROTO_SCO);
    if (fd < 0)
        return -1;
    sockaddr_sco addr{};
    addr.sco_family = AF_BLUETOOTH;
    str2ba(adapter.c_str(), &addr.sco_bdaddr);
    bt_voice voice{};
    voice.setting = BT_VOICE_CVSD_16BIT;
    uint32_t defer = 1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        setsockopt(fd, SOL_BLUETOOTH, BT_DEFER_SETUP, &defer, sizeof defer) != 0 ||
        setsockopt(fd, SOL_BLUETOOTH, BT_VOICE, &voice, sizeof voice) != 0 || listen(fd, 2) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

bool wanted(const char* peer)
{
    std::lock_guard<std::mutex> lock(mutex);
    return !phone.empty() && strcasecmp(peer, phone.c_str()) == 0 && needs_sound && needs_sound();
}

void listen_loop(int fd)
{
    while (listening.load()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        sockaddr_sco from{};
        socklen_t len = sizeof from;
        int link = accept4(fd, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
        if (link < 0)
            continue;
        char peer[18];
        ba2str(&from.sco_bdaddr, peer);
        if (!wanted(peer)) {
            // Closed unread: the deferred link is refused.
            log_msgf("ℹ️ Voice link from %s refused", peer);
            close(link);
            continue;
        }
        ++phone_links;
        sco_adopt_link(link);
    }
    close(fd);
}

}  // namespace

void sco_listen_start(const std::string& adapter_address)
{
    sco_listen_stop();
    int fd = open_listener(adapter_address);
    if (fd < 0) {
        log_msgf("⚠️ Voice links of the phone cannot be taken: %s", strerror(errno));
        return;
    }
    listening = true;
    listener = std::thread([fd] {
        pthread_setname_np(pthread_self(), "voice-listen");
        listen_loop(fd);
    });
}

void sco_listen_stop()
{
    listening = false;
    if (listener.joinable())
        listener.join();
}

void sco_listen_set_phone(const std::string& phone_address)
{
    std::lock_guard<std::mutex> lock(mutex);
    phone = phone_address;
}

void sco_listen_set_rule(std::function<bool()> call_needs_sound)
{
    std::lock_guard<std::mutex> lock(mutex);
    needs_sound = std::move(call_needs_sound);
}

unsigned sco_phone_links() { return phone_links.load(); }
