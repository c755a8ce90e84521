# shellcheck shell=bash
# Helpers of the simulated device and the tools around it (the sandbox, the release server, the
# system lane, the fault run). Sourced; sets no shell options, and every function works with and
# without `set -euo pipefail` in the script that sources it.

# poll_until SECONDS INTERVAL COMMAND [ARG]...
# Runs COMMAND in this shell every INTERVAL seconds until it succeeds; fails once SECONDS have
# passed without success. A deadline rather than a count of tries: a loaded machine (the
# benchmarks share it) makes every try slower, not the wait longer.
poll_until() {
    local poll_deadline poll_interval=$2
    poll_deadline=$((${EPOCHREALTIME//[!0-9]/} + $1 * 1000000))
    shift 2
    while :; do
        "$@" && return 0
        ((${EPOCHREALTIME//[!0-9]/} < poll_deadline)) || return 1
        sleep "$poll_interval"
    done
}

# process_lives PID: PID runs and is not a zombie. A zombie waits for its reaper and holds
# nothing (no mount, no file, no socket). Starts no process, so that a caller scanning /proc for
# others does not find its own helpers.
process_lives() {
    local stat
    [[ $1 =~ ^[0-9]+$ ]] || return 1
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
    [[ ${stat##*) } != Z* ]]
}

process_ended() { ! process_lives "$1"; }

# wait_child PID: waits for this shell's background child PID and returns its exit status.
# A trap interrupts wait, which then returns > 128 while the child runs on; the shell may
# already have reaped the child, whose status the next wait then returns (a second wait for a
# status already collected gives 127).
wait_child() {
    local status last
    while :; do
        if wait "$1"; then status=0; else status=$?; fi
        kill -0 "$1" 2>/dev/null && continue
        if wait "$1" 2>/dev/null; then
            status=0
        else
            last=$?
            [[ $last == 127 ]] || status=$last
        fi
        return "$status"
    done
}

# bwrap_info FILE KEY: the number under KEY ("child-pid", "pid-namespace") in what bwrap wrote
# to its --info-fd; nothing while the file is missing or not yet written.
bwrap_info() {
    sed -n "s/.*\"$2\": *\([0-9]*\).*/\1/p" "$1" 2>/dev/null || true
}

# loops_backed_under DIR...: one line "DEVICE FILE" for each loop device whose backing file, as
# the kernel names it, lies under one of the DIRs. The kernel names it as seen by whoever
# attached it: from another mount namespace the same path can be another file (see loop_backs).
loops_backed_under() {
    local sys file dir
    for sys in /sys/block/loop*; do
        file=$(cat "$sys/loop/backing_file" 2>/dev/null) || continue
        for dir in "$@"; do
            if [[ $file == "$dir"/* ]]; then
                echo "/dev/${sys##*/} $file"
                break
            fi
        done
    done
    return 0
}

# loop_backs DEVICE FILE: DEVICE is backed by FILE itself (same inode on the same file system).
loop_backs() {
    [[ $(stat -c '%i %Hd:%Ld' "$2" 2>/dev/null) == \
       "$(losetup -n --raw -O BACK-INO,BACK-MAJ:MIN "$1" 2>/dev/null | sed 's/\\x20//g')" ]]
}

# detach_loop DEVICE: unmounts what this mount namespace mounted from DEVICE (innermost first),
# then detaches it. Never fails: whatever is left is not worth stopping a cleanup for.
detach_loop() {
    local target
    findmnt -rn -S "$1" -o TARGET 2>/dev/null | sort -r | while read -r target; do
        umount -l "$target" 2>/dev/null || true
    done || true
    losetup -d "$1" 2>/dev/null || true
}
