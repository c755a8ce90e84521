# shellcheck shell=bash
# Keeps the output of talkative tools (apt-get, cmake) out of the way of the front door's one
# line per stage, without losing it when it matters. Sourced; sets no shell options.

# quietly LOG COMMAND [ARG]...
# Runs COMMAND with its output appended to LOG. When COMMAND fails, LOG goes to stderr and
# quietly fails with COMMAND's status.
quietly() {
    local log=$1 status=0
    shift
    "$@" >>"$log" 2>&1 || status=$?
    if ((status != 0)); then
        echo "-- '$*' failed with status $status; the output so far ($log):" >&2
        cat "$log" >&2
    fi
    return "$status"
}
