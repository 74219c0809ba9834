#include "audio/call_volume.h"

#include <cmath>

std::atomic<int> speaker_gain{kMaxGain};
std::atomic<int> microphone_gain{kMaxGain};

double gain_factor(int gain)
{
    if (gain <= 0)
        return 0.0;
    if (gain >= kMaxGain)
        return 1.0;
    double volume = static_cast<double>(gain) / kMaxGain;
    return volume * volume * volume;
}

int gain_for_volume(double volume)
{
    if (!(volume > 0.0))
        return 0;
    if (volume >= 1.0)
        return kMaxGain;
    int gain = static_cast<int>(std::lround(volume * kMaxGain));
    return gain < 1 ? 1 : gain;
}

void apply_gain(int16_t* samples, size_t count, int gain)
{
    if (gain >= kMaxGain)
        return;
    double factor = gain_factor(gain);
    for (size_t i = 0; i < count; ++i)
        samples[i] = static_cast<int16_t>(std::lround(samples[i] * factor));
}
