#include "audio/sound_module.h"

#include "base/child.h"

#include <cstdlib>
#include <vector>

namespace {

constexpr int kPactlTimeoutMs = 3000;

std::vector<std::string> list_command() { return {"pactl", "list", "modules", "short"}; }
std::vector<std::string> unload_command(int index) { return {"pactl", "unload-module", std::to_string(index)}; }

}  // namespace

int bluez_module_index(std::string_view list, std::string_view device_path)
{
    if (device_path.empty())
        return -1;
    const std::string wanted = "path=" + std::string(device_path);
    size_t pos = 0;
    while (pos < list.size()) {
        size_t end = list.find('\n', pos);
        if (end == std::string_view::npos)
            end = list.size();
        std::string_view line = list.substr(pos, end - pos);
        pos = end + 1;
        size_t tab1 = line.find('\t');
        size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string_view::npos || line.substr(tab1 + 1, tab2 - tab1 - 1) != "module-bluez5-device")
            continue;
        std::string_view args = line.substr(tab2 + 1);
        args = args.substr(0, args.find('\t'));
        bool ours = false;
        size_t a = 0;
        while (a < args.size() && !ours) {
            size_t sp = args.find(' ', a);
            if (sp == std::string_view::npos)
                sp = args.size();
            ours = args.substr(a, sp - a) == wanted;
            a = sp + 1;
        }
        std::string_view index = line.substr(0, tab1);
        if (!ours || index.empty() || index.size() > 9 || index.find_first_not_of("0123456789") != std::string_view::npos)
            continue;
        return std::atoi(std::string(index).c_str());
    }
    return -1;
}

void release_phone_from_sound_server_async(const std::string& device_path)
{
    run_child_async(list_command(), kPactlTimeoutMs, [device_path](const ChildResult& listed) {
        int index = listed.ran ? bluez_module_index(listed.out, device_path) : -1;
        if (index >= 0)
            run_child_async(unload_command(index), kPactlTimeoutMs, nullptr);
    });
}

void release_phone_from_sound_server_sync(const std::string& device_path)
{
    ChildResult listed = run_child_sync(list_command(), kPactlTimeoutMs);
    int index = listed.ran ? bluez_module_index(listed.out, device_path) : -1;
    if (index >= 0)
        run_child_sync(unload_command(index), kPactlTimeoutMs);
}
