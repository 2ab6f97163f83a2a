#!/bin/sh
# Makes a throw-away certificate authority and a certificate it signs for 127.0.0.1 and
# localhost, for tirvan-web's HTTPS: DIR/ca.pem (what the tray trusts, TIRVAN_WEB_CA),
# DIR/server.pem and DIR/server.key (tirvan-web --cert and --key).
set -eu
dir=${1:?usage: make-test-ca.sh DIR}
mkdir -p "$dir"
cd "$dir"
curve="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
openssl req -x509 $curve -keyout ca.key -out ca.pem -days 30 -subj "/CN=Tirvan test authority" 2>/dev/null
openssl req $curve -keyout server.key -out server.csr -subj "/CN=127.0.0.1" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n' > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 30 -extfile server.ext 2>/dev/null
rm -f server.csr server.ext ca.srl
