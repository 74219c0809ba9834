// Test machinery: the simulated world and the real binary in it
// (tools/world), and the reset of the program's state around tests.
#pragma once
#include "world/app_world.h"
#include "world/buses.h"
#include "world/processes.h"
#include "world/xvfb.h"

namespace th {

// The program's process-wide state back to its start values, and, after a
// test, its threads ended and its window closed. Both run by themselves
// around every test of a binary that links this library.
void reset_program_state();
void settle_program_state();

}  // namespace th
