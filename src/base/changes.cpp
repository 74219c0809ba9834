#include "base/changes.h"

#include <glib.h>

#include <utility>

namespace {

ChangeRenderer renderer = nullptr;   // main thread only

gboolean render_cb(gpointer data)
{
    ChangeNote* note = static_cast<ChangeNote*>(data);
    if (renderer)
        renderer(*note);
    delete note;
    return G_SOURCE_REMOVE;
}

}  // namespace

void state_changed(Change what, int arg, std::string text)
{
    if (renderer)
        renderer(ChangeNote{what, arg, std::move(text)});
}

void state_changed_later(Change what, int arg, std::string text)
{
    g_idle_add(render_cb, new ChangeNote{what, arg, std::move(text)});
}

void set_change_renderer(ChangeRenderer r) { renderer = r; }
