// Placing a call: the one entry point for every outgoing call.
#pragma once

// Main loop. ATD is queued on the hands-free link and judged when the phone
// answers (its widget work comes back to the main loop); without a link the
// number waits for one. False when refused at once (nothing dialled or
// waiting, said in the log).
bool dial_number(const char* number);

#include "base/events.h"
// Case of apply: the phone refused a number (the window offers to copy it).
void apply_dial_refused(const DialRefused& event);
