// Driving the real window as a person would, under the test's Xvfb: look at
// the screen, click, read the clipboard, find a dialog by its title.
#pragma once
#include "world/xvfb.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace th {

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    uint32_t pixel(int x, int y) const
    {
        size_t i = (static_cast<size_t>(y) * width + x) * 3;
        return (uint32_t(rgb[i]) << 16) | (uint32_t(rgb[i + 1]) << 8) | rgb[i + 2];
    }
};

struct Point { int x, y; };

Image screenshot(const std::string& display);

// Centre of the largest block of the colour in `after` whose size no block of `before` had (an empty
// `before`: the largest): a button that became active between two screenshots, found by its theme's colour.
std::optional<Point> newly_coloured(const Image& before, const Image& after, uint32_t colour);

inline void move_pointer_away(const std::string& display) { run_x_command(display, {"xdotool", "mousemove", "1", "1"}); }
inline void click_at(const std::string& display, Point p)
{
    run_x_command(display, {"xdotool", "mousemove", std::to_string(p.x), std::to_string(p.y), "click", "1", "mousemove", "1", "1"});
}
inline void type_text(const std::string& display, const std::string& text)
{
    run_x_command(display, {"xdotool", "type", "--delay", "20", text});
}
inline void press_key(const std::string& display, const std::string& key) { run_x_command(display, {"xdotool", "key", key}); }

// The CLIPBOARD's text; nullopt when the owner did not answer in time.
inline std::optional<std::string> clipboard_text(const std::string& display, int timeout_ms = 3000)
{
    return run_x_command(display, {"xclip", "-selection", "clipboard", "-o"}, timeout_ms);
}
// Asks every top-level window to close, as a window manager's close button
// does (WM_DELETE_WINDOW); false when there was none.
bool close_all_windows(const std::string& display);
inline int count_windows_named(const std::string& display, const std::string& title_regex)
{
    auto out = run_x_command(display, {"xdotool", "search", "--onlyvisible", "--name", title_regex});
    return out ? int(std::count(out->begin(), out->end(), '\n')) : 0;
}

}  // namespace th
