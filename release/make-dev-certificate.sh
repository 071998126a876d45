#!/bin/sh
# Makes the development code-signing certificate of a build folder: a
# self-signed RSA certificate for code signing, and its private key. Builds
# sign with it when they are given no certificate of their own; nobody trusts
# it, and it never leaves the build folder (README: signing with a real
# certificate).
#   make-dev-certificate.sh CERT_FILE KEY_FILE
# Leaves files that exist alone, so that every image of a build folder is
# signed by the same certificate; writes both under temporary names first, so
# an interrupted run leaves no half of a pair behind.
set -eu
cert=$1
key=$2
if [ -s "$cert" ] && [ -s "$key" ]; then
    exit 0
fi
mkdir -p "$(dirname "$cert")" "$(dirname "$key")"
umask 077
openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 3650 \
    -subj "/CN=RuxUI development code signing (untrusted)" \
    -addext "basicConstraints=critical,CA:FALSE" \
    -addext "keyUsage=critical,digitalSignature" \
    -addext "extendedKeyUsage=codeSigning" \
    -keyout "$key.tmp" -out "$cert.tmp" 2>/dev/null
mv "$key.tmp" "$key"
mv "$cert.tmp" "$cert"
