#!/bin/bash
# Inside the device: leaves a daemon, a mount and loop devices backed by the state and by /tmp
# behind, then ends as $1 says: exit, crash, kill-init, or wait to be stopped.
set -e
truncate -s 16M "/run/sandbox/$TOKEN.img" "/tmp/$TOKEN.img"
mkfs.ext4 -q "/run/sandbox/$TOKEN.img"
mount "$(losetup --find --show "/run/sandbox/$TOKEN.img")" /fimage
losetup --find "/tmp/$TOKEN.img"
setsid sleep 1000 </dev/null >/dev/null 2>&1 &
touch /run/sandbox/messy
[[ $1 == exit ]] && exit 7
[[ $1 == crash ]] && kill -KILL $$
[[ $1 == kill-init ]] && kill -KILL $PPID
exec sleep 1000
