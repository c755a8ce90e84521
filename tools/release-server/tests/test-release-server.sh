#!/bin/bash
# Checks the release server as the daemon's tests use it; runs inside the device sandbox, whose
# test CA signs the server's certificate.
set -uo pipefail

server=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../release-server
www=/tmp/www
state=/tmp/release-server

passed=0
failed=0
check() {
    local name=$1
    shift
    if "$@"; then
        echo "ok - $name"
        passed=$((passed + 1))
    else
        echo "not ok - $name"
        failed=$((failed + 1))
    fi
}
# A request's status, content type and body as one line: "200 application/json {...}".
fetch() {
    curl -sS -o /tmp/body -w '%{http_code} %{content_type}' "$@" && echo " $(cat /tmp/body)"
}
log_entries() { # field=value ... : how many access log entries have all these values
    /usr/bin/python3 - "$state/access.log" "$@" <<'EOF'
import json, sys
wanted = [arg.split("=", 1) for arg in sys.argv[2:]]
def field(entry, name):
    value = entry
    for part in name.split("."):
        value = value.get(part, "")
    return str(value)
entries = [json.loads(line) for line in open(sys.argv[1])]
print(sum(all(field(e, k) == v for k, v in wanted) for e in entries))
EOF
}

mkdir -p "$www/metav2" "$www/meta" "$www/images/4.1.0/dev/m"
echo '{"version":2}' >"$www/metav2/index.json"
head -c 3000000 /dev/urandom >"$www/images/4.1.0/dev/m/image.tar.gz"
image=/images/4.1.0/dev/m/image.tar.gz

address=$("$server" start --root "$www" --state "$state" --log-header X-Site)
check "start prints the address once the server answers" \
    test -n "$address" -a "$address" = "$(cat "$state/address")"
check "a metadata URL ending in / serves its index.json as JSON" \
    test "$(fetch "https://$address/metav2/")" = '200 application/json {"version":2}'
check "a metadata directory without index.json is not found" \
    test "$(curl -s -o /dev/null -w '%{http_code}' "https://$address/meta/")" = 404
check "a metadata URL without its slash is not found" \
    test "$(curl -s -o /dev/null -w '%{http_code}' "https://$address/metav2")" = 404
check "HEAD announces size and byte ranges" \
    test "$(curl -sSI "https://$address$image" | tr -d '\r' | grep -i -e ^content-length -e ^accept-ranges | sort)" \
        = "$(printf 'Accept-Ranges: bytes\nContent-Length: 3000000')"

# The daemon asks for 10 MiB chunks whose last one names the size itself, one past the end.
ranges_ok=1
for range in 0-1048576 1048577-3000000; do
    curl -sS -H "Range: bytes=$range" -o /tmp/part "https://$address$image"
    first=${range%-*}
    last=$(( ${range#*-} < 2999999 ? ${range#*-} : 2999999 ))
    cmp -s /tmp/part <(tail -c +$((first + 1)) "$www$image" | head -c $((last - first + 1))) \
        || ranges_ok=0
done
check "ranged GETs return exactly the bytes asked for, an end past the file cut back" \
    test $ranges_ok = 1

curl -sS -o /dev/null -u user:secret -H 'Range: bytes=0-9' -H 'ssl_verify: no' -H 'X-Site: 1' \
    "https://$address$image"
check "the access log counts requests by URL and method" \
    test "$(log_entries uri=$image method=GET)" = 3 -a "$(log_entries uri=$image method=HEAD)" = 1
check "the access log shows Range, Authorization, SSU and chosen headers" \
    test "$(log_entries uri=$image range=bytes=0-9 'authorization=Basic dXNlcjpzZWNyZXQ=' \
            ssl_verify=no headers.X-Site=1 status=206)" = 1

address=$("$server" start --root "$www" --state "$state" --port 8443 --no-ranges)
check "a restart on the same state replaces the server; --port is honoured" \
    test "$address" = 127.0.0.1:8443 -a "$(pgrep -c -x nginx)" = 1
check "--no-ranges announces no ranges and sends the whole file" \
    test "$(curl -sS -H 'Range: bytes=0-9' -o /dev/null -D - "https://$address$image" \
            | tr -d '\r' | grep -c -i -e '^HTTP/1.1 200' -e ^accept-ranges)" = 1
"$server" stop --state "$state"
check "stop ends the server" test "$(pgrep -c -x nginx)" = 0 -a ! -e "$state/nginx.pid"

# The foreground form is what a QProcess runs: the process is the server.
for signal in TERM KILL; do
    coproc SERVER { exec "$server" run --root "$www" --state "$state-run"; }
    read -r -t 20 address <&"${SERVER[0]}"
    status=$(curl -s -o /dev/null -w '%{http_code}' "https://$address/metav2/")
    kill -"$signal" "$SERVER_PID"
    wait "$SERVER_PID"
    check "run serves until SIG$signal and leaves no process" \
        test "$status" = 200 -a "$(pgrep -c -x nginx)" = 0
done

echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
