#include "hfp/codec_link.h"

#include "audio/sco.h"
#include "core/codec_negotiation.h"
#include "hfp/link.h"

#include <chrono>
#include <future>
#include <memory>
#include <mutex>

namespace {

constexpr int kAskTimeoutMs = 1000;

// Started by the handshake and fed "+BCS:" (link reader), narrowed by a refused codec (main loop).
std::mutex negotiation_mutex;
CodecNegotiation negotiation;   // guarded by negotiation_mutex

// The pure module ends its commands as they go on the wire; the link adds that itself.
std::string bare(std::string command)
{
    while (!command.empty() && (command.back() == '\r' || command.back() == '\n'))
        command.pop_back();
    return command;
}

}  // namespace

std::string codec_link_start(int phone_features)
{
    std::lock_guard<std::mutex> lock(negotiation_mutex);
    negotiation = CodecNegotiation();
    negotiation.set_phone_features(phone_features);
    sco_codec.store(static_cast<int>(VoiceCodec::CVSD));
    return bare(negotiation.bac_command());
}

std::string codec_link_on_line(const std::string& line)
{
    std::lock_guard<std::mutex> lock(negotiation_mutex);
    std::string answer = negotiation.on_line(line);
    sco_codec.store(static_cast<int>(negotiation.codec()));
    return bare(answer);
}

bool codec_link_ask_for_voice()
{
    std::string command;
    {
        std::lock_guard<std::mutex> lock(negotiation_mutex);
        command = bare(negotiation.bcc_command());
    }
    if (command.empty())
        return false;
    // Only an OK means the phone is setting the codec up and will open the link.
    auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> agreed = answer->get_future();
    if (!hfp_link_send(command, {}, [answer](const AtResponse& r) { answer->set_value(r.ok()); }, kAskTimeoutMs))
        return false;
    return agreed.wait_for(std::chrono::milliseconds(kAskTimeoutMs + 500)) == std::future_status::ready && agreed.get();
}

void codec_link_fall_back()
{
    std::string command;
    {
        std::lock_guard<std::mutex> lock(negotiation_mutex);
        command = bare(negotiation.fall_back());
        sco_codec.store(static_cast<int>(negotiation.codec()));
    }
    if (!command.empty())
        hfp_link_send(command);
}
