#!/bin/sh
# Builds the shipped images a second time, from a copy of the source tree in
# another folder (build/reproduce/src, built in its own build/), and compares
# what the two builds ship, byte for byte:
#   the images before signing, their symbol files and the import libraries
#   (the same bytes from every build of one commit); the signed images and
#   the two ZIPs of the package (the same again, since the copy signs with
#   this build's certificate at the same pinned time).
# The copy holds the files git knows of the working tree (so that edits not
# yet committed are built too; outside git, every file but the build folders)
# and is configured with this build's options,
# and builds only what ships (the target olv_ship). Prints the SHA-256 of
# each image of both builds. Needs a built tree (sh scripts/build.sh).
#   sh release/reproduce-build.sh [NAME]     NAME starts each line
set -eu
cd "$(dirname "$0")/.."
who=${1:-reproduce}
root=$(pwd)
work=build/reproduce
start=$(date +%s)

if [ ! -f build/CMakeCache.txt ]; then
    echo "$who: no build/: configure and build first (sh scripts/build.sh)" >&2
    exit 1
fi
cache() { sed -n "s/^$1:[A-Z]*=//p" "$root/build/CMakeCache.txt"; }

# The commit's time dates the signatures and the archives of both builds.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}
export SOURCE_DATE_EPOCH

rm -rf "$work"
mkdir -p "$work/src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard |
        tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$work/src"
else
    tar --exclude='./build*' --exclude=./.cache -cf - . | tar -xf - -C "$work/src"
fi

# This build's options, and its certificate in place of a new one.
cert=$(cache OLV_SIGN_CERT)
key=$(cache OLV_SIGN_KEY)
if [ -z "$cert" ] && [ -z "$(cache OLV_SIGN_PKCS12)" ]; then
    cert=$root/build/signing/dev-codesign.crt
    key=$root/build/signing/dev-codesign.key
fi
echo "$who: configuring a second build in $work/src/build"
log=$root/$work/configure.log
if ! (cd "$work/src" && cmake --preset default \
        -DOLV_HARDENING="$(cache OLV_HARDENING)" -DOLV_LOG_PUBLIC_KEY_FILE="$(cache OLV_LOG_PUBLIC_KEY_FILE)" \
        -DOLV_SIGN="$(cache OLV_SIGN)" -DOLV_SIGN_CERT="$cert" -DOLV_SIGN_KEY="$key" \
        -DOLV_SIGN_PKCS12="$(cache OLV_SIGN_PKCS12)" -DOLV_SIGN_PASSWORD_FILE="$(cache OLV_SIGN_PASSWORD_FILE)" \
        -DOLV_SIGN_TIMESTAMP_URL="$(cache OLV_SIGN_TIMESTAMP_URL)") >"$log" 2>&1; then
    echo "$who: configuring failed; from $log:" >&2
    tail -n 30 "$log" | sed 's/^/  | /' >&2
    exit 1
fi
echo "$who: building what ships, a second time"
log=$root/$work/build.log
if ! cmake --build "$work/src/build" --target olv_ship >"$log" 2>&1; then
    echo "$who: building failed; from $log:" >&2
    tail -n 40 "$log" | sed 's/^/  | /' >&2
    exit 1
fi
# This build's side, made now with the same time as the other's.
cmake --build build --target olv_ship >/dev/null
(cd build && cpack -B "$root/$work/package-first" >/dev/null)
(cd "$work/src/build" && cpack -B "$root/$work/package-second" >/dev/null)

different=0
compared=0
compare() {
    compared=$((compared + 1))
    if ! cmp -s "$1" "$2"; then
        echo "$who: DIFFERENT: $1 and $2" >&2
        different=$((different + 1))
    fi
}
second=$work/src/build
for image in $(cd build/ship/unsigned && ls); do
    compare "build/ship/unsigned/$image" "$second/ship/unsigned/$image"
    compare "build/ship/bin/$image.debug" "$second/ship/bin/$image.debug"
    compare "build/ship/bin/$image" "$second/ship/bin/$image"
    printf '%s: %s  %s\n' "$who" "$(sha256sum <"build/ship/unsigned/$image" | cut -c1-64)" "first  $image"
    printf '%s: %s  %s\n' "$who" "$(sha256sum <"$second/ship/unsigned/$image" | cut -c1-64)" "second $image"
done
for library in RUXUI.lib Rux.lib VtApi.lib; do
    compare "build/lib/$library" "$second/lib/$library"
done
for archive in $(cd "$work/package-first" && ls ./*.zip); do
    compare "$work/package-first/$archive" "$work/package-second/$archive"
done

if [ "$different" -ne 0 ]; then
    echo "$who: $different of $compared files differ between the two builds" >&2
    exit 1
fi
echo "$who: the two builds ship the same bytes ($compared files) in $(( $(date +%s) - start )) s"
