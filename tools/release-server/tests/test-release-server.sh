#!/bin/bash
# Checks the release server as the daemon's tests use it. Runs inside the device sandbox, where
# every fetch here verifies the server against the device's test CA.
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
# shellcheck source=SCRIPTDIR/../../device-sandbox/tests/check.sh
. "$here/../../device-sandbox/tests/check.sh"
# shellcheck source=SCRIPTDIR/../../lib/device.sh
. "$here/../../lib/device.sh"
server=$here/../release-server
www=/tmp/www
state=/tmp/release-server
image=/images/image.tar.gz

# How many access log entries match a pattern over the parsed entry:
# "METHOD URI STATUS RANGE AUTHORIZATION SSL_VERIFY {LOGGED HEADERS}".
logged() {
    python3 -c 'import json, sys
for e in map(json.loads, open(sys.argv[1])):
    print(e["method"], e["uri"], e["status"], e["range"], e["authorization"], e["ssl_verify"],
          e["headers"])' "$state/access.log" | grep -cx "$1"
}

mkdir -p "$www/metav2" "$www/images"
printf '{"version":2}' >"$www/metav2/index.json"
head -c 3000000 /dev/urandom >"$www$image"

address=$("$server" start --root "$www" --state "$state" --log-header X-Site)
check "a metadata URL ending in / serves its index.json as JSON" \
    test "$(curl -sS -w ' %{content_type}' "https://$address/metav2/")" = '{"version":2} application/json'

# The daemon asks for chunks whose last one names the size itself, one past the end.
curl -sS -r 0-1048576 -o /tmp/part1 "https://$address$image"
curl -sS -r 1048577-3000000 -o /tmp/part2 "https://$address$image"
check "ranged GETs return exactly the bytes asked for, an end past the file cut back" \
    cmp -s "$www$image" <(cat /tmp/part1 /tmp/part2)
curl -sS -o /dev/null -u user:secret -r 0-9 -H 'ssl_verify: no' -H 'X-Site: 1' "https://$address$image"
check "the access log holds every request" test "$(logged "GET $image 206 .*")" = 3
check "the access log shows Range, Authorization, the SSU headers and chosen ones" \
    test "$(logged "GET $image 206 bytes=0-9 Basic dXNlcjpzZWNyZXQ= no {'X-Site': '1'}")" = 1
"$server" stop --state "$state"
# An exited worker stays a zombie until the device's reaper collects it, which under load can
# take a moment: only living processes count.
server_stopped() {
    local pid
    for pid in $(pgrep -x nginx); do
        process_lives "$pid" && return 1
    done
    [[ ! -e $state/nginx.pid ]]
}
check "stop ends the server" server_stopped
((failed == 0))
