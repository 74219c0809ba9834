#include "audio/voice_link.h"

#include "audio/sco.h"

#include <unistd.h>

std::atomic<uint64_t> sco_generation{0};

bool pump_is_current(uint64_t generation, uint64_t current_generation, int running, int socket)
{
    return running != 0 && socket >= 0 && generation == current_generation;
}

bool publish_stream(std::atomic<pa_stream*>& slot, pa_stream* mine, uint64_t generation)
{
    if (!pump_is_current(generation, sco_generation.load(), sco_audio_running.load(), sco_socket.load()))
        return false;
    pa_stream* expected = nullptr;
    return slot.compare_exchange_strong(expected, mine);
}

void withdraw_stream(std::atomic<pa_stream*>& slot, pa_stream* mine)
{
    pa_stream* expected = mine;
    slot.compare_exchange_strong(expected, nullptr);
}

void voice_link_release(VoiceLink* link)
{
    if (link->holders.fetch_sub(1) != 1)
        return;
    if (link->fd >= 0)
        close(link->fd);
    delete link;
}
