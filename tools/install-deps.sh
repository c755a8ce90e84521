#!/usr/bin/env bash
# Installs every Debian package Corvane needs to build, test and run its device sandbox.
# The one list of dependencies: keep it here and nowhere else.
# Prints one line; apt-get's output appears only when it fails.
set -euo pipefail
here=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")" && pwd)
# shellcheck source=SCRIPTDIR/lib/quiet.sh
. "$here/lib/quiet.sh"

packages=(
    # build
    cmake g++ make pkg-config clang-format shellcheck
    qtbase5-dev qtbase5-dev-tools libqt5dbus5 libqt5network5
    libpackagekitqt5-dev libkf5archive-dev
    # fuzzing and sanitizers
    clang libclang-rt-14-dev
    # device sandbox and the platform stand-ins
    bubblewrap dbus dbus-daemon libglib2.0-bin
    python3 python3-dbus python3-gi python3-dbusmock
    util-linux mount procps e2fsprogs openssl nginx-light curl
    # busctl and systemd-analyze, which the tests use as clients nobody here wrote, and
    # systemd.pc, which says where the unit is installed
    systemd
    # the real-packagekit tests: Debian's PackageKit daemon (dummy backend) and its pkcon
    packagekit packagekit-tools
    # the system lane: a Debian root file system booted with systemd as PID 1
    debootstrap systemd-container
)

export DEBIAN_FRONTEND=noninteractive
missing=$(dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' "${packages[@]}" 2>&1 | grep -v '^ii ' || true)
if [ -z "$missing" ]; then
    echo "== Dependencies: all installed"
    exit 0
fi
echo "== Installing dependencies with apt-get"
log=$(mktemp -t corvane-install-deps.XXXXXX)
trap 'rm -f "$log"' EXIT
quietly "$log" apt-get update
quietly "$log" apt-get install -y --no-install-recommends "${packages[@]}"
