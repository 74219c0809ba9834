// The hands-free link: the one conversation with the phone that carries
// every call command, whoever opened its RFCOMM link.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hfp/conversation.h"

// Starts the conversation and its handshake on a connected RFCOMM
// descriptor, which it takes over. Once the handshake has succeeded the
// conversation is the link that carries call commands; on_handshake (on the
// link's thread) says whether it did. The caller keeps the conversation
// until it has closed, and shuts the descriptor down to end it.
std::shared_ptr<AtConversation> hfp_link_start(int fd, unsigned generation, std::function<void(bool ok)> on_handshake);
bool hfp_link_ready();
// While a handshake runs: whether the phone's indicator values told of a
// call, whose voice link may then come before the handshake ends. Any thread.
bool hfp_handshake_saw_call();
// Queues a command on the ready link; false, and no reply, when none is up.
bool hfp_link_send(std::string command, std::vector<std::string> expect = {}, AtConversation::Reply reply = {},
                   int timeout_ms = AtConversation::kDefaultTimeoutMs);
// The phone's "+BRSF:" bits on the ready link; 0 without one.
int hfp_link_ag_features();
// Reads what is true from the phone (AT+CIND?, and AT+CLCC when offered)
// into the call model; then runs afterwards on the link's thread (also when
// the link is gone).
void hfp_link_refresh(std::function<void()> then = {});
// After a call-state change: the phone's call list, when it offers one.
void hfp_link_list_calls();
