#include "conn_bluez.h"

#include <X11/Xlib.h>

#include <algorithm>

namespace th {

std::string call_agent_from(GDBusConnection* conn, const std::string& dest, const std::string& method,
                            GVariant* params)
{
    return call_described(conn, dest.c_str(), "/org/bluez/agent", "org.bluez.Agent1", method.c_str(), params);
}

bool close_all_windows(const std::string& display_name)
{
    Display* dpy = XOpenDisplay(display_name.c_str());
    if (!dpy)
        return false;
    Atom wm_protocols = XInternAtom(dpy, "WM_PROTOCOLS", False);
    Atom wm_delete = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    int sent = 0;
    XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count; ++i) {
        Atom* protocols = nullptr;
        int n = 0;
        bool wants_delete = false;
        if (XGetWMProtocols(dpy, children[i], &protocols, &n)) {
            wants_delete = std::find(protocols, protocols + n, wm_delete) != protocols + n;
            XFree(protocols);
        }
        if (!wants_delete)
            continue;
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = children[i];
        ev.xclient.message_type = wm_protocols;
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = long(wm_delete);
        ev.xclient.data.l[1] = CurrentTime;
        XSendEvent(dpy, children[i], False, NoEventMask, &ev);
        ++sent;
    }
    if (children)
        XFree(children);
    XCloseDisplay(dpy);   // flushes
    return sent > 0;
}

}  // namespace th
