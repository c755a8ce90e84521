# shellcheck shell=bash
# Sourced by the shell tests of the sandbox and the release server: `check NAME COMMAND...`.
set -uo pipefail
failed=0
check() {
    if "${@:2}"; then
        echo "ok - $1"
    else
        echo "not ok - $1"
        failed=$((failed + 1))
    fi
}
