#include "base/changes.h"

#include "base/events.h"

#include <utility>

namespace {

ChangeRenderer renderer = nullptr;   // main thread only: set at start-up by the window

}  // namespace

void state_changed(Change what, int arg, std::string text)
{
    if (renderer)
        renderer(ChangeNote{what, arg, std::move(text)});
}

void state_changed_later(Change what, int arg, std::string text)
{
    post_event(ChangeNote{what, arg, std::move(text)});
}

void set_change_renderer(ChangeRenderer r) { renderer = r; }
