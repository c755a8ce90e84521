#!/bin/bash
# Runs on the simulated device with the build's system activation files: the home screen and
# DSME stand-ins start on the first call, record what the update daemon sends, and refuse calls
# to any other address, so a test cannot mistake a wrong call for the right one.
set -u

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

call() { # destination path interface.method [args...]
    local dest=$1 path=$2 method=$3
    shift 3
    gdbus call --system --dest "$dest" --object-path "$path" --method "$method" "$@" 2>&1
}
lipstick() { call org.nemomobile.lipstick /shutdown "$@"; }
dsme() { call com.nokia.dsme /com/nokia/dsme/request "$@"; }
expect() { # description expected-output actual-output
    [[ $3 == "$2" ]] || fail "$1: expected [$2], got [$3]"
}
refused() { # description output
    [[ $2 == *GDBus.Error:* ]] || fail "$1 was accepted: $2"
}

expect "shutdown mode" "()" "$(lipstick org.nemomobile.lipstick.setShutdownMode upgrade)"
expect "reboot request" "()" "$(dsme com.nokia.dsme.request.req_reboot)"

refused "shutdown mode without its argument" "$(lipstick org.nemomobile.lipstick.setShutdownMode)"
refused "shutdown mode on another path" "$(call org.nemomobile.lipstick /org/nemomobile/lipstick \
    org.nemomobile.lipstick.setShutdownMode upgrade)"
refused "shutdown mode on another interface" \
    "$(lipstick com.nokia.dsme.request.setShutdownMode upgrade)"
refused "reboot request with an argument" "$(dsme com.nokia.dsme.request.req_reboot now)"
refused "reboot request on another path" \
    "$(call com.nokia.dsme /com/nokia/dsme com.nokia.dsme.request.req_reboot)"
refused "reboot request on another interface" "$(dsme com.nokia.dsme.req_reboot)"

# Only the accepted calls are recorded, with their arguments.
calls=$(lipstick org.freedesktop.DBus.Mock.GetMethodCalls setShutdownMode)
pattern="^\\(\\[\\(uint64 [0-9]+, \\[<'upgrade'>\\]\\)\\],\\)\$"
[[ $calls =~ $pattern ]] || fail "lipstick calls: $calls"
calls=$(dsme org.freedesktop.DBus.Mock.GetCalls)
pattern="^\\(\\[\\(uint64 [0-9]+, 'req_reboot', @av \\[\\]\\)\\],\\)\$"
[[ $calls =~ $pattern ]] || fail "dsme calls: $calls"

expect "clearing the record" "()" "$(dsme org.freedesktop.DBus.Mock.ClearCalls)"
expect "record after clearing" "(@a(tsav) [],)" "$(dsme org.freedesktop.DBus.Mock.GetCalls)"

if [[ $failures -gt 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
