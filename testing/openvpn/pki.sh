#!/usr/bin/env bash
# Makes a throw-away PKI for loopback OpenVPN runs: a CA, a server and a client
# certificate (EC P-256), a second CA that signed neither, and the faulty ones the
# failure captures need: a client certificate expired and one not yet valid, a server
# certificate without the server usage, a key of no certificate's, tls-crypt keys.
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
# dated <name> <cn> <usage> <from> <until>: like leaf, valid only between two
# YYYYMMDDHHMMSSZ times (openssl ca, as x509 cannot date a certificate back).
dated() {
  key "$1.key"
  openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyAgreement\nextendedKeyUsage=%s\n' "$3" >"$1.ext"
  : >index.txt
  printf '[ca]\ndefault_ca=test\n[test]\ndatabase=index.txt\nnew_certs_dir=.\nserial=ca.srl\n' >ca.cnf
  printf 'default_md=sha256\npolicy=any\n[any]\ncommonName=supplied\n' >>ca.cnf
  openssl ca -batch -config ca.cnf -cert ca.crt -keyfile ca.key -in "$1.csr" -out "$1.crt" -notext \
    -startdate "$4" -enddate "$5" -extfile "$1.ext" 2>/dev/null
  rm -f "$1.csr" "$1.ext" ca.cnf index.txt* ca.srl.old ./*.pem
}
ca ca "Velunor Test CA"
ca other-ca "Unrelated CA"
leaf server "vpn.test" serverAuth
leaf client "client" clientAuth
leaf server-no-usage "vpn.test" clientAuth
dated client-expired "client" clientAuth 20200101000000Z 20200102000000Z
dated client-not-yet-valid "client" clientAuth 20900101000000Z 20900102000000Z
key stray.key
openvpn --genkey tls-crypt tls-crypt.key 2>/dev/null
openvpn --genkey tls-crypt other-tls-crypt.key 2>/dev/null
