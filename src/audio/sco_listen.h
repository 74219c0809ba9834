// The voice links the phone opens itself (on dialling, answering, in-band
// ringing, a call already there): Linux accepts one only while a socket
// listens for it. One thread listens on the adapter's own address with
// deferred setup and takes a link only from the connected phone while a
// call needs sound; any other link is refused, closed unread.
#pragma once
#include <functional>
#include <string>

// Starts the "voice-listen" thread on the adapter's address (main loop;
// again with another address after the adapter changed).
void sco_listen_start(const std::string& adapter_address);
void sco_listen_stop();
// The phone whose links are taken; "" takes none. Main loop.
void sco_listen_set_phone(const std::string& phone_address);
// Asked on the listening thread for each link of the phone.
void sco_listen_set_rule(std::function<bool()> call_needs_sound);
// Links from the phone taken so far (for the PC's own connect to wait on).
unsigned sco_phone_links();
