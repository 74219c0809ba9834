#include "calls_x11.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <sstream>

namespace th {

Image screenshot(const std::string& display)
{
    std::string ppm = run_x_command(display, {"import", "-silent", "-window", "root", "-depth", "8", "ppm:-"}, 15000)
                          .value_or("");
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
            ++b.count, b.sum_x += x, b.sum_y += y;
            b.min_x = std::min(b.min_x, x), b.max_x = std::max(b.max_x, x);
            b.min_y = std::min(b.min_y, y), b.max_y = std::max(b.max_y, y);
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

bool close_all_windows(const std::string& display_name)
{
    Display* dpy = XOpenDisplay(display_name.c_str());
    if (!dpy)
        return false;
    Atom wm_protocols = XInternAtom(dpy, "WM_PROTOCOLS", False), wm_delete = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    int sent = 0;
    XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count; ++i) {
        Atom* protocols = nullptr;
        int n = 0;
        if (!XGetWMProtocols(dpy, children[i], &protocols, &n))
            continue;
        bool wants_delete = std::find(protocols, protocols + n, wm_delete) != protocols + n;
        XFree(protocols);
        XEvent ev{};   // its time, data.l[1], stays CurrentTime
        ev.xclient.type = ClientMessage;
        ev.xclient.window = children[i];
        ev.xclient.message_type = wm_protocols;
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = long(wm_delete);
        if (wants_delete && XSendEvent(dpy, children[i], False, NoEventMask, &ev))
            ++sent;
    }
    if (children)
        XFree(children);
    XCloseDisplay(dpy);   // flushes
    return sent > 0;
}

}  // namespace th
