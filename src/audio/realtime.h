// Real-time scheduling for a call's voice thread. The sound server's threads
// run above ordinary ones: at normal priority each message the thread sends
// them preempts it mid-tick, and any busy program on the desktop delays its
// ticks into gaps.
#pragma once
#include <string>

// Puts the calling thread under SCHED_RR at the lowest real-time priority,
// below the sound server's own audio threads: directly where the process
// may, else through RealtimeKit on the system bus. The process's real-time
// CPU limit is capped first, so a thread that ran 100 ms without a pause
// is lowered to normal priority rather than take a core. On failure the
// thread stays as it was and why says why. Blocks for at most a second.
bool make_thread_realtime(std::string* why);

// Whether a thread made real-time was lowered since the last call.
bool realtime_was_lowered();
