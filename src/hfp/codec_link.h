// The hands-free link's codec negotiation (codec_negotiation.h) put to work:
// its commands go out on the link, the codec it agrees on is the next voice
// link's, and a voice link that cannot carry it narrows what we offer.
#pragma once
#include <string>

// Once the phone's "+BRSF:" is in, in the handshake: a fresh negotiation.
// Returns the AT+BAC to send next (without "\r"), "" when there is none.
std::string codec_link_start(int phone_features);
// A "+BCS:" line from the phone: the command that answers it (without
// "\r"), "" when there is none.
std::string codec_link_on_line(const std::string& line);
// Before the PC opens the voice link itself: asks the phone for a codec
// connection (AT+BCC), after which phones open the link in the agreed codec.
// True once the phone has said OK; false when the link does not negotiate
// codecs or the phone refused. Waits for the answer: a worker's call only.
bool codec_link_ask_for_voice();
// The voice link could not be made transparent: CVSD from now on, and the
// phone is told on the link. Any thread.
void codec_link_fall_back();
