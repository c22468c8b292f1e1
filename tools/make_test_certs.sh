#!/usr/bin/env bash
# Generates throw-away TLS material for loopback tests into DIR (created when missing):
#   ca.pem, ca.key            a test certificate authority
#   server.pem, server.key    signed by it for localhost, 127.0.0.1 and ::1
#   other.pem, other.key      signed by it for another name only (host name check fails on loopback)
#   partial.pem, partial.key  signed by it for the partial wildcard x*.example.test only
#   untrusted.pem, .key       self-signed for localhost and 127.0.0.1 (chain check fails)
#   expired.pem, .key         signed by the CA for localhost, valid for a day in 2020 only
#   stranger.pem, .key        signed for localhost by stranger-ca.pem, an authority nothing trusts
# EC keys keep generation fast. Usage: make_test_certs.sh DIR
set -euo pipefail
dir=${1:?usage: make_test_certs.sh DIR}
mkdir -p "$dir"
cd "$dir"
days=7
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1" 2>/dev/null; }

key ca.key
openssl req -x509 -new -key ca.key -out ca.pem -days "$days" -subj "/CN=Tessarine Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null

signed() {  # signed NAME SUBJECT_ALT_NAMES
  key "$1.key"
  openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$1" 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$2" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -out "$1.pem" -days "$days" \
    -extfile "$1.ext" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}
signed server "DNS:localhost,IP:127.0.0.1,IP:::1"
signed other "DNS:engine.invalid"
signed partial "DNS:x*.example.test"

key untrusted.key
openssl req -x509 -new -key untrusted.key -out untrusted.pem -days "$days" -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1" 2>/dev/null
# The x509 command takes no validity in the past: the ca command does, with a throw-away database.
key expired.key
openssl req -new -key expired.key -out expired.csr -subj "/CN=expired" 2>/dev/null
mkdir -p ca-db
: >ca-db/index.txt
echo 01 >ca-db/serial
printf '[ca]\ndefault_ca=test\n[test]\ndatabase=ca-db/index.txt\nnew_certs_dir=ca-db\nserial=ca-db/serial\n'\
'default_md=sha256\npolicy=any\ncopy_extensions=none\n[any]\ncommonName=supplied\n'\
'[ext]\nsubjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >ca-db/ca.cnf
openssl ca -batch -config ca-db/ca.cnf -extensions ext -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20200102000000Z -notext 2>/dev/null
rm -rf ca-db expired.csr

key stranger-ca.key
openssl req -x509 -new -key stranger-ca.key -out stranger-ca.pem -days "$days" -subj "/CN=Stranger CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
key stranger.key
openssl req -new -key stranger.key -out stranger.csr -subj "/CN=stranger" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >stranger.ext
openssl x509 -req -in stranger.csr -CA stranger-ca.pem -CAkey stranger-ca.key -CAcreateserial -out stranger.pem \
  -days "$days" -extfile stranger.ext 2>/dev/null
rm -f ca.srl stranger-ca.srl stranger.csr stranger.ext
