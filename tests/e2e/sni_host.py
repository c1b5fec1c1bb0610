#!/usr/bin/python3
"""A StatusNotifierWatcher and host of the tests' own, on the session bus.

    sni_host.py PROGRAM DEBUG_LOG

Registers org.kde.StatusNotifierWatcher (with a host), starts the packed tray
PROGRAM (with its menu), sees its item register, reads its tool tip and
icon, activates it once and twice, reads its exported menu (com.canonical.dbusmenu)
unasked and after AboutToShow, chooses an item from it, asks for its context
menu, registers the watcher again (the tray coming back), then ends the
program with SIGTERM. What the program's
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
DBUSMENU = "com.canonical.dbusmenu"

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
    child = subprocess.Popen([program, "sni"], stdout=subprocess.DEVNULL, stderr=err,
                             env=dict(os.environ, PROBE_MENU="1"))
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

# Two activations within the double-click time: one double click. Both
# are sent before either is answered, so that they arrive together.
replies = []
for _ in range(2):
    calls.Activate(0, 0, reply_handler=lambda: replies.append(None),
                   error_handler=lambda e: fail("Activate: %s" % e))
wait_for("the replies to two activations", lambda: len(replies) == 2, 10)
wait_for("DoubleClick after two activations", lambda: seen("DoubleClick"), 10)
time.sleep(1)
if seen("Click") != 1:
    fail("two activations also called Click")

# The exported menu: the item names its object; the desktop draws it from
# the layout, filled from the script's "Nimbrel::PopupMenu".
menu_path = str(prop("Menu"))
if menu_path in ("", "/", "/NO_DBUSMENU"):
    fail("the item exports no menu (Menu is %r)" % menu_path)
menu = dbus.Interface(bus.get_object(service, menu_path), DBUSMENU)


def layout():
    """The menu's items as [(id, properties, children)], recursively."""
    def items(children):
        return [(int(c[0]), dict(c[1]), items(c[2])) for c in children]
    revision, root = menu.GetLayout(0, -1, dbus.Array([], signature="s"), timeout=10)
    return items(root[2])


def labels(items):
    return [str(p.get("label", "-" if p.get("type") == "separator" else "?")) for _, p, _ in items]


# The labels as DBusMenu writes them: "_" marks the mnemonic, "&&" is a
# literal "&"; a literal "&" before any mnemonic gets an invisible one.
EXPECTED = ["_One", "Two", "-", "Off", "Checked", "_Salt & Pepper", "_More"]
SUBMENU = ["_\u200bMilk & Sugar"]

# Desktops that never send AboutToShow read the items the icon got when it
# was shown.
wait_for("the script's items in the menu without AboutToShow", lambda: labels(layout()) == EXPECTED, 15)
unasked = layout()

# A ContextMenu request opens no second menu: the script is not asked.
asked = seen("PopupMenu")
calls.ContextMenu(0, 0, timeout=10)
time.sleep(1)
while context.iteration(False):
    pass
if seen("PopupMenu") != asked:
    fail("ContextMenu asked the script for a menu although the item exports one")

# AboutToShow asks the script again before the desktop reads the layout.
menu.AboutToShow(0, timeout=10)
if seen("PopupMenu") != asked + 1:
    fail("AboutToShow did not ask the script for its menu")
items = layout()
if labels(items) != EXPECTED:
    fail("menu labels %r, expected %r" % (labels(items), EXPECTED))
# The same items keep their numbers, which the desktop may hold already.
if items != unasked:
    fail("the unchanged menu was made anew: %r, before %r" % (items, unasked))
by_label = {str(p.get("label")): (i, p, c) for i, p, c in items}
one, off, checked, more = by_label["_One"][1], by_label["Off"][1], by_label["Checked"][1], by_label["_More"]
if [[str(k) for k in keys] for keys in one.get("shortcut", [])] != [["Control", "O"]]:
    fail("the accelerator is not the item's shortcut: %r" % one)
if off.get("enabled", True):
    fail("the disabled item is enabled: %r" % off)
if str(checked.get("toggle-type")) != "checkmark" or int(checked.get("toggle-state", 0)) != 1:
    fail("the checked item is not checked: %r" % checked)
if str(more[1].get("children-display")) != "submenu" or labels(more[2]) != SUBMENU:
    fail("the submenu: %r %r" % (more[1], labels(more[2])))

# A click on "Two" reaches the script as its command, and the items are
# read again after it.
menu.Event(by_label["Two"][0], "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0), timeout=10)
wait_for("Command 2 from the exported menu", lambda: seen("Command 2"), 10)
wait_for("the refresh after the command", lambda: seen("PopupMenu") >= asked + 2, 10)

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
