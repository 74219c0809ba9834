#!/usr/bin/python3
"""A stand-in for BlueZ's obexd on a private session bus.

Same names and signatures as the real daemon's client API, and the same
habits that matter to a client: transfer objects vanish right after their
last PropertiesChanged; sessions belong to the connection that created them,
and one connection gets one session per phone and target (a second
CreateSession returns the same one); Select changes the folder for everyone
in the session, and RemoveSession ends every transfer in it. The test steers
it with a JSON file (re-read on every call) and reads back every call it
received, one JSON object a line.

Behaviour keys (all optional):
  files: {"pb": path, "ich": path, "och": path, "mch": path}  vCard data served
  create_session_error: true
  pbap_delay_ms: N         PhonebookAccess1 appears N ms after CreateSession
  pbap_never: true         it never appears
  select_int_refused: true Select("int", ...) fails, Select("", ...) works
  select_refused: [list]   Select fails for these lists whatever the location
  pullall_error: [list]
  transfer_error: [list]   the transfer ends with Status "error"
  never_complete: [list]   the transfer stays "active" (half the file written)
  no_filename: [list]      neither the reply nor the transfer names a file
  vanish: [list]           the transfer object goes away without a final Status
  file_gone: [list]        the transfer completes but its file is never there
  complete_delay_ms: N     time from PullAll to "complete" (default 30)
  slow: {list: [ms, steps]} the file is written in steps over ms, each step
                           announcing "Transferred"
  silent_progress: true    slow transfers announce nothing until the end:
                           only the file grows
"""
import json
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BUS_NAME = "org.bluez.obex"
CLIENT_PATH = "/org/bluez/obex"
CLIENT_IFACE = "org.bluez.obex.Client1"
PBAP_IFACE = "org.bluez.obex.PhonebookAccess1"
TRANSFER_IFACE = "org.bluez.obex.Transfer1"
PROPS_IFACE = "org.freedesktop.DBus.Properties"

config_path, log_path, work_dir = sys.argv[1], sys.argv[2], sys.argv[3]


def config():
    try:
        with open(config_path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def plain(value):
    """Arguments as JSON, with D-Bus integer types kept visible ("q:33")."""
    if isinstance(value, dbus.Dictionary):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, dbus.Array)):
        return [plain(v) for v in value]
    if isinstance(value, dbus.UInt16):
        return "q:%d" % int(value)
    if isinstance(value, dbus.UInt32):
        return "u:%d" % int(value)
    if isinstance(value, (dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt64, dbus.Byte)):
        return "%s:%d" % (type(value).__name__, int(value))
    if isinstance(value, dbus.Boolean):
        return bool(value)
    return str(value)


def record(method, path, args, sender):
    with open(log_path, "a") as f:
        f.write(json.dumps({"method": method, "path": path, "args": [plain(a) for a in args],
                            "sender": str(sender)}) + "\n")


def failed(name, text):
    return dbus.exceptions.DBusException(text, name="org.bluez.obex.Error." + name)


class Transfer(dbus.service.Object):
    def __init__(self, bus, path, filename, size):
        super().__init__(bus, path)
        self.path = path
        self.ended = False
        self.props = {"Status": dbus.String("queued"), "Name": dbus.String("telecom/pb.vcf"),
                      "Size": dbus.UInt64(size), "Transferred": dbus.UInt64(0)}
        if filename:
            self.props["Filename"] = dbus.String(filename)

    @dbus.service.method(PROPS_IFACE, in_signature="ss", out_signature="v")
    def Get(self, iface, name):
        record("Get", self.path, [iface, name], "")
        if iface != TRANSFER_IFACE or name not in self.props:
            raise dbus.exceptions.DBusException("No such property " + name,
                                                name="org.freedesktop.DBus.Error.InvalidArgs")
        return self.props[name]

    @dbus.service.method(PROPS_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, iface):
        return dbus.Dictionary(self.props, signature="sv")

    @dbus.service.signal(PROPS_IFACE, signature="sa{sv}as")
    def PropertiesChanged(self, iface, changed, invalidated):
        pass

    def set_status(self, status):
        if self.ended:
            return
        self.props["Status"] = dbus.String(status)
        self.PropertiesChanged(TRANSFER_IFACE, {"Status": dbus.String(status)}, [])

    def set_transferred(self, count, announce):
        if self.ended:
            return
        self.props["Transferred"] = dbus.UInt64(count)
        if announce:
            self.PropertiesChanged(TRANSFER_IFACE, {"Transferred": dbus.UInt64(count)}, [])

    def finish(self, status):
        # As obexd does: the final status, then the object is gone at once.
        if self.ended:
            return
        self.set_status(status)
        self.vanish()

    def vanish(self):
        if not self.ended:
            self.ended = True
            self.remove_from_connection()


class Session(dbus.service.Object):
    def __init__(self, daemon, bus, path, owner, destination, target):
        super().__init__(bus, path)
        self.daemon = daemon
        self.path = path
        self.owner = owner
        self.destination = destination
        self.target = target
        self.folder = ""
        self.transfers = []
        cfg = config()
        self.ready = not cfg.get("pbap_never") and not cfg.get("pbap_delay_ms")
        if cfg.get("pbap_delay_ms") and not cfg.get("pbap_never"):
            GLib.timeout_add(int(cfg["pbap_delay_ms"]), self.make_ready)

    def make_ready(self):
        self.ready = True
        return False

    @dbus.service.method("org.freedesktop.DBus.Introspectable", in_signature="", out_signature="s")
    def Introspect(self):
        record("Introspect", self.path, [], "")
        xml = '<node><interface name="org.bluez.obex.Session1"></interface>'
        if self.ready:
            xml += ('<interface name="%s"><method name="Select"><arg type="s" direction="in"/>'
                    '<arg type="s" direction="in"/></method><method name="PullAll">'
                    '<arg type="s" direction="in"/><arg type="a{sv}" direction="in"/>'
                    '<arg type="o" direction="out"/><arg type="a{sv}" direction="out"/></method>'
                    '</interface>' % PBAP_IFACE)
        return xml + "</node>"

    @dbus.service.method(PBAP_IFACE, in_signature="ss", out_signature="", sender_keyword="sender")
    def Select(self, location, phonebook, sender=None):
        record("Select", self.path, [location, phonebook], sender)
        cfg = config()
        if not self.ready:
            raise failed("Failed", "Not ready")
        if phonebook in cfg.get("select_refused", []):
            raise failed("Failed", "Forbidden")
        if location == "int" and cfg.get("select_int_refused"):
            raise failed("InvalidArguments", "Invalid arguments in method call")
        self.folder = str(phonebook)

    @dbus.service.method(PBAP_IFACE, in_signature="sa{sv}", out_signature="oa{sv}", sender_keyword="sender")
    def PullAll(self, target, filters, sender=None):
        record("PullAll", self.path, [target, filters], sender)
        cfg = config()
        folder = self.folder
        if not self.ready:
            raise failed("Failed", "Not ready")
        if folder in cfg.get("pullall_error", []):
            raise failed("Failed", "Forbidden")
        return self.daemon.start_transfer(self, folder, cfg)

    def shutdown(self):
        # Its transfers end with it, whoever was waiting for them.
        for transfer in self.transfers:
            transfer.finish("error")
        self.remove_from_connection()


class Daemon(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, CLIENT_PATH)
        self.bus = bus
        self.sessions = {}
        self.counter = 0
        self.transfers = 0
        bus.add_signal_receiver(self.name_owner_changed, "NameOwnerChanged", "org.freedesktop.DBus",
                                "org.freedesktop.DBus", "/org/freedesktop/DBus")

    def name_owner_changed(self, name, old, new):
        # A session dies with the connection that made it.
        if name.startswith(":") and not new:
            for path, session in list(self.sessions.items()):
                if session.owner == name:
                    session.shutdown()
                    del self.sessions[path]

    @dbus.service.method(CLIENT_IFACE, in_signature="sa{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, destination, args, sender=None):
        record("CreateSession", CLIENT_PATH, [destination, args], sender)
        if config().get("create_session_error"):
            raise failed("Failed", "Unable to connect")
        target = str(args.get("Target", "")).upper()
        if target != "PBAP":
            raise failed("InvalidArguments", "Invalid target")
        for path, session in self.sessions.items():
            if (session.owner, session.destination, session.target) == (sender, str(destination), target):
                return dbus.ObjectPath(path)
        path = "%s/client/session%d" % (CLIENT_PATH, self.counter)
        self.counter += 1
        self.sessions[path] = Session(self, self.bus, path, sender, str(destination), target)
        return dbus.ObjectPath(path)

    @dbus.service.method(CLIENT_IFACE, in_signature="o", out_signature="", sender_keyword="sender")
    def RemoveSession(self, path, sender=None):
        record("RemoveSession", CLIENT_PATH, [path], sender)
        session = self.sessions.get(str(path))
        if session is None:
            raise failed("InvalidArguments", "Invalid arguments in method call")
        if session.owner != sender:
            raise failed("NotAuthorized", "Not Authorized")
        session.shutdown()
        del self.sessions[str(path)]

    def start_transfer(self, session, folder, cfg):
        index = self.transfers
        self.transfers += 1
        path = "%s/transfer%d" % (session.path, index)
        data = b""
        source = cfg.get("files", {}).get(folder)
        if source:
            with open(source, "rb") as f:
                data = f.read()
        no_name = folder in cfg.get("no_filename", [])
        filename = "" if no_name else os.path.join(work_dir, "transfer-%d-%s.vcf" % (index, folder))
        transfer = Transfer(self.bus, path, filename, len(data))
        session.transfers.append(transfer)
        never = folder in cfg.get("never_complete", [])
        slow = cfg.get("slow", {}).get(folder)
        announce = not cfg.get("silent_progress")
        if filename and folder not in cfg.get("file_gone", []):
            with open(filename, "wb") as f:
                f.write(b"" if slow else data[: len(data) // 2] if never else data)
        delay = int(cfg.get("complete_delay_ms", 30))
        status = "error" if folder in cfg.get("transfer_error", []) else "complete"

        def write_step(step, steps):
            if transfer.ended:
                return False
            end = len(data) * step // steps
            with open(filename, "ab") as f:
                f.write(data[len(data) * (step - 1) // steps:end])
            transfer.set_transferred(end, announce)
            if step == steps:
                transfer.finish(status)
            return False

        def progress():
            transfer.set_status("active")
            if folder in cfg.get("vanish", []):
                GLib.timeout_add(delay, lambda: transfer.vanish() and False)
            elif slow and filename:
                total_ms, steps = int(slow[0]), max(1, int(slow[1]))
                for step in range(1, steps + 1):
                    GLib.timeout_add(total_ms * step // steps, write_step, step, steps)
            elif not never:
                GLib.timeout_add(delay, lambda: transfer.finish(status) and False)
            return False

        GLib.timeout_add(5, progress)
        props = {"Status": "queued", "Name": "telecom/%s.vcf" % folder}
        if filename:
            props["Filename"] = filename
        return dbus.ObjectPath(path), dbus.Dictionary(props, signature="sv")


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    daemon = Daemon(bus)
    name = dbus.service.BusName(BUS_NAME, bus, do_not_queue=True)
    GLib.MainLoop().run()
    del daemon, name


if __name__ == "__main__":
    main()
