// The call's gains as the phone counts them (0..15), on the sound server's
// cubic volume scale: a gain is a volume of gain/15, whose amplitude factor
// is its cube.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr int kMaxGain = 15;
// Written by the link's thread ("+VGS:"/"+VGM:") and the main loop (the
// call area's volume controls); read by the pumps for every block.
extern std::atomic<int> speaker_gain;
extern std::atomic<int> microphone_gain;

double gain_factor(int gain);
// A volume control's position (0..1, linear in the cubic scale) as a gain:
// 0 only at 0, so a quiet setting never mutes the phone's side.
int gain_for_volume(double volume);
void apply_gain(int16_t* samples, size_t count, int gain);
