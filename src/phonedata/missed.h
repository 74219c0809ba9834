// Whether a call that rang out here was missed in the phone's own eyes: a
// call declined on the phone and one the caller gave up look the same over
// the hands-free link, but only the second is in the phone's missed calls.
#pragma once
#include "core/records.h"

#include <string>

// Minutes the phone's record of the call may lie from our clock.
inline constexpr int kMissedClockSlackMinutes = 15;

// True when the newest record of rows (newest first) for number is a missed
// call dated within the slack of now_key ("YYYYMMDDTHHMMSS", local time);
// a record without a readable date counts by its type alone. Numbers match
// by their last ten digits.
bool history_says_missed(const RecentEntry* rows, int count, const char* number, const std::string& now_key);
// Local time now as a call-history sort key.
std::string history_key_now();
