#include "calls_x11.h"

#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

namespace th {

std::optional<std::string> run_x_command(const std::string& display, const std::vector<std::string>& argv,
                                         int timeout_ms)
{
    int out[2];
    if (pipe(out) != 0)
        return std::nullopt;
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setenv("DISPLAY", display.c_str(), 1);
        dup2(out[1], 1);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 2);
        close(out[0]);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    bool done = false;
    while (std::chrono::steady_clock::now() < deadline) {
        char buf[65536];
        ssize_t n;
        while ((n = read(out[0], buf, sizeof buf)) > 0)
            text.append(buf, static_cast<size_t>(n));
        if (waitpid(pid, &status, WNOHANG) == pid) {
            while ((n = read(out[0], buf, sizeof buf)) > 0)
                text.append(buf, static_cast<size_t>(n));
            done = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(out[0]);
    if (!done) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
        return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return text;
}

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

std::optional<Point> newly_coloured(const Image& before, const Image& after, uint32_t colour)
{
    if (before.width != after.width || before.height != after.height || after.width == 0)
        return std::nullopt;
    int w = after.width, h = after.height;
    std::vector<int> label(static_cast<size_t>(w) * h, 0);
    auto is_new = [&](int x, int y) { return after.pixel(x, y) == colour && before.pixel(x, y) != colour; };
    int best = 0, next = 0;
    long best_sx = 0, best_sy = 0;
    std::vector<Point> stack;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (label[static_cast<size_t>(y) * w + x] || !is_new(x, y))
                continue;
            ++next;
            int count = 0;
            long sx = 0, sy = 0;
            stack.push_back({x, y});
            label[static_cast<size_t>(y) * w + x] = next;
            while (!stack.empty()) {
                Point p = stack.back();
                stack.pop_back();
                ++count;
                sx += p.x;
                sy += p.y;
                const Point around[4] = {{p.x + 1, p.y}, {p.x - 1, p.y}, {p.x, p.y + 1}, {p.x, p.y - 1}};
                for (Point q : around) {
                    if (q.x < 0 || q.y < 0 || q.x >= w || q.y >= h)
                        continue;
                    int& l = label[static_cast<size_t>(q.y) * w + q.x];
                    if (!l && is_new(q.x, q.y)) {
                        l = next;
                        stack.push_back(q);
                    }
                }
            }
            if (count > best) {
                best = count;
                best_sx = sx;
                best_sy = sy;
            }
        }
    }
    if (best < 50)
        return std::nullopt;
    return Point{static_cast<int>(best_sx / best), static_cast<int>(best_sy / best)};
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
    if (!out)
        return 0;
    int n = 0;
    std::istringstream in(*out);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            ++n;
    return n;
}

}  // namespace th
