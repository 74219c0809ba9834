// The call's gains kept in step with the phone (remote volume control).
#pragma once

// Sends the current gain to the phone (AT+VGS / AT+VGM): one command of each
// at a time, the newest value going after it. Any thread.
void hfp_send_gain(bool speaker);
// After the handshake: the phone learns our gains.
void hfp_send_gains();
// "+VGS:" / "+VGM:" from the phone (link thread): stored, and the controls follow.
void hfp_gain_from_phone(bool speaker, int gain);
