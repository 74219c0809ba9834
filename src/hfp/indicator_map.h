// The phone's indicator list as the last handshake learnt it.
#pragma once
#include "core/at.h"

// Written by the link thread's handshake; read by whoever handles the
// phone's events, on any thread (under its own lock).
IndicatorMap hfp_indicator_map();
void hfp_set_indicator_map(const IndicatorMap& map);
