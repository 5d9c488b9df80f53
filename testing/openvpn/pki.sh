#!/usr/bin/env bash
# Makes a throw-away PKI for loopback OpenVPN runs: a CA, a server and a client
# certificate (EC P-256), plus a second CA that signed neither.
# Usage: pki.sh <folder>
set -euo pipefail
dir=${1:?folder}
mkdir -p "$dir"
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
ca() {
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days 2 -out "$1.crt" 2>/dev/null
}
leaf() { # name cn usage
  key "$1.key"
  openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyAgreement\nextendedKeyUsage=%s\n' "$3" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile "$1.ext" \
    -out "$1.crt" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}
ca ca "Velunor Test CA"
ca other-ca "Unrelated CA"
leaf server "vpn.test" serverAuth
leaf client "client" clientAuth
