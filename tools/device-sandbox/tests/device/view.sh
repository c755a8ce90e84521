#!/bin/bash
# Inside the device: its own paths are writable, /usr and /etc are not, identities resolve.
set -e
echo "$TOKEN" >"/etc/ssu/$TOKEN"
echo "$TOKEN" >"/etc/zovoveva/$TOKEN"
echo "$TOKEN" >"/fimage/$TOKEN"
ln -s /var/lib/zovoveva-update/update_info.ini /system-update
echo "$TOKEN" >/var/lib/zovoveva-update/update_info.ini
touch /usr/share/lipstick/devicelock/.clear-device
mkdir -p /home/.system-updates
echo "$TOKEN" >/home/.system-updates/os-info.json
ln -s /dev/loop0 /dev/disk/by-partlabel/super
mkdir /sys/class/power_supply/BAT0
echo 55 >/sys/class/power_supply/BAT0/capacity
! touch "/usr/share/$TOKEN" 2>/dev/null
! touch "/usr/share/lipstick/$TOKEN" 2>/dev/null
! setpriv --reuid=alice --regid=privileged --init-groups touch "/etc/$TOKEN" 2>/dev/null
test "$(id -nG alice)" = "privileged zovoveva-system"
test "$(id -nG bob)" = privileged
test "$(id -nG carol)" = users
test "$(stat -L -c %U:%G /proc/self)" = root:root
test "$(setpriv --reuid=2004 --regid=998 --init-groups stat -L -c %U:%G /proc/self)" = zovoveva-mdm:zovoveva-mdm
test "$(setpriv --reuid=2001 --regid=996 --init-groups stat -L -c %U:%G /proc/self)" = alice:privileged
test "$HOME" = /root && test -w /root && test -w /tmp
test "$CORVANE_SANDBOX_STATE" = /run/sandbox
test -r "$CORVANE_TEST_CA" && test -r "$CORVANE_TEST_CA_KEY"
