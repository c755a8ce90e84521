#!/bin/bash
# Inside the device: both buses answer every identity; the bus policy lets root, and only root,
# own the daemon's and the platform's names; everyone may call them; activation keeps the
# device's environment.
set -e
here=$(dirname "$0")
as_root="--reuid=0 --regid=0 --clear-groups"
as_alice="--reuid=2001 --regid=996 --init-groups"
as_carol="--reuid=2003 --regid=100 --init-groups"

try_own() { # identity bus name: prints the owner's first word and leaves it running
    mkfifo "/tmp/$3"
    setpriv $1 /usr/bin/python3 "$here/owner.py" "$2" "$3" >"/tmp/$3" 2>&1 &
    read -r -t 10 answer <"/tmp/$3" || answer=silent
    rm "/tmp/$3"
    echo "$answer"
}
call() { # identity bus destination
    setpriv $1 gdbus call --"$2" -d "$3" -o /test -m org.example.Test.Ping | grep -q pong
}

for bus in system session; do
    setpriv $as_carol gdbus call --$bus -d org.freedesktop.DBus -o /org/freedesktop/DBus \
        -m org.freedesktop.DBus.ListNames | grep -q org.freedesktop.DBus
done
test "$(try_own "$as_alice" system org.tessaro.Corvane)" = refused
test "$(try_own "$as_alice" system org.freedesktop.PackageKit)" = refused
test "$(try_own "$as_alice" system org.example.Other)" = refused
test "$(try_own "$as_root" system org.tessaro.Corvane)" = owned
test "$(try_own "$as_root" system org.freedesktop.PackageKit)" = owned
test "$(try_own "$as_root" system org.vidivozeda.osupdate)" = owned
test "$(try_own "$as_alice" session org.example.Session)" = owned
for who in "$as_alice" "$as_carol"; do
    call "$who" system org.tessaro.Corvane
    call "$who" system org.freedesktop.PackageKit
    call "$who" system org.vidivozeda.osupdate
    call "$who" session org.example.Session
done
call "$as_root" system org.example.Activated
grep -qx DBUS_SESSION_BUS_ADDRESS=unix:path=/run/dbus/session_bus_socket /run/sandbox/activated-env
