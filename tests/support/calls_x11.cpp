#include "calls_x11.h"

#include "harness.h"

#include <algorithm>
#include <sstream>

namespace th {

Image screenshot(const std::string& display)
{
    Image img;
    auto ppm = run_x_command(display, {"import", "-silent", "-window", "root", "-depth", "8", "ppm:-"}, 15000);
    if (!ppm)
        return img;
    std::istringstream in(*ppm);
    std::string magic;
    int maxval = 0;
    in >> magic >> img.width >> img.height >> maxval;
    in.get();
    if (magic != "P6" || maxval != 255 || img.width <= 0 || img.height <= 0)
        return Image{};
    size_t n = static_cast<size_t>(img.width) * img.height * 3;
    size_t at = static_cast<size_t>(in.tellg());
    if (ppm->size() < at + n)
        return Image{};
    img.rgb.assign(ppm->begin() + static_cast<long>(at), ppm->begin() + static_cast<long>(at + n));
    return img;
}

namespace {

struct Blob {
    int count = 0;
    int min_x, min_y, max_x, max_y;
    long sum_x = 0, sum_y = 0;
    int width() const { return max_x - min_x + 1; }
    int height() const { return max_y - min_y + 1; }
};

// Four-connected blocks of the colour, of 200 pixels or more.
std::vector<Blob> blobs_of(const Image& img, uint32_t colour)
{
    const int w = img.width, n = img.width * img.height;
    std::vector<char> seen(static_cast<size_t>(n), 0);
    std::vector<Blob> blobs;
    for (int start = 0; start < n; ++start) {
        if (seen[start] || img.pixel(start % w, start / w) != colour)
            continue;
        Blob b{0, w, img.height, 0, 0};
        std::vector<int> stack{start};
        seen[start] = 1;
        while (!stack.empty()) {
            int i = stack.back(), x = i % w, y = i / w;
            stack.pop_back();
            ++b.count;
            b.sum_x += x;
            b.sum_y += y;
            b.min_x = std::min(b.min_x, x);
            b.max_x = std::max(b.max_x, x);
            b.min_y = std::min(b.min_y, y);
            b.max_y = std::max(b.max_y, y);
            for (int j : {x + 1 < w ? i + 1 : -1, x > 0 ? i - 1 : -1, i + w < n ? i + w : -1, i - w}) {
                if (j >= 0 && !seen[j] && img.pixel(j % w, j / w) == colour) {
                    seen[j] = 1;
                    stack.push_back(j);
                }
            }
        }
        if (b.count >= 200)
            blobs.push_back(b);
    }
    return blobs;
}

}  // namespace

std::optional<Point> newly_coloured(const Image& before, const Image& after, uint32_t colour)
{
    if (after.width == 0)
        return std::nullopt;
    // Matched by shape, not position: a growing label moves everything below it.
    std::vector<Blob> old_blobs = before.width ? blobs_of(before, colour) : std::vector<Blob>{};
    std::vector<Blob> new_blobs = blobs_of(after, colour);
    const Blob* best = nullptr;
    for (const Blob& b : new_blobs) {
        bool existed = false;
        for (const Blob& o : old_blobs)
            if (std::abs(o.width() - b.width()) <= 2 && std::abs(o.height() - b.height()) <= 2)
                existed = true;
        if (!existed && (!best || b.count > best->count))
            best = &b;
    }
    if (!best)
        return std::nullopt;
    return Point{static_cast<int>(best->sum_x / best->count), static_cast<int>(best->sum_y / best->count)};
}

void click_at(const std::string& display, Point p)
{
    run_x_command(display, {"xdotool", "mousemove", std::to_string(p.x), std::to_string(p.y), "click", "1"});
    move_pointer_away(display);
}

void move_pointer_away(const std::string& display)
{
    run_x_command(display, {"xdotool", "mousemove", "1", "1"});
}

void type_text(const std::string& display, const std::string& text)
{
    run_x_command(display, {"xdotool", "type", "--delay", "20", text});
}

void press_key(const std::string& display, const std::string& key)
{
    run_x_command(display, {"xdotool", "key", key});
}

std::optional<std::string> clipboard_text(const std::string& display, int timeout_ms)
{
    return run_x_command(display, {"xclip", "-selection", "clipboard", "-o"}, timeout_ms);
}

int count_windows_named(const std::string& display, const std::string& title_regex)
{
    auto out = run_x_command(display, {"xdotool", "search", "--onlyvisible", "--name", title_regex});
    return out ? int(std::count(out->begin(), out->end(), '\n')) : 0;
}

}  // namespace th
