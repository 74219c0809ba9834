// What the phone sends on its own (RING, "+CLIP:", "+CCWA:", "+CIEV:", the
// end codes): one table from a line's prefix to its handler, fed by the
// link's conversation.
#pragma once
#include <string>
#include <vector>

class AtConversation;

// Hands the conversation's unsolicited lines to the call model.
void register_phone_lines(AtConversation& conversation, unsigned generation);

// One read's lines, as the conversation hands them over (any thread; the
// window learns of it through queued requests). generation 0: the current
// link's. True when an end code in the batch ended the call.
bool handle_phone_lines(const std::vector<std::string>& lines, unsigned generation = 0);

// The phone's answer to AT+CLCC: which number is which call.
void apply_call_list(unsigned generation, const std::vector<std::string>& lines);
