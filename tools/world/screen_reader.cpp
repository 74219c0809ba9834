#include "world/screen_reader.h"

#include <gio/gio.h>
#include <unistd.h>

#include <algorithm>

namespace th {

namespace {
Env reader_env(const TestWorld& world)
{
    Env env = world.env();
    // The launcher keeps its bus's socket under the cache folder.
    env["XDG_CACHE_HOME"] = world.dir.file(".cache");
    return env;
}
}  // namespace

ScreenReader::ScreenReader(TestWorld& world) : world_(world)
{
    bus_ = std::make_unique<Process>(std::vector<std::string>{"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"},
                                     reader_env(world), world.dir.path(), world.dir.file("at-spi.log"));
    // The program asks the session bus for the accessibility bus at start.
    GDBusConnection* bus = world.session_bus.connection();
    wait_until([&] {
        GVariant* r = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", "org.a11y.Bus"),
                                                  G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
        gboolean owned = FALSE;
        if (r) {
            g_variant_get(r, "(b)", &owned);
            g_variant_unref(r);
        }
        return owned == TRUE;
    }, 10000);
}

ScreenReader::~ScreenReader() { bus_->terminate(3000); }

std::vector<std::string> ScreenReader::shown_texts(pid_t pid) const
{
    Env env = reader_env(world_);
    std::vector<std::string> argv{"/usr/bin/python3", TELVANE_SOURCE_DIR "/tools/world/window_texts.py", std::to_string(pid)};
    std::string out_path = world_.dir.file("window-texts.out");
    unlink(out_path.c_str());   // the output is appended
    Process reader(argv, env, world_.dir.path(), out_path, world_.dir.file("window-texts.err"));
    std::vector<std::string> texts;
    if (reader.wait(10000) != 0)
        return texts;
    std::string out = read_file(out_path);
    for (size_t at = 0, end; (end = out.find('\0', at)) != std::string::npos; at = end + 1)
        texts.push_back(out.substr(at, end - at));
    return texts;
}

bool shows_text(const ScreenReader& reader, pid_t pid, const std::string& text)
{
    auto texts = reader.shown_texts(pid);
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(text) != std::string::npos; });
}

}  // namespace th
