// What the phone sends on its own (RING, "+CLIP:", "+CCWA:", "+CIEV:" and
// the end codes), read on either connection to it: the listener's and the
// dial connection's. One table from a line's prefix to its handler serves both.
#pragma once
#include <string>
#include <vector>

// Handles one batch of lines read from a connection to the phone (any
// thread; the window learns of it through queued requests). generation 0:
// the current link's. True when an end code in the batch ended the call.
bool handle_phone_lines(const std::vector<std::string>& lines, unsigned generation = 0);
