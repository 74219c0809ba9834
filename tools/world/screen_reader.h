// What the window shows, read as a screen reader reads it: the desktop's
// accessibility bus (AT-SPI) on the world's session bus and X server, and
// the texts of the labels a program shows on it.
#pragma once
#include "world/app_world.h"

#include <memory>
#include <string>
#include <vector>

namespace th {

class ScreenReader {
public:
    // Starts the accessibility bus for the world; the program must start
    // after it, with env() added to its environment.
    explicit ScreenReader(TestWorld& world);
    ~ScreenReader();
    // GTK reports its widgets to the accessibility bus only when asked to.
    static Env env() { return {{"NO_AT_BRIDGE", kUnset}}; }
    // The texts of the labels the program with that pid shows now, in
    // window order; empty when it shows none or could not be read.
    std::vector<std::string> shown_texts(pid_t pid) const;

private:
    const TestWorld& world_;
    std::unique_ptr<Process> bus_;
};

// True once a label the program shows holds text (as a part).
bool shows_text(const ScreenReader& reader, pid_t pid, const std::string& text);

}  // namespace th
