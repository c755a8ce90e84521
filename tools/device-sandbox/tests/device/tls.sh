#!/bin/bash
# Inside the device: the test CA is trusted through the bundle and the hashed directory (which
# Qt reads); a self-signed certificate is not.
set -e
release_server=$(dirname "$0")/../../../release-server/release-server
mkdir -p /tmp/www/metav2
echo "{\"$TOKEN\":1}" >/tmp/www/metav2/index.json
address=$("$release_server" start --root /tmp/www --state /tmp/trusted)
test "$(curl -sS "https://$address/metav2/")" = "{\"$TOKEN\":1}"
openssl s_client -connect "$address" -CApath /etc/ssl/certs -verify_return_error \
    </dev/null >/dev/null 2>&1
address=$("$release_server" start --root /tmp/www --state /tmp/untrusted --self-signed)
! curl -sS -o /dev/null "https://$address/metav2/" 2>/dev/null
