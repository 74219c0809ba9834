#include "hfp/call_state.h"

#include "base/log.h"
#include "base/main_thread.h"
#include "core/text.h"
#include "audio/sco.h"
#include "base/phone.h"
#include "core/at.h"
#include "hfp/codec_link.h"
#include "hfp/hfp.h"
#include "hfp/listener.h"
#include "base/changes.h"
#include "base/events.h"
#include "hfp/indicator_map.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace {

std::mutex model_mutex;
CallModel call_model;                     // guarded by model_mutex
unsigned link_generation = 1;             // guarded by model_mutex
unsigned long latest_ticket = 0;          // guarded by model_mutex

std::mutex voice_mutex;                   // one open or close of the voice link at a time

void post_indicator(unsigned generation, const std::string& name, int value)
{
    if (!name.empty())
        post_event(IndicatorChanged{generation, name, value});
}

// The phone's own voice link usually comes within a few hundred ms.
constexpr int kPhoneVoiceWaitMs = 1500;
constexpr int kVoiceRetryFirstMs = 1000;
constexpr int kVoiceRetryLongestMs = 8000;

bool on_main_loop()
{
    return g_main_context_is_owner(g_main_context_default());
}

}  // namespace

unsigned hfp_link_generation()
{
    std::lock_guard<std::mutex> lock(model_mutex);
    return link_generation;
}

void call_link_closed()
{
    ASSERT_MAIN_THREAD();
    {
        std::lock_guard<std::mutex> lock(model_mutex);
        ++link_generation;
        call_model.reset();
    }
    post_event(CallLinkClosed{});
}

bool call_change_is_latest(unsigned generation, unsigned long ticket)
{
    std::lock_guard<std::mutex> lock(model_mutex);
    // A newer change queued behind this one applies the same model later.
    return generation == link_generation && ticket == latest_ticket;
}

void call_model_forget()
{
    std::lock_guard<std::mutex> lock(model_mutex);
    call_model.reset();
}

bool call_feed(unsigned generation, const std::function<void(CallModel&)>& change, CallView* before, CallView* after)
{
    std::lock_guard<std::mutex> lock(model_mutex);
    if (generation != link_generation)
        return false;
    if (before)
        *before = call_model.view();
    change(call_model);
    if (after)
        *after = call_model.view();
    post_event(CallModelChanged{generation, ++latest_ticket});
    return true;
}

CallModel call_model_snapshot()
{
    std::lock_guard<std::mutex> lock(model_mutex);
    return call_model;
}

namespace {

// Judged against the newest model every time, so a request older than the
// link never closes it.
// A phone that rings in-band opens the link while the call rings: its ring
// plays on the PC. We open one only for a call that is up or being dialled.
bool voice_wanted()
{
    CallView view = call_model_snapshot().view();
    return phone_addr()[0] != '\0' &&
           (view.voice || (view.state == CALL_INCOMING && sco_link_from_phone.load() && sco_socket.load() >= 0));
}
bool voice_opens() { return call_model_snapshot().view().voice && phone_addr()[0] != '\0'; }
bool voice_up() { return sco_audio_running.load() != 0 || sco_socket.load() >= 0; }

// Set by whoever starts a "voice-connect" (main loop, link reader); cleared by it as it ends.
std::atomic<bool> voice_worker{false};

// Waits while the call wants sound and none is up; false once it is up or no longer wanted.
bool wait_for_phone_link(int ms)
{
    for (int waited = 0; waited < ms; waited += 50) {
        if (!voice_wanted() || voice_up())
            return false;
        g_usleep(50 * 1000);
    }
    return voice_wanted() && !voice_up();
}

// The phone opens the voice link itself on nearly every event, and refuses
// ours while it is opening its own: ours goes only when none came.
struct VoiceConnect {
    PhoneRef phone;
    bool at_once;   // the user asked: the phone will not open one
};

gpointer voice_connect_thread(gpointer data)
{
    std::unique_ptr<VoiceConnect> job(static_cast<VoiceConnect*>(data));
    adopt_phone(job->phone);
    int backoff_ms = kVoiceRetryFirstMs;
    bool go = job->at_once ? voice_wanted() && !voice_up() : wait_for_phone_link(kPhoneVoiceWaitMs);
    // With codecs negotiated the phone sets up the codec and opens the link
    // itself once asked; ours follows only if it does not.
    if (go && codec_link_ask_for_voice())
        go = wait_for_phone_link(kPhoneVoiceWaitMs);
    while (go && !sco_sound_on_phone.load()) {
        {
            std::lock_guard<std::mutex> lock(voice_mutex);
            if (voice_wanted() && !voice_up())
                sco_connect();
            // The call may have ended while the link was being made.
            if (!voice_wanted() && voice_up())
                stop_sco_audio(nullptr);
        }
        go = wait_for_phone_link(backoff_ms);
        backoff_ms = std::min(backoff_ms * 2, kVoiceRetryLongestMs);
    }
    voice_worker = false;
    // A call that wanted sound again just as we gave up.
    if (voice_wanted() && !voice_up() && !sco_sound_on_phone.load())
        post_event(VoiceLinkWanted{});
    return nullptr;
}

gpointer voice_stop_thread(gpointer);

}  // namespace

void voice_link_bring_back()
{
    ASSERT_MAIN_THREAD();
    if (!sco_sound_on_phone.exchange(0))
        return;
    log_msg("🔊 Sound back to this PC");
    bool idle = false;
    if (voice_worker.compare_exchange_strong(idle, true))
        g_thread_unref(g_thread_new("voice-connect", voice_connect_thread, new VoiceConnect{this_phone(), true}));
    state_changed(Change::Call);
}

namespace {

gpointer voice_stop_thread(gpointer data)
{
    if (data) {
        std::unique_ptr<PhoneRef> phone(static_cast<PhoneRef*>(data));
        adopt_phone(*phone);
    }
    std::lock_guard<std::mutex> lock(voice_mutex);
    if (!voice_wanted() && voice_up())
        stop_sco_audio(nullptr);
    return nullptr;
}

}  // namespace

void voice_link_sync(bool may_open)
{
    if (voice_opens() && !voice_up()) {
        bool idle = false;
        // Sound the phone's user moved to the handset stays there.
        if (may_open && !sco_sound_on_phone.load() && voice_worker.compare_exchange_strong(idle, true))
            g_thread_unref(g_thread_new("voice-connect", voice_connect_thread, new VoiceConnect{this_phone(), false}));
        return;
    }
    if (voice_wanted() || !voice_up())
        return;
    // Stopping waits for the pumps: never on the main loop.
    if (on_main_loop()) {
        g_thread_unref(g_thread_new("voice-stop", voice_stop_thread, new PhoneRef(this_phone())));
        return;
    }
    voice_stop_thread(nullptr);
}

void handle_ciev_event(int indicator, int value)
{
    handle_ciev_event_from(hfp_link_generation(), indicator, value);
}

void handle_ciev_event_from(unsigned generation, int indicator, int value)
{
    IndicatorMap map = hfp_indicator_map();
    std::string name = hfp_indicator_name(map, indicator);
    if (indicator == map.call)
        name = "call";
    else if (indicator == map.callsetup)
        name = "callsetup";
    else if (indicator == map.callheld)
        name = "callheld";
    post_indicator(generation, name, value);
    CallView before, after;
    bool fed = false;
    if (name == "call")
        fed = call_feed(generation, [value](CallModel& m) { m.on_call(value); }, &before, &after);
    else if (name == "callsetup")
        fed = call_feed(generation, [value](CallModel& m) { m.on_callsetup(value); }, &before, &after);
    else if (name == "callheld")
        fed = call_feed(generation, [value](CallModel& m) { m.on_callheld(value); }, &before, &after);
    if (!fed)
        return;
    if (name == "call" && value == 1)
        log_msg("✓ Call active");
    else if (name == "call" && value == 0 && before.state != CALL_IDLE)
        log_msg("📱 Call ended");
    else if (name == "callsetup" && value == 0 && (before.state == CALL_INCOMING || before.state == CALL_OUTGOING))
        log_msg("✓ Call setup completed (setup=0)");
    else if (name == "callsetup" && after.state == CALL_INCOMING && before.state != CALL_INCOMING)
        log_msg("🔔 INCOMING CALL (CIEV)");
    else if (name == "callsetup" && after.waiting && !before.waiting)
        log_msg("⏳ Call waiting (CIEV)");
    else if (name == "callsetup" && after.state == CALL_OUTGOING && before.state != CALL_OUTGOING)
        log_msg("📱 Outgoing call (CIEV)");
    else if (name == "callheld" && after.held && !before.held)
        log_msg("⏸ Call on hold (CIEV)");
    else if (name == "callheld" && !after.held && before.held)
        log_msg("▶️ No call on hold (CIEV)");
    if (after.voice && !on_main_loop())
        voice_link_sync(true);
}

void call_status_from_phone(unsigned generation, const std::vector<int>& values)
{
    if (values.empty())
        return;
    IndicatorMap map = hfp_indicator_map();
    for (size_t i = 0; i < values.size(); ++i)
        post_indicator(generation, hfp_indicator_name(map, static_cast<int>(i) + 1), values[i]);
    int call = cind_value(values, map.call), setup = cind_value(values, map.callsetup),
        held = cind_value(values, map.callheld);
    CallView after;
    if (!call_feed(generation, [=](CallModel& m) { m.on_status(call, setup, held); }, nullptr, &after))
        return;
    if (after.state != CALL_IDLE)
        log_msgf("📞 Phone has a call: call=%d callsetup=%d callheld=%d", call, setup, held);
    if (after.voice && !on_main_loop())
        voice_link_sync(true);
}

void apply_voice_link_wanted(const VoiceLinkWanted&) { voice_link_sync(true); }
