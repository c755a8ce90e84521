#!/bin/bash
# The product as installed: boots a Debian root file system with systemd as PID 1 and a real
# system bus (systemd-nspawn), installs the build into it with `cmake --install`, and drives the
# daemon the way a device does: bus activation through systemd, the bus policy, a reset update
# over HTTPS with a stop in the middle, the idle exit, and an installation onto loop-device
# partitions, all under the shipped unit's hardening.
#   test-system.sh BUILD_DIR INSTALL_PREFIX
# Needs root. The root file system is cached (system-rootfs); each run boots an overlay of it
# inside a private mount namespace, so the cache is never written and no mount outlives the run.
set -euo pipefail

here=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$(readlink -f "$1")
prefix=$2
cache=${CORVANE_SYSTEM_CACHE:-/var/cache/corvane-system-lane}
# shellcheck source=SCRIPTDIR/../lib/device.sh
. "$repo/tools/lib/device.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }
[[ $(id -u) == 0 ]] || fail "must run as root (containers, mounts, loop devices)"
for tool in systemd-nspawn debootstrap nsenter losetup debugfs; do
    command -v "$tool" >/dev/null || fail "$tool is missing (tools/install-deps.sh installs it)"
done

# Mounts made from here on die with this namespace, also when the lane is killed.
if [[ -z ${CORVANE_SYSTEM_LANE_NS:-} ]]; then
    CORVANE_SYSTEM_LANE_NS=1 exec unshare --mount --propagation private -- "$0" "$@"
fi

started=$SECONDS
step() { printf '== [%3ds] %s\n' $((SECONDS - started)) "$*"; }

# Loop devices and the release server are the host's: those of a lane that was killed before its
# cleanup ran are ended here.
detach_loops_under() { # dir
    local dev file
    loops_backed_under "$1" | while read -r dev file; do detach_loop "$dev"; done
}
mkdir -p "$cache"
for old in "$cache"/run.*; do
    [[ -d $old ]] || continue
    owner=$(cat "$old/owner" 2>/dev/null || true)
    [[ -n $owner ]] && kill -0 "$owner" 2>/dev/null && continue
    "$repo/tools/release-server/release-server" stop --state "$old/server" 2>/dev/null || true
    detach_loops_under "$old"
    rm -rf --one-file-system "$old"
done

step "Root file system"
rootfs=$("$here/system-rootfs" "$cache")
run=$(mktemp -d "$cache/run.XXXXXX")
echo $$ >"$run/owner"
root=$run/root
nspawn_pid=
leader=

cleanup() {
    local rc=$?
    trap - EXIT INT TERM HUP
    # Everything below is tried whatever fails before it.
    set +e
    if [[ -n $leader ]] && kill -0 "$leader" 2>/dev/null; then
        [[ $rc == 0 ]] || { echo "--- the container's journal (last 60 lines)"; \
            nsenter -t "$leader" -a journalctl -b --no-pager -n 60 2>&1 || true; }
        timeout 30 nsenter -t "$leader" -a systemctl poweroff 2>/dev/null || true
    fi
    if [[ -n $nspawn_pid ]]; then
        poll_until 30 0.1 process_ended "$nspawn_pid"
        # The container's PID 1 takes everything inside with it.
        [[ -n $leader ]] && kill -KILL "$leader" 2>/dev/null
        wait "$nspawn_pid" 2>/dev/null || true
    fi
    "$repo/tools/release-server/release-server" stop --state "$run/server" 2>/dev/null || true
    umount -R "$root" 2>/dev/null || umount -l "$root" 2>/dev/null || true
    detach_loops_under "$run"
    rm -rf --one-file-system "$run"
    if [[ $rc == 0 ]]; then
        step "PASS"
    else
        echo "FAIL (exit $rc) after $((SECONDS - started)) s" >&2
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

mkdir -p "$run"/{upper,work,root,srv/metav2,ca}
mount -t overlay corvane-system -o "lowerdir=$rootfs,upperdir=$run/upper,workdir=$run/work" "$root"

step "Installing the build with cmake --install, DESTDIR=$root"
DESTDIR=$root cmake --install "$build" >"$run/install.log"
[[ -x $root$prefix/libexec/corvane ]] || fail "no daemon installed at $prefix/libexec/corvane"
ctl=$prefix/bin/corvanectl
# Debian's system bus reads policies from /usr/share and /etc only; a build for /usr/local
# (CMake's default) is made known to it as a local administrator would.
if [[ $prefix != /usr ]]; then
    cat >"$root/etc/dbus-1/system.d/corvane-local-prefix.conf" <<EOF
<busconfig><includedir>$prefix/share/dbus-1/system.d</includedir></busconfig>
EOF
fi

step "The device: identities, test CA, SSU configuration, partitions"
cat >>"$root/etc/group" <<'EOF'
privileged:x:3001:
zovoveva-system:x:3002:alice
EOF
cat >>"$root/etc/passwd" <<'EOF'
alice:x:2001:3001:privileged, zovoveva-system:/nonexistent:/usr/sbin/nologin
bob:x:2002:3001:privileged only:/nonexistent:/usr/sbin/nologin
carol:x:2003:100:not privileged:/nonexistent:/usr/sbin/nologin
EOF
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -keyout "$run/ca/ca.key" -out "$run/ca/ca.crt" -subj "/CN=Corvane system lane test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    2>"$run/ca/openssl.log"
# Qt reads the hashed directory; chroot so the links resolve inside the device.
cp "$run/ca/ca.crt" "$root/etc/ssl/certs/corvane-test-ca.pem"
chroot "$root" openssl rehash /etc/ssl/certs 2>/dev/null
# The device-lock component owns its directory; the daemon only drops markers into it.
mkdir -p "$root/usr/share/lipstick/devicelock" "$root/etc/ssu"

# The reset update writes an ext4 "super" partition (smaller file system than partition, so
# the install must grow it) and raw vendor data onto "cache".
truncate -s 64M "$run/super.img"
mkfs.ext4 -q "$run/super.img" 48M
truncate -s 16M "$run/cache.img"
super=$(losetup --find --show "$run/super.img")
cache_part=$(losetup --find --show "$run/cache.img")

"$repo/tools/demo/make-image" "$run/srv/images/4.6.0/x1/base/image.tar.gz"
image=$run/srv/images/4.6.0/x1/base/image.tar.gz
head -c 2097152 /dev/urandom >"$run/srv/vendor-data.tar.gz"
cat >"$run/srv/metav2/index.json" <<'EOF'
{"devices": [{"device": "x1", "latestRelease": "4.6.0",
  "releases": [{"version": "4.6.0", "updateMethods": [{"method": "Reset"}]}]}]}
EOF
# Slow enough that a stop lands in the middle of the image download (~7 MB).
domain=$("$repo/tools/release-server/release-server" start --root "$run/srv" \
             --state "$run/server" --ca "$run/ca/ca.crt" --ca-key "$run/ca/ca.key" --limit-rate 1m)
cat >"$root/etc/ssu/ssu.ini" <<EOF
[General]
release = 4.5.0
model = x1
features = base
domain = lane
credentialsScope = lane
[credentials-lane]
username = device-x1
password = s3cret
[domain-lane]
releaseDomain = $domain
EOF

step "Booting systemd in the container"
systemd-nspawn -q -D "$root" --boot --register=no --keep-unit --machine="corvane-lane-$$" \
    --bind="$super" --bind="$cache_part" </dev/null >"$run/console.log" 2>&1 &
nspawn_pid=$!
container_booting() {
    leader=$(pgrep -P "$nspawn_pid" -x systemd || true)
    [[ -n $leader ]] && return 0
    process_lives "$nspawn_pid" || fail "systemd-nspawn ended: $(tail -20 "$run/console.log")"
    return 1
}
poll_until 20 0.1 container_booting \
    || fail "no systemd in the container: $(tail -20 "$run/console.log")"

inside() { nsenter -t "$leader" -a env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
           LC_ALL=C.UTF-8 "$@"; }
as() { local user=$1 group=$2; shift 2; inside setpriv --reuid="$user" --regid="$group" --init-groups "$@"; }
unit() { inside systemctl show -P "$1" corvane.service; }

# Until its bus is up systemctl answers nothing, or "offline" while it cannot reach the manager
# yet (seen under load); then it reports starting until the boot ends.
state=
booted() {
    state=$(inside systemctl is-system-running 2>/dev/null || true)
    [[ -n $state && $state != offline && $state != initializing && $state != starting ]]
}
poll_until 60 0.1 booted || true
[[ $state == running ]] || fail "the container's system is $state: $(inside systemctl --failed --no-legend)"
inside mkdir -p /dev/disk/by-partlabel
inside ln -s "$super" /dev/disk/by-partlabel/super
inside ln -s "$cache_part" /dev/disk/by-partlabel/cache

step "The first call activates the daemon through the bus and systemd"
[[ $(unit ActiveState) == inactive ]] || fail "corvane.service runs before anyone called it"
inside "$ctl" status >"$run/status.txt" || fail "corvanectl status: $(cat "$run/status.txt")"
[[ $(unit ActiveState) == active ]] || fail "corvane.service is $(unit ActiveState) after the first call"
inside journalctl -b -u corvane.service --no-pager | grep 'Started corvane.service' >/dev/null \
    || fail "the journal does not show the start: $(inside journalctl -b -u corvane.service --no-pager)"

step "The unit's hardening is in force for the running daemon"
pid=$(unit MainPID)
caps=$(inside sed -n 's/^CapBnd:\t//p' "/proc/$pid/status")
# CAP_SYS_ADMIN only (bit 21): mount, and the ioctls of the file-system tools.
[[ $caps == 0000000000200000 ]] || fail "bounding set $caps"
[[ $(inside sed -n 's/^Seccomp:\t//p' "/proc/$pid/status") == 2 ]] || fail "no system-call filter"
inside nsenter -t "$pid" -m -- sh -c 'touch /usr/lib/.corvane-probe' 2>/dev/null \
    && fail "the daemon can write /usr"
inside nsenter -t "$pid" -m -- sh -c 'touch /var/lib/.corvane-probe' 2>/dev/null \
    && fail "the daemon can write /var/lib"
inside nsenter -t "$pid" -m -- ls -A /home | grep -vx .system-updates >/dev/null \
    && fail "the daemon sees home directories"
# The writes of the package install (not driven here: it needs PackageKit, polkit and the home
# screen on the device), tried in the daemon's file-system view with its one capability: the
# trigger link in /, the update information, SSU's release switch. The reset flow below proves
# the others by the daemon's own writes.
for target in /.corvane-probe /var/lib/zovoveva-update/.corvane-probe /etc/ssu/.corvane-probe; do
    inside nsenter -t "$pid" -m -- setpriv --bounding-set=-all,+sys_admin -- \
        sh -c "ln -s /var/lib/zovoveva-update/update_info.ini $target && rm $target" \
        || fail "the daemon's view does not let it create $target"
done

step "The installed bus policy and the caller check on the real system bus"
call() { # user group destination path method [args]
    as "$1" "$2" gdbus call --system -d "$3" -o "$4" -m "$5" "${@:6}" 2>&1
}
# user group expected-error: "-" means the calls go through.
matrix=(
    "root root -"
    "alice privileged -"
    "bob privileged UID 2002 is not in zovoveva-system group"
    "carol users is not in privileged group"
)
for row in "${matrix[@]}"; do
    read -r user group expected <<<"$row"
    for method in CancelDownload SetMethod; do
        args=()
        [[ $method == SetMethod ]] && args=("(0,)")
        out=$(call "$user" "$group" org.tessaro.Corvane /org/tessaro/Corvane \
                  "org.tessaro.Corvane.$method" "${args[@]}") && rc=0 || rc=$?
        if [[ $expected == - ]]; then
            [[ $rc == 0 ]] || fail "$user: $method refused: $out"
        else
            [[ $rc != 0 && $out == *AccessDenied*"$expected"* ]] \
                || fail "$user: $method gave '$out', not '$expected'"
        fi
    done
    # Everyone may read the state; only root may own the daemon's name.
    call "$user" "$group" org.tessaro.Corvane /org/tessaro/Corvane \
        org.freedesktop.DBus.Properties.Get org.tessaro.Corvane status >/dev/null \
        || fail "$user cannot read the status"
    if [[ $user != root ]]; then
        out=$(call "$user" "$group" org.freedesktop.DBus /org/freedesktop/DBus \
                  org.freedesktop.DBus.RequestName org.tessaro.Corvane 0) \
            && fail "$user may own org.tessaro.Corvane: $out"
        [[ $out == *AccessDenied* ]] || fail "$user: unexpected answer to RequestName: $out"
    fi
done

step "Check over HTTPS, then the image download, stopped in the middle"
inside "$ctl" check >"$run/check.txt" 2>&1 || fail "corvanectl check: $(cat "$run/check.txt")"
grep -q 4.6.0 "$run/check.txt" || fail "the check found no 4.6.0: $(cat "$run/check.txt")"
inside "$ctl" set-method reset >/dev/null || fail "set-method reset"
partial=$root/home/.system-updates/images/base-4.6.0.tar.gz
inside "$ctl" download >"$run/download1.txt" 2>&1 &
client=$!
partial_has() { [[ $(stat -c %s "$partial" 2>/dev/null || echo 0) -ge $1 ]]; }
poll_until 10 0.05 partial_has 2000000 || true
inside systemctl stop corvane.service
wait "$client" && fail "the download finished before the stop; the server is too fast"
stopped_at=$(stat -c %s "$partial" 2>/dev/null || echo 0)
size=$(stat -c %s "$image")
[[ $stopped_at -gt 0 && $stopped_at -lt $size ]] \
    || fail "the partial image has $stopped_at of $size bytes at the stop"
[[ $(unit ActiveState) == inactive && $(unit Result) == success ]] \
    || fail "after the stop: $(unit ActiveState) $(unit Result)"

step "A new call activates it again and the download resumes at byte $stopped_at"
# The restarted daemon restores its cache and prepares the method again before it takes a
# download, as a client sees from the status.
daemon_idle() { inside "$ctl" status --json 2>/dev/null | grep -q '"statusName": *"Idle"'; }
wait_idle() { poll_until 30 0.1 daemon_idle || fail "the daemon does not come back to Idle"; }
wait_idle
inside "$ctl" download >"$run/download2.txt" 2>&1 || fail "resumed download: $(cat "$run/download2.txt")"
cmp "$image" "$partial" || fail "the resumed image differs from the server's"
grep -q "\"range\":\"bytes=$stopped_at-" "$run/server/access.log" \
    || grep -q "\"range\":\"bytes=[1-9][0-9]*-" "$run/server/access.log" \
    || fail "no ranged request after the restart: $(cat "$run/server/access.log")"
last_operation=$SECONDS

step "Idle exit: waiting for the unit to go inactive by itself"
unit_left() { [[ $(unit ActiveState) != active ]]; }
poll_until $((last_operation + 120 - SECONDS)) 1 unit_left \
    || fail "still active $((SECONDS - last_operation)) s after the download"
idle=$((SECONDS - last_operation))
[[ $idle -ge 55 ]] || fail "the daemon left after $idle s, before its idle minute"
[[ $(unit ActiveState) == inactive && $(unit Result) == success ]] \
    || fail "after the idle exit: $(unit ActiveState) $(unit Result) (exit $(unit ExecMainStatus))"
inside "$ctl" status --json >"$run/status2.json" || fail "no answer after the idle exit"
[[ $(unit ActiveState) == active ]] || fail "the call after the idle exit did not start the daemon"
wait_idle
inside "$ctl" status --json >"$run/status2.json"
if ! grep -q '"methodName": *"ResetUpdate"' "$run/status2.json" \
   || ! grep -q '"isDownloaded": *true' "$run/status2.json"; then
    fail "the cache was not restored: $(cat "$run/status2.json")"
fi

step "Reset install onto the partitions, through /fimage, with the device-clear markers"
inside "$ctl" download-vendor-data "https://$domain/vendor-data.tar.gz" >"$run/vendor.txt" 2>&1 \
    || fail "vendor data: $(cat "$run/vendor.txt")"
inside "$ctl" install >"$run/install.txt" 2>&1 || fail "install: $(cat "$run/install.txt")"
# Read back with debugfs: no mount on the host.
dump() { debugfs -R "dump $1 $2" "$run/super.img" >/dev/null 2>&1 && [[ -e $2 ]]; }
dump /base-4.6.0/system-images/system.img "$run/system.img" || fail "no system.img on super"
tar -xzOf "$image" system.img | cmp - "$run/system.img" || fail "system.img differs"
dump /base-4.6.0/root.img.001 "$run/root.img.001" || fail "no root.img.001 on super"
tar -xzOf "$image" root.img.001 | cmp - "$run/root.img.001" || fail "root.img.001 differs"
fs_bytes=$(dumpe2fs -h "$run/super.img" 2>/dev/null \
               | awk -F': *' '/^Block count/ {n = $2} /^Block size/ {s = $2} END {print n * s}')
[[ $fs_bytes == $(( 64 << 20 )) ]] || fail "super was not grown to its partition: $fs_bytes bytes"
cmp -n "$(stat -c %s "$run/srv/vendor-data.tar.gz")" "$run/srv/vendor-data.tar.gz" "$run/cache.img" \
    || fail "vendor data is not on the cache partition"
for marker in .clear-device .clear-device-enable-reboot; do
    [[ -e $root/usr/share/lipstick/devicelock/$marker ]] || fail "no $marker marker"
done
[[ ! -e $root/home/.system-updates/os-info.json ]] || fail "the cache file outlived the install"
inside findmnt /fimage >/dev/null && fail "/fimage is still mounted"

step "Power off"
