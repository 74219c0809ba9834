// Helper programs (the sound server's command-line tool and the like) run
// with a time limit: one that hangs is killed, never waited for.
#pragma once
#include <functional>
#include <string>
#include <vector>

struct ChildResult {
    bool ran = false;        // started and exited by itself within the limit
    int exit_status = -1;
    std::string out;         // its standard output
};

// On the main loop: returns at once; done runs on the main loop later.
void run_child_async(const std::vector<std::string>& argv, int timeout_ms,
                     std::function<void(const ChildResult&)> done);

// On a worker thread: waits, at most timeout_ms.
ChildResult run_child_sync(const std::vector<std::string>& argv, int timeout_ms);
