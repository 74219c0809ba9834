#include "hfp/link.h"

#include "base/log.h"
#include "audio/aec.h"
#include "core/at.h"
#include "hfp/call_state.h"
#include "hfp/codec_link.h"
#include "core/features.h"
#include "hfp/hfp.h"
#include "hfp/phone_lines.h"
#include "hfp/volume_sync.h"
#include "hfp/indicator_map.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex link_mutex;   // guards the three below, written by the link reader only
std::shared_ptr<AtConversation> ready_link;   // guarded by link_mutex
int ready_ag_features = 0;                    // guarded by link_mutex
unsigned ready_generation = 0;                // guarded by link_mutex
// Asks for the call list since the last AT+CLCC went into the queue: raised
// by whoever asks (main loop, link reader), cleared by that command's reply.
std::atomic<int> call_list_asks{0};
// 1 + the generation of a link whose handshake read a call from AT+CIND?
// and has not finished yet; 0 when none. Written by the handshake: the link
// reader, or "incoming-call" when the link closed before its first command.
std::atomic<unsigned> handshake_call_seen{0};

std::shared_ptr<AtConversation> current(int* ag = nullptr, unsigned* generation = nullptr)
{
    std::lock_guard<std::mutex> lock(link_mutex);
    if (ag)
        *ag = ready_ag_features;
    if (generation)
        *generation = ready_generation;
    return ready_link && !ready_link->closed() ? ready_link : nullptr;
}

// What the handshake learns, step by step.
struct Handshake {
    AtConversation* conversation;
    unsigned generation;
    std::function<void(bool)> done;
    int ag = 0;
    bool cmer_refused = false;
    std::string codecs;   // the AT+BAC that follows the features, when both sides negotiate
    PhoneStatus status;
    size_t step = 0;
};

struct Step {
    bool (*wanted)(const Handshake&);
    std::string (*command)(const Handshake&);
    std::vector<std::string> expect;
    // False: the handshake has failed (it logs why).
    bool (*take)(Handshake&, const AtResponse&);
};

bool always(const Handshake&) { return true; }
bool three_way(const Handshake& h) { return (h.ag & AG_THREE_WAY) != 0; }
bool ignore(Handshake&, const AtResponse&) { return true; }

bool take_features(Handshake& h, const AtResponse& r)
{
    for (const std::string& line : r.lines)
        if (r.ok() && parse_brsf(line, &h.ag)) {
            h.status.ag_features = h.ag;
            h.codecs = codec_link_start(h.ag);
            return true;
        }
    log_msg("⚠️ AT+BRSF error");
    return false;
}

// Indicator positions differ between phones: without a readable list with
// call and callsetup nothing the phone reports could be understood.
bool take_indicator_list(Handshake&, const AtResponse& r)
{
    IndicatorMap map;
    for (const std::string& line : r.lines)
        if (r.ok() && parse_cind_test(line, &map)) {
            hfp_set_indicator_map(map);
            return true;
        }
    log_msg("⚠️ AT+CIND=? error");
    return false;
}

bool take_indicator_values(Handshake& h, const AtResponse& r)
{
    for (const std::string& line : r.lines)
        if (r.ok() && parse_cind_values(line, &h.status.values)) {
            // A phone with a call opens its voice link as soon as it can,
            // often before the handshake ends: it is taken then.
            IndicatorMap map = hfp_indicator_map();
            if (cind_value(h.status.values, map.call) > 0 || cind_value(h.status.values, map.callsetup) > 0)
                handshake_call_seen = h.generation + 1;
            return true;
        }
    log_msg("⚠️ AT+CIND? error");
    return false;
}

bool take_event_reporting(Handshake& h, const AtResponse& r)
{
    h.cmer_refused = !r.ok();
    return true;
}

// The steps in order; a step that is not wanted is skipped. Further
// exchanges (codec negotiation) go in here.
const std::vector<Step>& handshake_steps()
{
    static const std::vector<Step> steps = {
        {always, [](const Handshake&) { return "AT+BRSF=" + std::to_string(hf_features(aec_enabled.load() != 0)); },
         {"+BRSF"}, take_features},
        {[](const Handshake& h) { return !h.codecs.empty(); }, [](const Handshake& h) { return h.codecs; }, {}, ignore},
        {always, [](const Handshake&) { return std::string("AT+CIND=?"); }, {"+CIND"}, take_indicator_list},
        {always, [](const Handshake&) { return std::string("AT+CIND?"); }, {"+CIND"}, take_indicator_values},
        {always, [](const Handshake&) { return std::string("AT+CMER=3,0,0,1"); }, {}, take_event_reporting},
        {[](const Handshake& h) { return h.cmer_refused; }, [](const Handshake&) { return std::string("AT+CMER=3,0,0,0"); },
         {}, ignore},
        {three_way, [](const Handshake&) { return std::string("AT+CHLD=?"); }, {"+CHLD"}, ignore},
        {always, [](const Handshake&) { return std::string("AT+CLIP=1"); }, {}, ignore},
        {three_way, [](const Handshake&) { return std::string("AT+CCWA=1"); }, {}, ignore},
        // Switching the phone's canceller off is only sound while ours runs.
        {[](const Handshake& h) { return aec_enabled.load() != 0 && (h.ag & AG_EC_NR) != 0; },
         [](const Handshake&) { return std::string("AT+NREC=0"); }, {}, ignore},
    };
    return steps;
}

void handshake_finished(const std::shared_ptr<Handshake>& h)
{
    log_msg("✓ HFP SLC established");
    {
        std::lock_guard<std::mutex> lock(link_mutex);
        ready_ag_features = h->ag;
        ready_generation = h->generation;
    }
    // Whatever the phone has going on now is the truth, also after a re-handshake.
    call_status_from_phone(h->generation, h->status.values);
    h->done(true);
}

void next_step(const std::shared_ptr<Handshake>& h)
{
    const std::vector<Step>& steps = handshake_steps();
    while (h->step < steps.size() && !steps[h->step].wanted(*h))
        ++h->step;
    if (h->step == steps.size()) {
        handshake_finished(h);
        return;
    }
    const Step& step = steps[h->step];
    h->conversation->send(step.command(*h), step.expect,
                          [h, &step](const AtResponse& r) {
                              if (r.link_lost) {
                                  h->done(false);
                                  return;
                              }
                              if (!step.take(*h, r)) {
                                  h->done(false);
                                  return;
                              }
                              ++h->step;
                              next_step(h);
                          },
                          hfp_reply_timeout_ms.load());
}

}  // namespace

std::shared_ptr<AtConversation> hfp_link_start(int fd, unsigned generation, std::function<void(bool ok)> on_handshake)
{
    auto conversation = std::make_shared<AtConversation>(fd);
    AtConversation* raw = conversation.get();
    register_phone_lines(*conversation, generation);
    // The phone picks the codec of the next voice link; we confirm it.
    conversation->on("+BCS", [raw](const std::string& line) {
        std::string answer = codec_link_on_line(line);
        if (!answer.empty())
            raw->send(answer);
    });
    conversation->on_closed([raw] {
        std::lock_guard<std::mutex> lock(link_mutex);
        if (ready_link.get() == raw)
            ready_link = nullptr;
    });
    std::weak_ptr<AtConversation> weak = conversation;
    auto h = std::make_shared<Handshake>();
    h->conversation = raw;
    h->generation = generation;
    h->done = [weak, on_handshake, h_ag = h.get()](bool ok) {
        // From here the call model knows what the phone said.
        unsigned seen = h_ag->generation + 1;
        handshake_call_seen.compare_exchange_strong(seen, 0);
        if (ok) {
            std::lock_guard<std::mutex> lock(link_mutex);
            ready_link = weak.lock();
        }
        if (ok)
            hfp_send_gains();
        if (ok && (h_ag->ag & AG_ENHANCED_STATUS))
            hfp_link_list_calls();
        if (on_handshake)
            on_handshake(ok);
    };
    conversation->start();
    next_step(h);
    return conversation;
}

bool hfp_link_ready() { return current() != nullptr; }

int hfp_link_ag_features()
{
    int ag = 0;
    return current(&ag) ? ag : 0;
}

bool hfp_link_send(std::string command, std::vector<std::string> expect, AtConversation::Reply reply, int timeout_ms)
{
    std::shared_ptr<AtConversation> link = current();
    if (!link)
        return false;
    link->send(std::move(command), std::move(expect), std::move(reply), timeout_ms);
    return true;
}

void hfp_link_list_calls()
{
    int ag = 0;
    unsigned generation = 0;
    std::shared_ptr<AtConversation> link = current(&ag, &generation);
    if (!link || !(ag & AG_ENHANCED_STATUS))
        return;
    // One in the queue answers for every change before it. The phone may
    // have written its list before a change it tells while the command
    // waits, so such a change asks once more after the answer.
    if (call_list_asks.fetch_add(1) > 0)
        return;
    link->send("AT+CLCC", {"+CLCC"}, [generation](const AtResponse& r) {
        int asks = call_list_asks.exchange(0);
        if (r.ok())
            apply_call_list(generation, r.lines);
        if (asks > 1)
            hfp_link_list_calls();
    });
}

void hfp_link_refresh(std::function<void()> then)
{
    unsigned generation = 0;
    std::shared_ptr<AtConversation> link = current(nullptr, &generation);
    if (!link) {
        if (then)
            then();
        return;
    }
    link->send("AT+CIND?", {"+CIND"}, [generation, then](const AtResponse& r) {
        std::vector<int> values;
        for (const std::string& line : r.lines)
            if (r.ok() && parse_cind_values(line, &values))
                call_status_from_phone(generation, values);
        hfp_link_list_calls();
        if (then)
            then();
    });
}

bool hfp_handshake_saw_call()
{
    unsigned seen = handshake_call_seen.load();
    return seen != 0 && seen - 1 == hfp_link_generation();
}
