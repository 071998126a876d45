#!/bin/sh
# Makes the shipped form of an image the linker left in build/bin:
#   SHIP_DIR/bin/IMAGE.debug  the debug sections and the COFF symbol table
#                             (objcopy --only-keep-debug)
#   SHIP_DIR/unsigned/IMAGE   the image without both (--strip-all), naming
#                             its symbol file, with the file's CRC, in a
#                             .gnu_debuglink section: the bytes that every
#                             build of one commit repeats
#   SHIP_DIR/bin/IMAGE        that image signed with Authenticode
#                             (osslsigncode, SHA-256), at the pinned signing
#                             time, with no time-stamp server unless one is
#                             named
#   ship-image.sh CONFIG IMAGE
# CONFIG is the shell file the configuration writes (build/release/ship.conf):
# OBJCOPY, OSSLSIGNCODE, SHIP_DIR, SOURCE_DIR, SIGN_DESCRIPTION,
# and either SIGN_CERT and SIGN_KEY, or SIGN_PKCS12 (with SIGN_PASSWORD_FILE
# when it has a password); SIGN_TIMESTAMP_URL optional; SIGN=OFF ships the
# unsigned image.
#
# The signing time is SOURCE_DATE_EPOCH when set, else the one the build wrote
# into SIGNING_TIME_FILE (cmake/SigningTime.cmake: the commit time of the
# source tree's HEAD), else that commit time: osslsigncode would otherwise
# write the current time into the signature, and two signings of one image
# would differ.
set -eu
. "$1"
linked=$2
name=$(basename "$linked")
shipped="$SHIP_DIR/bin/$name"
symbols="$shipped.debug"
unsigned="$SHIP_DIR/unsigned/$name"
mkdir -p "$SHIP_DIR/bin" "$SHIP_DIR/unsigned"

# objcopy would write the current time into the PE header of what it writes:
# --preserve-dates keeps the linker's (zero) time stamp.
"$OBJCOPY" --preserve-dates --only-keep-debug "$linked" "$symbols"
"$OBJCOPY" --preserve-dates --strip-all --add-gnu-debuglink="$symbols" "$linked" "$unsigned"

if [ "${SIGN:-ON}" != ON ]; then
    cp "$unsigned" "$shipped"
    exit 0
fi

if [ -z "${SOURCE_DATE_EPOCH:-}" ] && [ -n "${SIGNING_TIME_FILE:-}" ] && [ -f "$SIGNING_TIME_FILE" ]; then
    SOURCE_DATE_EPOCH=$(cat "$SIGNING_TIME_FILE")
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$SOURCE_DIR" log -1 --format=%ct 2>/dev/null || true)
fi
# Outside a git checkout and with no time given: a fixed time, never the clock.
: "${SOURCE_DATE_EPOCH:=315532800}"

set -- -h sha256 -n "$SIGN_DESCRIPTION"
if [ -n "${SIGN_PKCS12:-}" ]; then
    set -- "$@" -pkcs12 "$SIGN_PKCS12"
    [ -n "${SIGN_PASSWORD_FILE:-}" ] && set -- "$@" -readpass "$SIGN_PASSWORD_FILE"
else
    set -- "$@" -certs "$SIGN_CERT" -key "$SIGN_KEY"
fi
if [ -n "${SIGN_TIMESTAMP_URL:-}" ]; then
    # An RFC 3161 time-stamp makes the signature outlive the certificate; the
    # time-stamp authority's time then differs from one signing to the next.
    set -- "$@" -ts "$SIGN_TIMESTAMP_URL"
else
    set -- "$@" -time "$SOURCE_DATE_EPOCH"
fi
# osslsigncode refuses to overwrite its output.
rm -f "$shipped"
if ! "$OSSLSIGNCODE" sign "$@" -in "$unsigned" -out "$shipped" >"$shipped.log" 2>&1; then
    cat "$shipped.log" >&2
    rm -f "$shipped" "$shipped.log"
    exit 1
fi
rm -f "$shipped.log"
