#!/bin/bash
# Inside the device: each of its own paths takes a file named $TOKEN (which the host must not
# see), /usr is read-only and /etc closed to users, the test users resolve, both buses answer
# them, and the system bus carries our policy.
set -e
trap 'echo "  failed: $BASH_COMMAND" >&2' ERR
mkdir -p /home/.system-updates
for dir in $DEVICE_PATHS; do
    echo "$TOKEN" >"$dir/$TOKEN"
done
ln -s "/var/lib/zovoveva-update/$TOKEN" /system-update
test ! -w /usr/share/lipstick
setpriv --reuid=alice --regid=privileged --init-groups test ! -w /etc
test "$(id -nG alice)" = "privileged zovoveva-system"
test "$(id -nG carol)" = users

# Our policy lets any user call the daemon's name and nobody but root own it.
/usr/bin/python3 -c 'from gi.repository import Gio, GLib
Gio.bus_own_name(Gio.BusType.SYSTEM, "org.tessaro.Corvane", 0, None, None, None)
GLib.MainLoop().run()' &
gdbus wait --system --timeout 10 org.tessaro.Corvane
test "$(setpriv --reuid=2003 --regid=100 --init-groups gdbus call --system -d org.tessaro.Corvane \
    -o / -m org.freedesktop.DBus.Peer.Ping)" = "()"
[[ $(setpriv --reuid=2001 --regid=996 --init-groups gdbus call --system -d org.freedesktop.DBus \
    -o / -m org.freedesktop.DBus.RequestName org.tessaro.Corvane 0 2>&1) == *AccessDenied* ]]
test "$(setpriv --reuid=2003 --regid=100 --init-groups gdbus call --session -d org.freedesktop.DBus \
    -o / -m org.freedesktop.DBus.RequestName org.example.Session 0)" = "(uint32 1,)"
