#!/usr/bin/env bash
# Installs the build into a DESTDIR and checks what a distribution would ship: the files in
# their conventional places, a unit systemd accepts, a policy dbus-daemon parses and enforces.
set -euo pipefail
build=$1
prefix=${2#/}
dest=$(mktemp -d)
bus_pid=
cleanup() {
    [[ -n $bus_pid ]] && kill "$bus_pid" 2>/dev/null || true
    rm -rf "$dest"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$dest cmake --install "$build" >/dev/null

for file in \
    "$prefix/libexec/corvane" \
    "$prefix/bin/corvanectl" \
    "$prefix/lib/systemd/system/corvane.service" \
    "$prefix/share/dbus-1/system-services/org.tessaro.Corvane.service" \
    "$prefix/share/dbus-1/system.d/org.tessaro.Corvane.conf" \
    "$prefix/share/dbus-1/interfaces/org.tessaro.Corvane.xml"; do
    [[ -e $dest/$file ]] || fail "$file is not installed"
done
grep -qx "Exec=/$prefix/libexec/corvane" "$dest/$prefix/share/dbus-1/system-services/org.tessaro.Corvane.service" \
    || fail "the activation file does not start the installed daemon"
grep -qx "SystemdService=corvane.service" "$dest/$prefix/share/dbus-1/system-services/org.tessaro.Corvane.service" \
    || fail "the activation file does not name the unit"
grep -qx "ExecStart=/$prefix/libexec/corvane" "$dest/$prefix/lib/systemd/system/corvane.service" \
    || fail "the unit does not start the installed daemon"

# systemd's own verdict on the unit (it needs the binary where the unit says it is).
if command -v systemd-analyze >/dev/null; then
    # Type=dbus pulls in the bus socket: give the image the distribution's units for it.
    mkdir -p "$dest/usr/lib/systemd/system"
    for unit in dbus.socket dbus.service sysinit.target sockets.target basic.target; do
        for dir in /usr/lib/systemd/system /lib/systemd/system; do
            [[ -e $dir/$unit && ! -e $dest/usr/lib/systemd/system/$unit ]] \
                && cp "$dir/$unit" "$dest/usr/lib/systemd/system/"
        done
    done
    out=$(systemd-analyze verify --root="$dest" "/$prefix/lib/systemd/system/corvane.service" 2>&1) \
        || fail "systemd-analyze verify: $out"
    [[ -z $out ]] || fail "systemd-analyze verify warns: $out"
fi

# The policy as a system bus enforces it: root owns the name, nobody else may.
cat >"$dest/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dest/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <include>$dest/$prefix/share/dbus-1/system.d/org.tessaro.Corvane.conf</include>
</busconfig>
CONF
bus_pid=$(dbus-daemon --config-file="$dest/bus.conf" --fork --print-pid) \
    || fail "dbus-daemon rejects the policy"
address=unix:path=$dest/bus
own() {
    # Requests the name; prints the RequestName reply or the error.
    "$@" gdbus call --address "$address" --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.RequestName "$name" 0 2>&1 || true
}
name=org.tessaro.Corvane
[[ $(own) == "(uint32 1,)" ]] || fail "root cannot own $name"
name=org.vidivozeda.osupdate
[[ $(own) == "(uint32 1,)" ]] || fail "root cannot take the older service's name for the start-up probe"
name=org.tessaro.Corvane
chmod 755 "$dest"
out=$(own setpriv --reuid=65534 --regid=65534 --clear-groups)
[[ $out == *AccessDenied* ]] || fail "an ordinary user may own $name: $out"
echo "PASS: installed files, unit and policy"
