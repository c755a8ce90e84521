#!/bin/bash
# Inside the device: leaves a daemon, a mount and two loop devices (one backed by the state, one
# by the device's /tmp) behind, then ends as $1 says: exit, crash, or wait to be stopped.
set -e
truncate -s 16M "/run/sandbox/$TOKEN.img" "/tmp/$TOKEN.img"
mkfs.ext4 -q "/run/sandbox/$TOKEN.img"
dev=$(losetup --find --show "/run/sandbox/$TOKEN.img")
losetup --find "/tmp/$TOKEN.img"
mount "$dev" /fimage
setsid sleep 1000 </dev/null >/dev/null 2>&1 &
touch /run/sandbox/messy
case $1 in
    exit) exit 7 ;;
    crash) kill -KILL $$ ;;
    *) exec sleep 1000 ;;
esac
