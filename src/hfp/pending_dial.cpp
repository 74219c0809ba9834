// The number a tel: link left waiting for the phone. It is dialled only
// while the user can still expect it: after a minute it expires.
#include "hfp/pending_dial.h"

#include "base/log.h"
#include "core/text.h"
#include "hfp/listener.h"
#include "base/changes.h"

#include <mutex>

namespace {

// Main loop only, all four; pending_dial_mutex guards the three below it.
std::mutex pending_dial_mutex;
char pending_dial_number[64] = "";
gint64 pending_dial_deadline = 0;   // monotonic µs
unsigned pending_dial_generation = 0;
guint expiry_source = 0;            // main thread only

bool still_valid_locked()
{
    return pending_dial_number[0] != '\0' && g_get_monotonic_time() < pending_dial_deadline;
}

void refresh_display() { state_changed_later(Change::WaitingNumber); }

gboolean pending_dial_expired_cb(gpointer generation)
{
    expiry_source = 0;
    std::string expired;
    {
        std::lock_guard<std::mutex> lock(pending_dial_mutex);
        if (pending_dial_generation == GPOINTER_TO_UINT(generation)) {
            expired = pending_dial_number;
            pending_dial_number[0] = '\0';
        }
    }
    // Connected but without a link for calls is another story than no phone.
    if (!expired.empty())
        log_msgf("⚠️ Waiting number %s expired: %s within %d s, nothing dialled", expired.c_str(),
                 hfp_phone_connected() ? "the phone's call link did not come up" : "the phone did not connect",
                 kPendingDialSeconds);
    refresh_display();
    return G_SOURCE_REMOVE;
}

}  // namespace

void pending_dial_set(const char* number)
{
    unsigned generation;
    {
        std::lock_guard<std::mutex> lock(pending_dial_mutex);
        copy_text(pending_dial_number, number);
        pending_dial_deadline = g_get_monotonic_time() + gint64(kPendingDialSeconds) * G_USEC_PER_SEC;
        generation = ++pending_dial_generation;
    }
    if (expiry_source)
        g_source_remove(expiry_source);
    expiry_source = g_timeout_add_seconds(kPendingDialSeconds, pending_dial_expired_cb, GUINT_TO_POINTER(generation));
    refresh_display();
}

std::string pending_dial_take()
{
    std::string number;
    {
        std::lock_guard<std::mutex> lock(pending_dial_mutex);
        // An expired number stays for the expiry to log; it is never handed out.
        if (!still_valid_locked())
            return {};
        number = pending_dial_number;
        pending_dial_number[0] = '\0';
        ++pending_dial_generation;
    }
    refresh_display();
    return number;
}

std::string pending_dial_peek()
{
    std::lock_guard<std::mutex> lock(pending_dial_mutex);
    return still_valid_locked() ? std::string(pending_dial_number) : std::string();
}

void pending_dial_cancel()
{
    std::string number;
    {
        std::lock_guard<std::mutex> lock(pending_dial_mutex);
        number = pending_dial_number;
        pending_dial_number[0] = '\0';
        ++pending_dial_generation;
    }
    if (expiry_source) {
        g_source_remove(expiry_source);
        expiry_source = 0;
    }
    if (!number.empty())
        log_msgf("📞 Waiting number %s cancelled, nothing dialled", number.c_str());
    refresh_display();
}
