#!/bin/sh
# Verifies the Authenticode signature of each shipped image, and that a copy
# of it with one byte flipped in the signed content fails verification.
#   verify-signatures.sh CA_FILE IMAGE...
# CA_FILE is the certificate to trust: the development certificate, or the
# root of a real certificate's chain; empty: the system's trusted roots.
set -u
osslsigncode=${OSSLSIGNCODE:-osslsigncode}
ca=$1
shift
verify() {
    if [ -n "$ca" ]; then
        "$osslsigncode" verify -CAfile "$ca" -in "$1"
    else
        "$osslsigncode" verify -in "$1"
    fi >"$work/verify.log" 2>&1
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
count=0
for image in "$@"; do
    count=$((count + 1))
    name=$(basename "$image")
    if ! verify "$image"; then
        echo "FAIL $name: the signature does not verify:"
        sed 's/^/  | /' "$work/verify.log"
        failed=$((failed + 1))
        continue
    fi
    # A byte halfway through the file lies in a section's code or data, which
    # the signature covers (only the checksum, the certificate table and its
    # directory entry are left out of the hash).
    copy="$work/$name"
    cp "$image" "$copy"
    size=$(wc -c <"$copy")
    offset=$((size / 2))
    byte=$(od -An -tu1 -j "$offset" -N1 "$copy" | tr -d ' ')
    printf "$(printf '\\%03o' $((byte ^ 0x5a)))" | dd of="$copy" bs=1 seek="$offset" conv=notrunc 2>/dev/null
    if cmp -s "$image" "$copy"; then
        echo "FAIL $name: could not change the copy"
        failed=$((failed + 1))
    elif verify "$copy"; then
        echo "FAIL $name: a copy with the byte at offset $offset changed still verifies"
        failed=$((failed + 1))
    else
        echo "ok   $name: signature verified; a changed byte at offset $offset is refused"
    fi
done
echo "verify-signatures: $((count - failed)) of $count images pass"
[ "$failed" -eq 0 ]
