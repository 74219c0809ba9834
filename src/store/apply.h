// The one writer of the program's state: every event the links post is
// applied here, on the main loop, in the order posted.
#pragma once
#include "base/events.h"

void apply(const Event& event);
// Installs apply as the sink of the links' events.
void install_store();
