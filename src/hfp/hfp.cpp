#include "hfp/hfp.h"

#include "base/log.h"
#include "audio/sco.h"
#include "base/phone.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::atomic<int> hfp_listen_socket{-1};
std::atomic<int> hfp_reply_timeout_ms{3000};
std::atomic<uint8_t> hfp_channel{0};

namespace {

// The RFCOMM channel of the first protocol sequence that names RFCOMM, or 0.
int rfcomm_channel_of(sdp_record_t* record)
{
    sdp_list_t* protos = nullptr;
    if (sdp_get_access_protos(record, &protos) != 0)
        return 0;
    int channel = 0;
    for (sdp_list_t* p = protos; p; p = p->next) {
        for (sdp_list_t* seq = static_cast<sdp_list_t*>(p->data); seq; seq = seq->next) {
            int proto = 0;
            for (sdp_data_t* d = static_cast<sdp_data_t*>(seq->data); d; d = d->next) {
                switch (d->dtd) {
                case SDP_UUID16:
                case SDP_UUID32:
                case SDP_UUID128:
                    proto = sdp_uuid_to_proto(&d->val.uuid);
                    break;
                case SDP_UINT8:
                    if (proto == RFCOMM_UUID)
                        channel = d->val.uint8;
                    break;
                default:
                    break;
                }
            }
        }
        sdp_list_free(static_cast<sdp_list_t*>(p->data), nullptr);
    }
    sdp_list_free(protos, nullptr);
    return channel;
}

}  // namespace

void hfp_lookup_channel()
{
    bdaddr_t target;
    bdaddr_t any{};
    str2ba(phone_addr(), &target);
    sdp_session_t* session = sdp_connect(&any, &target, SDP_RETRY_IF_BUSY);
    if (!session) {
        log_msg("⚠️ SDP connection failed");
        return;
    }

    uuid_t service;
    sdp_uuid16_create(&service, HANDSFREE_AGW_SVCLASS_ID);
    sdp_list_t* search = sdp_list_append(nullptr, &service);
    uint32_t range = 0x0000ffff;
    sdp_list_t* attrs = sdp_list_append(nullptr, &range);
    sdp_list_t* records = nullptr;
    int err = sdp_service_search_attr_req(session, search, SDP_ATTR_REQ_RANGE, attrs, &records);
    sdp_list_free(search, nullptr);
    sdp_list_free(attrs, nullptr);
    if (err != 0) {
        sdp_close(session);
        return;
    }

    int found = 0;
    sdp_list_t* r = records;
    for (; r; r = r->next) {
        auto* record = static_cast<sdp_record_t*>(r->data);
        int channel = rfcomm_channel_of(record);
        sdp_record_free(record);
        if (channel != 0) {
            found = channel;
            r = r->next;
            break;
        }
    }
    // Records after the winner were never walked; free them too.
    for (; r; r = r->next)
        sdp_record_free(static_cast<sdp_record_t*>(r->data));
    sdp_list_free(records, nullptr);
    sdp_close(session);
    if (found != 0) {
        log_msgf("✓ HFP-AG channel found: %d", found);
        hfp_channel = static_cast<uint8_t>(found);
    }
}

bool hfp_close_voice()
{
    sco_audio_running = 0;
    int sco = sco_socket.exchange(-1);
    if (sco < 0)
        return false;
    shutdown(sco, SHUT_RDWR);
    close(sco);
    log_msg("🔊 SCO audio closed");
    return true;
}

void hfp_close()
{
    if (hfp_close_voice()) {
        // The pumps see the link gone before the dial link goes too.
        g_usleep(100 * 1000);
    }
    log_msg("✓ HFP connection closed");
}

int hfp_rfcomm_open(bool* socket_failed, std::atomic<int>* publish)
{
    if (socket_failed)
        *socket_failed = false;
    // CLOEXEC: a child started later (the shell, obexd) must not keep the link open.
    int fd = socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, BTPROTO_RFCOMM);
    if (fd < 0) {
        if (socket_failed)
            *socket_failed = true;
        return -1;
    }
    if (publish)
        publish->store(fd);
    sockaddr_rc addr{};
    addr.rc_family = AF_BLUETOOTH;
    str2ba(phone_addr(), &addr.rc_bdaddr);
    addr.rc_channel = hfp_channel.load();
    int result = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int e = errno;
    if (publish) {
        // Taken out of the global means aborted (and shut down, not closed:
        // the descriptor is ours to close).
        int own = fd;
        if (result == 0 && publish->load() == fd)
            return fd;
        publish->compare_exchange_strong(own, -1);
        close(fd);
        errno = result == 0 ? ECONNABORTED : e;
        return -1;
    }
    if (result != 0) {
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}
