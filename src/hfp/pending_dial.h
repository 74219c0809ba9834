#pragma once
#include <string>

// The number waiting to be dialled once the hands-free link can carry it.
// Written on the main loop, taken by the listener thread: always go through
// these so a number is dialled once and only once. It expires after
// kPendingDialSeconds (logged), and the user may cancel it.
inline constexpr int kPendingDialSeconds = 60;
void pending_dial_set(const char* number);   // main thread
std::string pending_dial_take();   // empties it; "" when nothing (valid) waits
std::string pending_dial_peek();
void pending_dial_cancel();        // main thread
