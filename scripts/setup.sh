#!/bin/sh
# Installs what a fresh Debian 12 machine lacks to build and test this project.
# Silent and free when everything is present. While apt works it shows what it
# does and how far it is; when it fails, the end of its output.
set -e
need=""
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v ninja >/dev/null 2>&1 || need="$need ninja-build"
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64-posix"
[ -x /usr/lib/wine/wine64 ] || need="$need wine64"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
# Clang 14 parses the product for the thread-safety analysis
# (scripts/thread-safety.sh) and builds the fuzz targets (fuzz/run.sh) with its
# libFuzzer runtime.
command -v clang++-14 >/dev/null 2>&1 || need="$need clang"
set -- /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a
[ -f "$1" ] || need="$need libclang-rt-14-dev"
# The shipped images are signed with Authenticode (osslsigncode), by a
# development certificate that openssl makes on first use; the binary check
# and the package's rewriting are Python.
command -v osslsigncode >/dev/null 2>&1 || need="$need osslsigncode"
command -v openssl >/dev/null 2>&1 || need="$need openssl"
command -v python3 >/dev/null 2>&1 || need="$need python3"
[ -n "$need" ] || exit 0
echo "setup: installing$need" >&2
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
status=$(mktemp)
trap 'rm -f "$log" "$status"' EXIT

failed() {
    echo "setup: $1 failed; the end of its output:" >&2
    tail -n 30 "$log" | sed 's/^/  | /' >&2
    exit 1
}

# apt's status lines on fd 3 ("dlstatus:N:PERCENT:TEXT" while downloading,
# "pmstatus:PACKAGE:PERCENT:TEXT" while installing) as one line that updates on
# a terminal, or a line every tenth of the way otherwise.
apt_progress() {
    if [ -t 2 ]; then tty=1; else tty=0; fi
    awk -F: -v tty="$tty" '
        $1 == "dlstatus" || $1 == "pmstatus" {
            what = $1 == "dlstatus" ? "downloading" : "installing"
            percent = int($3)
            text = $4
            for (i = 5; i <= NF; ++i)
                text = text ":" $i
            if (tty) {
                printf "\rsetup: %s %3d%% %-50.50s", what, percent, text > "/dev/stderr"
            } else {
                if (what != last) {
                    last = what
                    shown = -1
                }
                if (int(percent / 10) > shown) {
                    shown = int(percent / 10)
                    printf "setup: %s %d%% %s\n", what, percent, text > "/dev/stderr"
                }
            }
            seen = 1
            fflush("/dev/stderr")
        }
        END { if (tty && seen) printf "\n" > "/dev/stderr" }'
}

echo "setup: updating the package lists" >&2
apt-get update -qq >"$log" 2>&1 || failed "apt-get update"
echo "setup: downloading and installing the packages (a minute or two)" >&2
# shellcheck disable=SC2086
{ code=0
  apt-get install -y -qq --no-install-recommends -o APT::Status-Fd=3 $need 3>&1 >"$log" 2>&1 || code=$?
  echo "$code" >"$status"; } | apt_progress
[ "$(cat "$status")" = 0 ] || failed "apt-get install"
echo "setup: installed" >&2
