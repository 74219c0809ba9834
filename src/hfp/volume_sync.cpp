#include "hfp/volume_sync.h"

#include "base/log.h"
#include "audio/call_volume.h"
#include "hfp/link.h"
#include "base/changes.h"

#include <glib.h>

#include <atomic>
#include <string>

namespace {

struct GainCommand {
    const char* command;
    std::atomic<int>* gain;
    std::atomic<int> in_flight{0};
    std::atomic<int> sent{-1};   // what the phone has, -1 when unknown
};
// Atomic members: written by the window (main loop) and the link reader (replies, "+VGS:"/"+VGM:").
GainCommand speaker_command{"AT+VGS=", &speaker_gain, {}, {}};
GainCommand microphone_command{"AT+VGM=", &microphone_gain, {}, {}};

// A dragged control changes many times a second: one command waits for the
// phone's answer, and the newest value goes after it.
void send_gain(GainCommand& c)
{
    if (c.in_flight.exchange(1))
        return;
    int gain = c.gain->load();
    if (gain == c.sent.load()) {
        c.in_flight = 0;
        return;
    }
    bool queued = hfp_link_send(c.command + std::to_string(gain), {}, [&c, gain](const AtResponse& r) {
        c.sent = r.ok() ? gain : -1;
        c.in_flight = 0;
        // A value that moved on goes even after a refused one: the phone
        // may take the next.
        if (c.gain->load() != gain)
            send_gain(c);
    });
    if (!queued)
        c.in_flight = 0;
}

}  // namespace

void hfp_send_gain(bool speaker) { send_gain(speaker ? speaker_command : microphone_command); }

void hfp_send_gains()
{
    speaker_command.sent = microphone_command.sent = -1;
    send_gain(speaker_command);
    send_gain(microphone_command);
}

void hfp_gain_from_phone(bool speaker, int gain)
{
    GainCommand& c = speaker ? speaker_command : microphone_command;
    c.gain->store(gain);
    c.sent = gain;
    log_msgf(speaker ? "🔊 Phone set the speaker volume: %d/15" : "🎤 Phone set the microphone volume: %d/15", gain);
    state_changed_later(Change::CallVolume);
}
