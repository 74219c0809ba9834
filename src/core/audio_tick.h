// The voice thread's pace: one pass over both directions per tick. The
// speaker's jitter buffer and the microphone's pacer reckon in it too.
#pragma once
#include <cstdint>

inline constexpr int64_t kAudioTickUs = 10000;
