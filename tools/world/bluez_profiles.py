# Runs inside python3-dbusmock's bluez5 template: the external profiles of
# bluetoothd 5.66 that the template lacks. ProfileManager1 registrations
# (one owner per UUID, published in Adapter1.UUIDs, gone with their owner),
# Device1.ConnectProfile/DisconnectProfile, Profile1.NewConnection with a
# real descriptor connected to the simulated phone behind the socket shim,
# and the phone connecting by itself (org.bluez.Mock.PhoneConnects).
#
# Like bluetoothd, which talks to the kernel its caller uses, the links go
# through the shim folder of the process that registered the profile
# (TELVANE_BT_SHIM_DIR in its environment), and the shim's fault files apply.
import errno
import fcntl
import os
import socket
import threading

import dbus
import dbus.service
import dbusmock.mockobject as mockobject
from gi.repository import GLib

HF = '0000111e-0000-1000-8000-00805f9b34fb'
AG = '0000111f-0000-1000-8000-00805f9b34fb'
# The remote service each role connects to.
REMOTE = {HF: AG, AG: HF}
DEVICE = 'org.bluez.Device1'
ADAPTER = 'org.bluez.Adapter1'
MANAGER = 'org.bluez.ProfileManager1'

profiles = {}      # uuid -> dict(sender, path, shim, watch)
links = {}         # device path -> socket: bluetoothd's own copy of the link
connecting = {}    # device path -> socket of a connect under way
watches = {}       # device path -> watch of its link's end
events = []        # "NewConnection dev", "RequestDisconnection dev", ... for the tests


def bluez_error(name, text):
    return dbus.exceptions.DBusException(text, name='org.bluez.Error.' + name)


def bus():
    return mockobject.objects['/org/bluez'].connection


def shim_of(sender):
    try:
        proxy = bus().get_object('org.freedesktop.DBus', '/org/freedesktop/DBus')
        pid = dbus.Interface(proxy, 'org.freedesktop.DBus').GetConnectionUnixProcessID(sender)
        with open('/proc/%d/environ' % pid, 'rb') as f:
            for item in f.read().split(b'\0'):
                if item.startswith(b'TELVANE_BT_SHIM_DIR='):
                    return item.split(b'=', 1)[1].decode()
    except Exception:
        pass
    return ''


def take_fault(shim, op):
    '''One use of the shim's fault file for op: its errno, or 0.'''
    path = os.path.join(shim, 'fault-' + op)
    try:
        fd = os.open(path, os.O_RDWR)
    except OSError:
        return 0
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        words = os.pread(fd, 64, 0).decode().split()
        if not words:
            return 0
        err = getattr(errno, words[0], 0) or (int(words[0]) if words[0].isdigit() else 0)
        count = words[1] if len(words) > 1 else ''
        if count != '*':
            left = (int(count) if count.isdigit() else 1) - 1
            if left <= 0:
                os.unlink(path)
            else:
                os.ftruncate(fd, 0)
                os.pwrite(fd, ('%s %d\n' % (words[0], left)).encode(), 0)
        return err
    finally:
        os.close(fd)


def adapters():
    return [o for p, o in mockobject.objects.items() if ADAPTER in o.props and p.count('/') == 3]


def publish_uuid(uuid, present):
    for adapter in adapters():
        uuids = [str(u) for u in adapter.props[ADAPTER].get('UUIDs', [])]
        if present and uuid not in uuids:
            uuids.append(uuid)
        elif not present and uuid in uuids:
            uuids.remove(uuid)
        else:
            continue
        adapter.UpdateProperties(ADAPTER, {'UUIDs': dbus.Array(uuids, signature='s')})


def drop_profile(uuid):
    held = profiles.pop(uuid, None)
    if held:
        held['watch'].cancel()
        publish_uuid(uuid, False)


@dbus.service.method(MANAGER, in_signature='osa{sv}', out_signature='', sender_keyword='sender')
def RegisterProfile(self, path, uuid, options, sender=None):
    uuid = str(uuid).lower()
    held = profiles.get(uuid)
    if held:
        if held['sender'] == sender and held['path'] == path:
            raise bluez_error('AlreadyExists', 'Already Exists')
        raise bluez_error('NotPermitted', 'UUID already registered')
    # As bluetoothd: an option of the wrong type is ignored.
    version = options.get('Version')
    features = options.get('Features')
    entry = dict(sender=str(sender), path=str(path), shim=shim_of(sender),
                 version=int(version) if isinstance(version, dbus.UInt16) else None,
                 features=int(features) if isinstance(features, dbus.UInt16) else None)
    entry['watch'] = self.connection.watch_name_owner(
        sender, lambda owner, uuid=uuid: owner == '' and drop_profile(uuid))
    profiles[uuid] = entry
    publish_uuid(uuid, True)
    events.append('RegisterProfile %s %s %s' % (uuid, entry['version'], entry['features']))


@dbus.service.method(MANAGER, in_signature='o', out_signature='', sender_keyword='sender')
def UnregisterProfile(self, path, sender=None):
    for uuid, held in list(profiles.items()):
        if held['sender'] == sender and held['path'] == path:
            drop_profile(uuid)
            events.append('UnregisterProfile ' + uuid)
            return
    raise bluez_error('DoesNotExist', 'Does Not Exist')


def profile_for(remote_uuid):
    for uuid, held in profiles.items():
        if REMOTE.get(uuid) == remote_uuid:
            return held
    return None


def phone_dir(shim, device):
    return os.path.join(shim, str(device.props[DEVICE]['Address']).upper())


def dial_phone(shim, device, sock):
    '''Blocking: connects sock to the phone's hands-free gateway. '' or the failure.'''
    if not shim:
        return 'br-connection-unknown'
    err = take_fault(shim, 'connect-rfcomm')
    if err:
        return os.strerror(err)
    folder = phone_dir(shim, device)
    if not os.path.isdir(folder):
        return 'br-connection-page-timeout'
    channels = sorted(int(n[7:]) for n in os.listdir(folder) if n.startswith('rfcomm-') and n[7:].isdigit())
    if not channels:
        return 'br-connection-refused'
    try:
        sock.connect(os.path.join(folder, 'rfcomm-%d' % channels[0]))
        sock.settimeout(65)
        verdict = sock.recv(1)
        sock.settimeout(None)
    except OSError as e:
        return os.strerror(e.errno or errno.ECONNREFUSED)
    if len(verdict) != 1:
        return os.strerror(errno.ECONNRESET)
    if verdict[0] != 0:
        return os.strerror(verdict[0])
    return ''


def set_connected(device, connected, force=False):
    # The template's own Disconnect leaves the stored value stale: a phone
    # that connects by itself always changes it.
    if force or bool(device.props[DEVICE].get('Connected', False)) != connected:
        device.UpdateProperties(DEVICE, {'Connected': dbus.Boolean(connected)})


def open_link(device, held, done):
    '''Connects on a thread, then hands the link over on the main loop; done(error or None).'''
    dev = device.__dbus_object_path__
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    connecting[dev] = sock

    def handed(*_):
        events.append('NewConnection ' + dev)
        done(None)

    def refused(e):
        drop_link(dev)
        done(bluez_error('Failed', str(e.get_dbus_message())))

    def finish(failure):
        if connecting.get(dev) is not sock:   # aborted: the device went
            sock.close()
            done(bluez_error('Failed', 'br-connection-canceled'))
            return False
        del connecting[dev]
        if failure:
            sock.close()
            done(bluez_error('Failed', failure))
            return False
        links[dev] = sock
        # The kernel tells bluetoothd when the link goes (the phone closed it,
        # or the profile shut it down): the device may be connected again.
        def gone(*_):
            watches.pop(dev, None)
            if links.get(dev) is sock:
                drop_link(dev)
            return False
        watches[dev] = GLib.io_add_watch(sock.fileno(), GLib.IO_HUP | GLib.IO_ERR, gone)
        set_connected(device, True)
        props = {'Version': dbus.UInt16(0x0107), 'Features': dbus.UInt16(0x0b67)}
        bus().call_async(held['sender'], held['path'], 'org.bluez.Profile1', 'NewConnection', 'oha{sv}',
                         (dbus.ObjectPath(dev), dbus.types.UnixFd(sock.fileno()), props),
                         handed, refused, timeout=25)
        return False

    threading.Thread(target=lambda: GLib.idle_add(finish, dial_phone(held['shim'], device, sock)),
                     daemon=True).start()


def drop_link(dev):
    watch = watches.pop(dev, None)
    if watch:
        GLib.source_remove(watch)
    for table in (links, connecting):
        sock = table.pop(dev, None)
        if sock:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()


def connect_profile(device, remote_uuid, ok, err):
    dev = device.__dbus_object_path__
    held = profile_for(str(remote_uuid).lower())
    uuids = [str(u).lower() for u in device.props[DEVICE].get('UUIDs', [])]
    if not held or str(remote_uuid).lower() not in uuids:
        return err(bluez_error('NotAvailable', 'Operation currently not available'))
    if dev in connecting:
        return err(bluez_error('InProgress', 'In Progress'))
    if dev in links:
        return err(bluez_error('AlreadyConnected', 'Already Connected'))
    open_link(device, held, lambda e: err(e) if e else ok())


@dbus.service.method(DEVICE, in_signature='s', out_signature='', async_callbacks=('ok', 'err'))
def ConnectProfile(self, uuid, ok=None, err=None):
    events.append('ConnectProfile %s %s' % (self.__dbus_object_path__, uuid))
    connect_profile(self, uuid, ok, err)


@dbus.service.method(DEVICE, in_signature='s', out_signature='', async_callbacks=('ok', 'err'))
def DisconnectProfile(self, uuid, ok=None, err=None):
    dev = self.__dbus_object_path__
    held = profile_for(str(uuid).lower())
    if not held or dev not in links:
        return err(bluez_error('NotConnected', 'Not Connected'))
    # bluetoothd asks the profile to let go and keeps its own copy of the
    # socket: the link ends only if the profile shuts it down.
    events.append('RequestDisconnection ' + dev)
    bus().call_async(held['sender'], held['path'], 'org.bluez.Profile1', 'RequestDisconnection', 'o',
                     (dbus.ObjectPath(dev),), lambda *_: ok(), lambda e: ok(), timeout=25)


@dbus.service.method('org.bluez.Mock', in_signature='s', out_signature='', async_callbacks=('ok', 'err'))
def PhoneConnects(self, address, ok=None, err=None):
    '''The phone connects by itself, as to a hands-free unit it knows.'''
    device = next((o for p, o in mockobject.objects.items()
                   if DEVICE in o.props and str(o.props[DEVICE].get('Address', '')).upper() == address.upper()),
                  None)
    if device is None:
        return err(dbus.exceptions.DBusException('no such device', name='org.bluez.Mock.NoSuchDevice'))
    held = profile_for(AG)
    shim = held['shim'] if held else ''
    if shim and not os.path.isdir(phone_dir(shim, device)):
        return err(dbus.exceptions.DBusException('phone out of range', name='org.bluez.Mock.OutOfRange'))
    set_connected(device, True, force=True)
    dev = device.__dbus_object_path__
    # A phone finds no hands-free service to connect to without a registration.
    if not held or dev in links or dev in connecting:
        return ok()
    open_link(device, held, lambda e: err(e) if e else ok())


@dbus.service.method('org.bluez.Mock', in_signature='', out_signature='as')
def ProfileEvents(self):
    return dbus.Array(events, signature='s')


# A device whose link goes down (out of range, Disconnect) takes the profile
# link with it, as the kernel does when the ACL goes.
original_emit = mockobject.DBusMockObject.EmitSignal


def emit_signal(self, interface, name, signature, sigargs):
    original_emit(self, interface, name, signature, sigargs)
    if (name == 'PropertiesChanged' and len(sigargs) > 1 and str(sigargs[0]) == DEVICE and
            'Connected' in sigargs[1] and not sigargs[1]['Connected']):
        drop_link(self.__dbus_object_path__)


def install(objects):
    if getattr(mockobject, 'profiles_installed', False):
        return
    mockobject.profiles_installed = True
    mockobject.DBusMockObject.EmitSignal = emit_signal
    table = {
        (MANAGER, 'RegisterProfile'): ('/org/bluez', RegisterProfile),
        (MANAGER, 'UnregisterProfile'): ('/org/bluez', UnregisterProfile),
        (DEVICE, 'ConnectProfile'): (None, ConnectProfile),
        (DEVICE, 'DisconnectProfile'): (None, DisconnectProfile),
        ('org.bluez.Mock', 'PhoneConnects'): ('/', PhoneConnects),
        ('org.bluez.Mock', 'ProfileEvents'): ('/', ProfileEvents),
    }
    previous = dbus.service._method_lookup

    def lookup(obj, method_name, interface):
        found = table.get((interface, method_name))
        # The template's own entries for these do nothing; a test's override has code.
        own = getattr(obj, 'methods', {}).get(interface, {}).get(method_name)
        if found and (own is None or not own[2]):
            where, method = found
            path = getattr(obj, '__dbus_object_path__', None)
            if (where is None and DEVICE in getattr(obj, 'props', {})) or where == path:
                return (method, method)
        return previous(obj, method_name, interface)

    dbus.service._method_lookup = lookup
