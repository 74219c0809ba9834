#include "calls_x11.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <sstream>

namespace th {

Image screenshot(const std::string& display)
{
    std::string ppm = run_x_command(display, {"import", "-silent", "-window", "root", "-depth", "8", "ppm:-"}, 15000).value_or("");
    std::istringstream in(ppm);
    Image img;
    std::string magic;
    int maxval = 0;
    in >> magic >> img.width >> img.height >> maxval;
    in.get();
    size_t at = static_cast<size_t>(in.tellg()), n = static_cast<size_t>(img.width) * img.height * 3;
    if (!in || magic != "P6" || maxval != 255 || img.width <= 0 || img.height <= 0 || ppm.size() < at + n)
        return Image{};
    img.rgb.assign(ppm.begin() + static_cast<long>(at), ppm.begin() + static_cast<long>(at + n));
    return img;
}

namespace {

struct Blob {
    int count, min_x, min_y, max_x, max_y;
    long sum_x = 0, sum_y = 0;
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
            ++b.count, b.sum_x += x, b.sum_y += y;
            b.min_x = std::min(b.min_x, x), b.max_x = std::max(b.max_x, x);
            b.min_y = std::min(b.min_y, y), b.max_y = std::max(b.max_y, y);
            for (int j : {x + 1 < w ? i + 1 : -1, x > 0 ? i - 1 : -1, i + w < n ? i + w : -1, i - w})
                if (j >= 0 && !seen[j] && img.pixel(j % w, j / w) == colour)
                    seen[j] = 1, stack.push_back(j);
        }
        if (b.count >= 200)
            blobs.push_back(b);
    }
    return blobs;
}

}  // namespace

std::optional<Point> newly_coloured(const Image& before, const Image& after, uint32_t colour)
{
    // Matched by shape, not position: a growing label moves everything below it.
    std::vector<Blob> old_blobs = before.width ? blobs_of(before, colour) : std::vector<Blob>{}, new_blobs = blobs_of(after, colour);
    auto same_size = [](const Blob& a, const Blob& b) {
        return std::abs((a.max_x - a.min_x) - (b.max_x - b.min_x)) <= 2 && std::abs((a.max_y - a.min_y) - (b.max_y - b.min_y)) <= 2;
    };
    const Blob* best = nullptr;
    for (const Blob& b : new_blobs)
        if (std::none_of(old_blobs.begin(), old_blobs.end(), [&](const Blob& o) { return same_size(o, b); }) &&
            (!best || b.count > best->count))
            best = &b;
    return best ? std::optional(Point{int(best->sum_x / best->count), int(best->sum_y / best->count)}) : std::nullopt;
}

bool close_all_windows(const std::string& display_name)
{
    Display* dpy = XOpenDisplay(display_name.c_str());
    if (!dpy)
        return false;
    Atom wm_protocols = XInternAtom(dpy, "WM_PROTOCOLS", False), wm_delete = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0, sent = 0;
    XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count; ++i) {
        Atom* protocols = nullptr;
        int n = 0;
        if (!XGetWMProtocols(dpy, children[i], &protocols, &n))
            continue;
        bool wants_delete = std::find(protocols, protocols + n, wm_delete) != protocols + n;
        XFree(protocols);
        XEvent ev{};   // its time, data.l[1], stays CurrentTime
        ev.xclient = {ClientMessage, 0, False, dpy, children[i], wm_protocols, 32, {}};
        ev.xclient.data.l[0] = long(wm_delete);
        sent += wants_delete && XSendEvent(dpy, children[i], False, NoEventMask, &ev);
    }
    if (children)
        XFree(children);
    XCloseDisplay(dpy);   // flushes
    return sent > 0;
}

}  // namespace th
