#!/usr/bin/python3
"""A stand-in desktop notification server on a private session bus, with the
interface's real signatures and a real server's habit that matters to a
client: a notification that is not "resident" is closed (reason 2) right
after one of its actions is invoked. Each Notify and CloseNotification is
logged as one JSON line; the test plays the user through
org.telvane.test.NotificationUser.Invoke(u id, s action_key).
"""
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

IFACE = "org.freedesktop.Notifications"
USER_IFACE = "org.telvane.test.NotificationUser"
PATH = "/org/freedesktop/Notifications"

log_path = sys.argv[1]


def record(entry):
    with open(log_path, "a") as f:
        f.write(json.dumps(entry) + "\n")


class Server(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.next_id = 1
        self.open = {}   # id -> resident

    @dbus.service.method(IFACE, in_signature="", out_signature="as")
    def GetCapabilities(self):
        return ["actions", "body", "icon-static", "persistence"]

    @dbus.service.method(IFACE, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ("telvane-test-notifications", "Telvane tests", "1.0", "1.2")

    @dbus.service.method(IFACE, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout):
        if replaces_id and replaces_id in self.open:
            nid = int(replaces_id)
        else:
            nid = self.next_id
            self.next_id += 1
        self.open[nid] = bool(hints.get("resident", False))
        # Button label (the key itself for the unlabelled default) -> action key.
        buttons = {str(actions[i + 1]) or str(actions[i]): str(actions[i]) for i in range(0, len(actions) - 1, 2)}
        record({"method": "Notify", "id": nid, "app_name": str(app_name), "replaces_id": int(replaces_id),
                "summary": str(summary), "body": str(body), "buttons": buttons,
                "hints": {str(k): str(v) for k, v in hints.items() if isinstance(v, str)}})
        return dbus.UInt32(nid)

    @dbus.service.method(IFACE, in_signature="u", out_signature="")
    def CloseNotification(self, nid):
        record({"method": "CloseNotification", "id": int(nid)})
        if self.open.pop(int(nid), None) is not None:
            self.NotificationClosed(nid, dbus.UInt32(3))

    @dbus.service.signal(IFACE, signature="uu")
    def NotificationClosed(self, nid, reason):
        pass

    @dbus.service.signal(IFACE, signature="us")
    def ActionInvoked(self, nid, action_key):
        pass

    @dbus.service.method(USER_IFACE, in_signature="us", out_signature="")
    def Invoke(self, nid, action_key):
        if int(nid) not in self.open:
            raise dbus.exceptions.DBusException("no such notification", name="org.telvane.test.Error.Unknown")
        self.ActionInvoked(dbus.UInt32(nid), action_key)
        if not self.open[int(nid)]:
            del self.open[int(nid)]
            self.NotificationClosed(dbus.UInt32(nid), dbus.UInt32(2))


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
server = Server(bus)
name = dbus.service.BusName(IFACE, bus)
GLib.MainLoop().run()
