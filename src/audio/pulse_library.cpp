#include "audio/pulse_library.h"

#include <gmodule.h>

#include <mutex>

namespace {

// Written once, by whichever thread asks first, under `once`; only read after.
PulseLibrary library;
const PulseLibrary* loaded = nullptr;
std::string failure;
std::once_flag once;

void load()
{
    const auto flags = static_cast<GModuleFlags>(G_MODULE_BIND_LAZY | G_MODULE_BIND_LOCAL);
    GModule* module = g_module_open("libpulse.so.0", flags);
    if (!module) {
        failure = g_module_error();
        return;
    }
    g_module_make_resident(module);   // every later call uses it again
    bool complete = true;
#define TELVANE_PULSE_RESOLVE(name)                                                                                  \
    if (!g_module_symbol(module, #name, reinterpret_cast<gpointer*>(&library.name)) || !library.name) {             \
        failure = "libpulse.so.0 has no " #name;                                                                     \
        complete = false;                                                                                            \
    }
    TELVANE_PULSE_FUNCTIONS(TELVANE_PULSE_RESOLVE)
#undef TELVANE_PULSE_RESOLVE
    if (complete)
        loaded = &library;
}

}  // namespace

const PulseLibrary* pulse_library(std::string* why)
{
    std::call_once(once, load);
    if (!loaded && why)
        *why = failure;
    return loaded;
}
