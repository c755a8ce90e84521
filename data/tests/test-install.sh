#!/usr/bin/env bash
# Installs the build into a DESTDIR and checks what a distribution would ship: the files in
# their conventional places, a unit systemd accepts, a policy dbus-daemon parses and enforces.
set -euo pipefail
build=$1
prefix=${2#/}
unitdir=$3 # absolute: the service manager's directory need not be under the prefix
dest=$(mktemp -d)
trap 'rm -rf "$dest"; kill ${bus_pid:-} 2>/dev/null || true' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
has_line() { grep -qx "$2" "$dest/$1" || fail "$1 is missing or has no line $2"; }

DESTDIR=$dest cmake --install "$build" >/dev/null
for file in libexec/corvane bin/corvanectl share/dbus-1/interfaces/org.tessaro.Corvane.xml \
            lib/tmpfiles.d/corvane.conf; do
    [[ -e $dest/$prefix/$file ]] || fail "$file is not installed"
done
service=$prefix/share/dbus-1/system-services/org.tessaro.Corvane.service
has_line "$service" "Exec=/$prefix/libexec/corvane"
has_line "$service" SystemdService=corvane.service
has_line "${unitdir#/}/corvane.service" "ExecStart=/$prefix/libexec/corvane"

# systemd's own verdict on the unit. Type=dbus pulls in the bus socket: give the image the
# distribution's units for it, and the tmpfiles tool the unit runs before the daemon.
mkdir -p "$dest/usr/lib/systemd/system" "$dest/usr/bin"
cp /usr/bin/systemd-tmpfiles "$dest/usr/bin/"
cp /usr/lib/systemd/system/{dbus.socket,dbus.service,sysinit.target,sockets.target,basic.target} \
    "$dest/usr/lib/systemd/system/"
out=$(systemd-analyze verify --root="$dest" "$unitdir/corvane.service" 2>&1) \
    || fail "systemd-analyze verify: $out"
[[ -z $out ]] || fail "systemd-analyze verify warns: $out"

# The installed policy on a bus that, like a distribution's system bus, lets nobody own a name
# unless a policy file says so.
cat >"$dest/bus.conf" <<CONF
<busconfig>
  <type>system</type>
  <listen>unix:path=$dest/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <allow send_destination="org.freedesktop.DBus"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
  <include>$dest/$prefix/share/dbus-1/system.d/org.tessaro.Corvane.conf</include>
</busconfig>
CONF
bus_pid=$(dbus-daemon --config-file="$dest/bus.conf" --fork --print-pid) \
    || fail "dbus-daemon rejects the policy"
chmod 755 "$dest"
own() { # setpriv-options...: the reply to RequestName for the daemon's name, or the error
    setpriv "$@" gdbus call -a "unix:path=$dest/bus" -d org.freedesktop.DBus \
        -o /org/freedesktop/DBus -m org.freedesktop.DBus.RequestName org.tessaro.Corvane 0 2>&1 || true
}
[[ $(own) == "(uint32 1,)" ]] || fail "root cannot own the daemon's name"
out=$(own --reuid=65534 --regid=65534 --clear-groups)
[[ $out == *AccessDenied* ]] || fail "an ordinary user may own the daemon's name: $out"
echo "PASS: installed files, unit and policy"
