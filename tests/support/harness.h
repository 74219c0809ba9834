// Test machinery: the simulated world and the real binary in it
// (tools/world), and the reset of the program's state around tests.
#pragma once
#include "world/app_world.h"
#include "world/buses.h"
#include "world/processes.h"
#include "world/xvfb.h"

#include <sys/stat.h>

namespace th {

// A file's kind and, for a regular one, its bytes ("" when missing): a pipe
// is never opened, so it cannot hang the test.
inline std::string file_state(const std::string& path)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0)
        return "";
    return std::to_string(st.st_mode & S_IFMT) + ":" + (S_ISREG(st.st_mode) ? read_file(path) : "");
}

// The program's process-wide state back to its start values, and, after a
// test, its threads ended and its window closed. Both run by themselves
// around every test of a binary that links this library.
void reset_program_state();
void settle_program_state();

}  // namespace th
