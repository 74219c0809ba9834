// The listener link's codec negotiation (codec_negotiation.h) put to work:
// its commands go out on the link, the codec it agrees on is the next
// voice link's, and a voice link that cannot carry it narrows what we offer.
#pragma once
#include <string>
#include <vector>

class AtChannel;

// Once the phone's "+BRSF:" is in, in the listener's handshake: a fresh
// negotiation. Returns the AT+BAC to send next, "" when there is none.
std::string codec_link_start(int phone_features);
// Lines read on the listener's link: "+BCS:" answered on it; anything
// waiting to be told to the phone goes out too. Other lines are left alone.
void codec_link_lines(AtChannel& channel, const std::vector<std::string>& lines);
// The voice link could not be made transparent: CVSD from now on, and the
// phone is told with the next codec_link_lines.
void codec_link_fall_back();
