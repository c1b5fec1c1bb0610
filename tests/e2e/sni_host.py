#!/usr/bin/python3
"""A StatusNotifierWatcher and host of the tests' own, on the session bus.

    sni_host.py PROGRAM DEBUG_LOG

Registers org.kde.StatusNotifierWatcher (with a host), starts the packed tray
PROGRAM, sees its item register, reads its tool tip and icon, activates it
once and twice, asks for its context menu, registers the watcher again (the
tray coming back), then ends the program with SIGTERM. What the program's
subs saw is read from DEBUG_LOG ("seen: EVENT" lines); the program's standard
error goes to DEBUG_LOG.err. Exit status 0 when
everything was seen, 1 with the reason otherwise.
"""
import os
import signal
import subprocess
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"

program, log = sys.argv[1], sys.argv[2]
context = GLib.MainContext.default()
child = None


def fail(why):
    print("FAIL: " + why, file=sys.stderr)
    if child and child.poll() is None:
        child.kill()
        child.wait()
    sys.exit(1)


def wait_for(what, condition, seconds):
    """Serves the bus while it waits for condition() to give a true value."""
    end = time.monotonic() + seconds
    while True:
        while context.iteration(False):
            pass
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            fail("timed out after %ds waiting for %s" % (seconds, what))
        time.sleep(0.05)


def seen(event):
    with open(log, encoding="utf-8", errors="replace") as f:
        return sum(1 for line in f if line.rstrip("\n") == "seen: " + event)


INTROSPECTION = """<node>
 <interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect"><arg direction="out" type="s"/></method>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg direction="in" type="s"/><arg direction="in" type="s"/><arg direction="out" type="v"/></method>
  <method name="GetAll"><arg direction="in" type="s"/><arg direction="out" type="a{sv}"/></method>
 </interface>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg direction="in" type="s"/></method>
  <method name="RegisterStatusNotifierHost"><arg direction="in" type="s"/></method>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
 </interface>
</node>
"""


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.items = []  # (service, path), in the order they registered

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        path = "/StatusNotifierItem"
        if service.startswith("/"):
            service, path = sender, service
        self.items.append((service, path))
        self.StatusNotifierItemRegistered(service + path)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, name):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemUnregistered(self, name):
        pass

    @dbus.service.signal(WATCHER)
    def StatusNotifierHostRegistered(self):
        pass

    # Qt reads the properties through an interface object, which knows only
    # what the introspection data declares.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):
        return INTROSPECTION

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "RegisteredStatusNotifierItems": dbus.Array([s + p for s, p in self.items], signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }


def centre_colour(pixmaps):
    """(r, g, b) at the centre of the largest image of an IconPixmap value
    (width, height, ARGB32 in network byte order)."""
    if not pixmaps:
        return None
    w, h, data = max(pixmaps, key=lambda p: int(p[0]) * int(p[1]))
    w, h = int(w), int(h)
    at = 4 * ((h // 2) * w + w // 2)
    if len(data) < at + 4:
        return None
    a, r, g, b = (int(x) for x in data[at:at + 4])
    return (r, g, b) if a > 200 else None


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
watcher = Watcher(bus)
name = dbus.service.BusName(WATCHER, bus)

with open(log + ".err", "w") as err:
    child = subprocess.Popen([program, "sni"], stdout=subprocess.DEVNULL, stderr=err)
wait_for("the main program", lambda: seen("main sni"), 30)
wait_for("the item to register with the watcher", lambda: watcher.items, 20)
service, path = watcher.items[0]
item = bus.get_object(service, path)
props = dbus.Interface(item, dbus.PROPERTIES_IFACE)
calls = dbus.Interface(item, ITEM)


def prop(name):
    return props.Get(ITEM, name, timeout=10)


# The tip: refreshed from the script's "ToolTip" sub at a fixed interval,
# since the desktop reports no hover.
wait_for("the tool tip from ToolTip", lambda: str(prop("ToolTip")[2]).startswith("probe tip"), 15)
if not seen("ToolTip"):
    fail("the tip changed without a ToolTip call")

# The icon: the bound default icon (red); a click sets the green one.
red, green = (255, 0, 0), (0, 255, 0)
wait_for("the red default icon", lambda: centre_colour(prop("IconPixmap")) == red, 10)

calls.Activate(0, 0, timeout=10)
wait_for("Click after one activation", lambda: seen("Click"), 10)
wait_for("the green icon after _SetIcon", lambda: centre_colour(prop("IconPixmap")) == green, 10)

# Two activations within the double-click time: one double click.
calls.Activate(0, 0, timeout=10)
calls.Activate(0, 0, timeout=10)
wait_for("DoubleClick after two activations", lambda: seen("DoubleClick"), 10)
time.sleep(1)
if seen("Click") != 1:
    fail("two activations also called Click")

calls.ContextMenu(0, 0, timeout=10)
wait_for("PopupMenu after ContextMenu", lambda: seen("PopupMenu"), 10)

# The watcher comes back: the item registers again, with its last icon.
bus.release_name(WATCHER)
del name
name = dbus.service.BusName(WATCHER, bus)
wait_for("the item to register again", lambda: len(watcher.items) >= 2, 20)
service, path = watcher.items[-1]
props = dbus.Interface(bus.get_object(service, path), dbus.PROPERTIES_IFACE)
wait_for("the green icon after the watcher's return", lambda: centre_colour(prop("IconPixmap")) == green, 10)

# SIGTERM: the quit sequence with the END block, status 128 + 15.
child.send_signal(signal.SIGTERM)
try:
    status = child.wait(timeout=20)
except subprocess.TimeoutExpired:
    fail("the program did not end after SIGTERM")
if status != 128 + signal.SIGTERM:
    fail("status after SIGTERM: %d, expected %d" % (status, 128 + signal.SIGTERM))
if seen("END") != 1:
    fail("the END block ran %d times after SIGTERM, expected once" % seen("END"))
print("sni_host: all seen")
