#!/bin/bash
# Checks that the device sandbox gives a test the device it promises and leaves the host as it
# found it: no file, process, mount or loop device survives a run, however the run ends. That
# the device trusts its test CA is proven by the release server's test, which runs inside.
here=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")" && pwd)
# shellcheck source=SCRIPTDIR/check.sh
. "$here/check.sh"
# shellcheck source=SCRIPTDIR/../../lib/device.sh
. "$here/../../lib/device.sh"
sandbox=$here/../device-sandbox
inside=$here/device
work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-sandbox-test.XXXXXXXX")
trap 'rm -rf "$work"' EXIT
export TOKEN=corvane-test-$$-$RANDOM
export DEVICE_PATHS="/etc/ssu /etc/zovoveva /fimage /usr/share/lipstick/devicelock
    /var/lib/zovoveva-update /home/.system-updates /dev/disk/by-partlabel"

# Every process of a device lives in its pid namespace, whose init (bwrap's child) outlives them
# all and may stay a zombie, which holds nothing, for a moment. Namespace ids are reused by later
# devices, so the init's pid and its namespace are checked together.
device_runs() { # state
    local info=$1/bwrap-info.json pid1 ns
    pid1=$(bwrap_info "$info" child-pid)
    ns=$(bwrap_info "$info" pid-namespace)
    [[ -n $pid1 && $(readlink "/proc/$pid1/ns/pid") == "pid:[$ns]" ]] && process_lives "$pid1"
}
loops_left() { losetup -l -n -O BACK-FILE | grep -q "$TOKEN"; }
host_is_clean() { # state
    ! device_runs "$1" && ! grep -q "$1" /proc/self/mountinfo && ! loops_left
}
messy() { compgen -G "$1/messy" >/dev/null; }
await_mess() { poll_until 30 0.1 messy "$1"; } # state, may be a pattern

state=$work/view
"$sandbox" --state "$state" --keep-state -- bash "$inside/device.sh"
check "the device's paths, users and buses are as promised" test $? = 0
leaked=()
for path in $DEVICE_PATHS; do [[ -e $path/$TOKEN ]] && leaked+=("$path"); done
[[ $(readlink /system-update) == *$TOKEN ]] && leaked+=(/system-update)
check "nothing the device wrote appears on the host ${leaked[*]:-}" test ${#leaked[@]} = 0
check "a device run leaves no process, mount or loop device" host_is_clean "$state"
mkdir "$work/stranger" && touch "$work/stranger/file"
"$sandbox" --state "$work/stranger" -- true 2>/dev/null
check "a directory that holds no device state is refused and left alone" \
    test $? = 125 -a -e "$work/stranger/file"

# However a run ends, nothing is left.
run_case() { # expected-exit-code how-it-ends
    local state=$work/state-$2 pid rc
    env --default-signal=INT "$sandbox" --state "$state" --keep-state -- \
        bash "$inside/leave-mess.sh" "$2" &
    pid=$!
    if [[ $2 == TERM || $2 == INT ]]; then
        await_mess "$state" && kill -"$2" "$pid"
    fi
    wait "$pid"
    rc=$?
    check "$2: exit code $rc is $1" test "$rc" = "$1"
    check "$2: nothing is left on the host" host_is_clean "$state"
}
for run in 7:exit 137:crash 143:TERM 130:INT 137:kill-init; do
    run_case "${run%%:*}" "${run#*:}"
done

# Killed outright, a run cleans nothing; the next run in the same temporary directory does.
# Before that, the host reaches the running device's buses through its state.
mkdir "$work/tmp"
TMPDIR=$work/tmp "$sandbox" -- bash "$inside/leave-mess.sh" wait &
pid=$!
await_mess "$work/tmp/corvane-device.*"
stale=$(echo "$work"/tmp/corvane-device.*)
check "a running device is seen as running" device_runs "$stale"
for bus in system session; do
    check "the host reaches the $bus bus" test -n "$(gdbus call -d org.freedesktop.DBus \
        -a "unix:path=$stale/run/${bus}_bus_socket" -o / -m org.freedesktop.DBus.GetId)"
done
kill -KILL "$pid"
wait "$pid" 2>/dev/null
TMPDIR=$work/tmp "$sandbox" -- true
loops_left
check "a run killed with SIGKILL leaves its loop devices and state to the next run, which removes them" \
    test "$?,$(ls -A "$work/tmp")" = 1,
((failed == 0))
