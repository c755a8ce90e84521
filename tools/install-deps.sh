#!/usr/bin/env bash
# Installs every Debian package Corvane needs to build, test and run its device sandbox.
# The one list of dependencies: keep it here and nowhere else.
set -euo pipefail

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
    # busctl and systemd-analyze, which the tests use as clients nobody here wrote
    systemd
    # the real-packagekit tests: Debian's PackageKit daemon (dummy backend) and its pkcon
    packagekit packagekit-tools
    # the system lane: a Debian root file system booted with systemd as PID 1
    debootstrap systemd-container
)

export DEBIAN_FRONTEND=noninteractive
missing=$(dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' "${packages[@]}" 2>&1 | grep -v '^ii ' || true)
if [ -z "$missing" ]; then
    exit 0
fi
apt-get update
apt-get install -y --no-install-recommends "${packages[@]}"
