#!/bin/bash
# Inside the device: each of its own paths takes a file named $TOKEN (which the host must not
# see), /usr is read-only and /etc closed to users, the test users resolve, both buses answer
# them, the system bus carries our policy, and polkit answers.
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

# polkit runs from boot as root, allows PackageKit what it asks for until a test narrows that,
# and only root may narrow it.
polkit() { # user method args...
    setpriv --reuid="$1" --regid="$(id -g "$1")" --init-groups gdbus call --system \
        -d org.freedesktop.PolicyKit1 -o /org/freedesktop/PolicyKit1/Authority -m "${@:2}" 2>&1
}
allowed() { # action
    polkit carol org.freedesktop.PolicyKit1.Authority.CheckAuthorization \
        "('system-bus-name', {'name': <':1.0'>})" "$1" '{}' 0 ''
}
test "$(gdbus call --system -d org.freedesktop.DBus -o / \
    -m org.freedesktop.DBus.GetConnectionUnixUser org.freedesktop.PolicyKit1)" = "(uint32 0,)"
[[ $(allowed org.freedesktop.packagekit.upgrade-system) == "((true, "* ]]
[[ $(polkit carol org.freedesktop.DBus.Mock.SetAllowed '[]') == *AccessDenied* ]]
polkit root org.freedesktop.DBus.Mock.SetAllowed \
    "['org.freedesktop.packagekit.system-sources-refresh']" >/dev/null
[[ $(allowed org.freedesktop.packagekit.upgrade-system) == "((false, "* ]]
[[ $(allowed org.freedesktop.packagekit.system-sources-refresh) == "((true, "* ]]
