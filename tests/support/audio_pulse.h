// Signal checks for voice tests; the sound server itself is in tools/world.
#pragma once
#include "harness.h"
#include "world/sound_server.h"

#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

namespace th {

// Share of the signal power at frequency, 0..1: Goertzel over 20 ms blocks,
// so that gaps and phase jumps (an underrun, a dropped packet) do not cancel
// the tone out of a long coherent sum.
inline double tone_share(const std::vector<int16_t>& samples, double frequency, int rate = 8000)
{
    const size_t block = static_cast<size_t>(rate / 50);
    const double coeff = 2 * std::cos(2 * M_PI * frequency / rate);
    double power = 0, total = 0;
    for (size_t start = 0; start + block <= samples.size(); start += block) {
        double s1 = 0, s2 = 0, energy = 0;
        for (size_t i = start; i < start + block; ++i) {
            double s0 = samples[i] + coeff * s1 - s2;
            s2 = s1;
            s1 = s0;
            energy += double(samples[i]) * samples[i];
        }
        power += s1 * s1 + s2 * s2 - coeff * s1 * s2;
        total += energy * double(block) / 2.0;   // what a pure sine would give
    }
    return total > 0 ? power / total : 0;
}

inline double rms(const std::vector<int16_t>& samples)
{
    double sum = std::inner_product(samples.begin(), samples.end(), samples.begin(), 0.0);
    return samples.empty() ? 0 : std::sqrt(sum / double(samples.size()));
}

}  // namespace th
