// Signal checks for voice tests; the sound server itself is in
// tools/world/sound_server.h.
#pragma once
#include "harness.h"
#include "world/sound_server.h"

#include <cstdint>
#include <vector>

namespace th {

// Share of the signal power at frequency (Goertzel over 20 ms blocks), 0..1.
double tone_share(const std::vector<int16_t>& samples, double frequency, int rate = 8000);
double rms(const std::vector<int16_t>& samples);

}  // namespace th
