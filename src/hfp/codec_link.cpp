#include "hfp/codec_link.h"

#include "app/log.h"
#include "audio/sco.h"
#include "hfp/at.h"
#include "hfp/codec_negotiation.h"

#include <glib.h>

#include <deque>
#include <mutex>

namespace {

// Started by the listener's handshake and fed by its reader; the voice
// link's connect narrows it. All under negotiation_mutex.
std::mutex negotiation_mutex;
CodecNegotiation negotiation;
// Phones take one command at a time: the next goes once the last is answered.
std::deque<std::string> to_send;
gint64 awaiting_since = 0;   // 0: nothing of ours unanswered
constexpr gint64 kReplyWaitUs = 2 * G_USEC_PER_SEC;

void queue(const std::string& command)
{
    if (!command.empty())
        to_send.push_back(command);
}

}  // namespace

std::string codec_link_start(int phone_features)
{
    std::lock_guard<std::mutex> lock(negotiation_mutex);
    negotiation = CodecNegotiation();
    negotiation.set_phone_features(phone_features);
    to_send.clear();
    awaiting_since = 0;
    sco_codec.store(static_cast<int>(VoiceCodec::CVSD));
    return negotiation.bac_command();
}

void codec_link_lines(AtChannel& channel, const std::vector<std::string>& lines)
{
    std::string out;
    {
        std::lock_guard<std::mutex> lock(negotiation_mutex);
        for (const std::string& line : lines) {
            queue(negotiation.on_line(line));
            if (classify_final(line) != AtFinal::NONE)
                awaiting_since = 0;
        }
        sco_codec.store(static_cast<int>(negotiation.codec()));
        const gint64 now = g_get_monotonic_time();
        if (awaiting_since && now - awaiting_since > kReplyWaitUs)
            awaiting_since = 0;
        if (!awaiting_since && !to_send.empty()) {
            out = to_send.front();
            to_send.pop_front();
            awaiting_since = now;
        }
    }
    if (!out.empty())
        channel.send(out);
}

void codec_link_fall_back()
{
    std::lock_guard<std::mutex> lock(negotiation_mutex);
    queue(negotiation.fall_back());
    sco_codec.store(static_cast<int>(negotiation.codec()));
}
