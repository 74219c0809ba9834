// The program's process-wide state back to how a fresh start has it, for
// tests that run many starts in one process. Main thread, with no link,
// worker or window left from before.
#pragma once

void reset_program_state();
