# Owns a name on a bus and answers org.example.Test.Ping on /test until it is killed.
# Prints "owned" once it owns the name, or "refused" when the bus policy forbids it.
#   owner.py system|session NAME
import sys

from gi.repository import Gio, GLib

bus = Gio.bus_get_sync(Gio.BusType.SYSTEM if sys.argv[1] == "system" else Gio.BusType.SESSION)
node = Gio.DBusNodeInfo.new_for_xml(
    "<node><interface name='org.example.Test'><method name='Ping'>"
    "<arg type='s' direction='out'/></method></interface></node>")
bus.register_object("/test", node.interfaces[0],
                    lambda *args: args[-1].return_value(GLib.Variant("(s)", ("pong",))))
try:
    bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                  "RequestName", GLib.Variant("(su)", (sys.argv[2], 4)), None, 0, -1)
except GLib.Error as error:
    print("refused" if "AccessDenied" in error.message else error.message, flush=True)
    sys.exit(1)
print("owned", flush=True)
GLib.MainLoop().run()
