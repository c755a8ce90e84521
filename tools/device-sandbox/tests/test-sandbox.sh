#!/bin/bash
# Checks that the device sandbox gives a test the device it promises and leaves the host as it
# found it: no file, process, mount or loop device survives a run, however the run ends.
# The parts that run inside the device are in device/.
set -uo pipefail

here=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")" && pwd)
sandbox=$here/../device-sandbox
sandbox_exec=$here/../device-sandbox-exec
inside=$here/device

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-sandbox-test.XXXXXXXX")
trap 'rm -rf "$work"' EXIT
export TOKEN=corvane-test-$$-$RANDOM

passed=0
failed=0
check() {
    local name=$1
    shift
    if "$@"; then
        echo "ok - $name"
        passed=$((passed + 1))
    else
        echo "not ok - $name"
        failed=$((failed + 1))
    fi
}

# Everything a run could leave on the host is found through the namespace ids bwrap reports.
# bwrap's own first process may stay a zombie for a moment until the host's init reaps it:
# a zombie holds nothing, so it does not count.
namespace_alive() {
    local ns=$1 kind=$2 proc stat
    while read -r proc; do
        read -r stat <"${proc%/ns}/stat" 2>/dev/null || continue
        [[ ${stat##*) } == Z* ]] || return 0
    done < <(find /proc/[0-9]*/ns -maxdepth 1 -name "$kind" -lname "$kind:\\[$ns\\]" -printf '%h\n' 2>/dev/null)
    return 1
}
host_is_clean() {
    local state=$1 pidns mntns
    pidns=$(sed -n 's/.*"pid-namespace": *\([0-9]*\).*/\1/p' "$state/bwrap-info.json")
    mntns=$(sed -n 's/.*"mnt-namespace": *\([0-9]*\).*/\1/p' "$state/bwrap-info.json")
    [[ -n $pidns && -n $mntns ]] || { echo "  no namespace ids in $state" >&2; return 1; }
    if namespace_alive "$pidns" pid; then echo "  a device process still runs" >&2; return 1; fi
    if namespace_alive "$mntns" mnt; then echo "  the device's mounts still exist" >&2; return 1; fi
    if grep -q "$state" /proc/self/mountinfo; then echo "  a mount of the state is left" >&2; return 1; fi
    if losetup -l -n -O BACK-FILE | grep -q "$TOKEN"; then
        echo "  a loop device is still attached" >&2
        return 1
    fi
}

# --- The device's file system view ------------------------------------------------------------

device_only=(/etc/ssu /etc/zovoveva /fimage /system-update /usr/share/lipstick
             /home/.system-updates /var/lib/zovoveva-update /dev/disk/by-partlabel)
declare -A existed
for path in "${device_only[@]}"; do
    [[ -e $path || -L $path ]] && existed[$path]=1
done

state=$work/view
"$sandbox" --state "$state" --keep-state -- bash "$inside/view.sh"
check "the device's own paths are writable, /usr and /etc are not, identities resolve" test $? = 0
check "what the device wrote can be read in its state" \
    grep -qx "$TOKEN" "$state/etc/ssu/$TOKEN" "$state/fimage/$TOKEN" \
        "$state/home/.system-updates/os-info.json" "$state/var/lib/zovoveva-update/update_info.ini"
check "the battery a test sets up is what the device reads" \
    grep -qx 55 "$state/power_supply/BAT0/capacity"
leaked=()
for path in "${device_only[@]}"; do
    [[ -z ${existed[$path]:-} && ( -e $path || -L $path ) ]] && leaked+=("$path")
done
for path in /etc/ssu /etc/zovoveva /fimage /home/.system-updates; do
    [[ -e $path/$TOKEN ]] && leaked+=("$path/$TOKEN")
done
check "nothing of the device appears on the host ${leaked[*]:-}" test ${#leaked[@]} = 0
check "a device run leaves no process, mount or loop device" host_is_clean "$state"

# A kept state boots again like a device that restarted: same data, same CA.
cp "$state/ca/ca.crt" "$work/ca-before.crt"
"$sandbox" --state "$state" --bind "$work" -- sh -c \
    "grep -qx $TOKEN /home/.system-updates/os-info.json && cmp -s $work/ca-before.crt \$CORVANE_TEST_CA"
check "a kept state is reused by the next run, CA included" test $? = 0
check "a run without --keep-state removes its state" test ! -e "$state"
mkdir -p "$work/stranger" && touch "$work/stranger/file"
"$sandbox" --state "$work/stranger" -- true 2>/dev/null
check "a directory that holds no device state is refused and left alone" \
    test $? = 125 -a -e "$work/stranger/file"

# --- Buses and TLS -----------------------------------------------------------------------------

mkdir -p "$work/system-services"
cat >"$work/system-services/org.example.Activated.service" <<EOF
[D-BUS Service]
Name=org.example.Activated
Exec=/bin/sh -c 'env >/run/sandbox/activated-env; exec /usr/bin/python3 $inside/owner.py system org.example.Activated'
EOF
"$sandbox" --system-services "$work/system-services" -- bash "$inside/buses.sh"
check "both buses answer; only root owns the daemon's and platform names, anyone calls them; activation keeps the environment" \
    test $? = 0

"$sandbox" -- bash "$inside/tls.sh"
check "the device trusts its test CA and nothing self-signed" test $? = 0

# --- However a run ends, nothing is left --------------------------------------------------------

await_mess() {
    for _ in $(seq 300); do
        [[ -e $1/messy ]] && return 0
        sleep 0.1
    done
    echo "  the device did not get ready" >&2
    return 1
}
run_case() { # name expected-exit-code how-it-ends
    local name=$1 expected=$2 how=$3 state=$work/state-$3 pid rc pid1
    env --default-signal=INT "$sandbox" --state "$state" --keep-state -- \
        bash "$inside/leave-mess.sh" "$how" &
    pid=$!
    case $how in
        term) await_mess "$state" && kill -TERM "$pid" ;;
        int) await_mess "$state" && kill -INT "$pid" ;;
        kill-init)
            await_mess "$state"
            pid1=$(sed -n 's/.*"child-pid": *\([0-9]*\).*/\1/p' "$state/bwrap-info.json")
            kill -KILL "$(pgrep -P "$pid1")" ;;
    esac
    wait "$pid"
    rc=$?
    check "$name: exit code $rc is $expected" test "$rc" = "$expected"
    check "$name: nothing is left on the host" host_is_clean "$state"
    rm -rf "$state"
}
run_case "command exits" 7 exit
run_case "command is killed" 137 crash
run_case "sandbox gets SIGTERM" 143 term
run_case "sandbox gets SIGINT" 130 int
run_case "the device's init is killed" 137 kill-init

# Killed outright, a run cleans nothing; the next run in the same temporary directory does.
mkdir "$work/tmp"
TMPDIR=$work/tmp "$sandbox" -- bash "$inside/leave-mess.sh" wait &
pid=$!
for _ in $(seq 300); do
    stale=$(echo "$work"/tmp/corvane-device.*)
    [[ -e $stale/messy ]] && break
    sleep 0.1
done
kill -KILL "$pid"
wait "$pid" 2>/dev/null
losetup -l -n -O BACK-FILE | grep -q "$TOKEN"
attached=$?
TMPDIR=$work/tmp "$sandbox" -- true
check "a run killed with SIGKILL leaves its loop devices and state to the next run, which removes them" \
    test $attached = 0 -a ! -e "$stale" -a -z "$(losetup -l -n -O BACK-FILE | grep "$TOKEN")"

# --- The host side of a running device ----------------------------------------------------------

state=$work/running
"$sandbox" --state "$state" -- sh -c 'touch /run/sandbox/messy; exec sleep 1000' &
pid=$!
await_mess "$state"
gdbus call --address "unix:path=$state/run/system_bus_socket" -d org.freedesktop.DBus \
    -o /org/freedesktop/DBus -m org.freedesktop.DBus.GetId >/dev/null
check "the host reaches the system bus through the state" test $? = 0
check "device-sandbox-exec runs a command as another identity inside, in the device's environment" \
    test "$("$sandbox_exec" "$state" -- setpriv --reuid=2002 --regid=996 --init-groups \
        sh -c 'echo $(id -un) $CORVANE_SANDBOX_STATE $(hostname)')" = "bob /run/sandbox corvane-device"
"$sandbox_exec" "$state" -- sh -c 'exit 3'
check "device-sandbox-exec passes the exit code" test $? = 3
kill -TERM "$pid"
wait "$pid"
check "a device stopped while running removes its state" test ! -e "$state"

echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
