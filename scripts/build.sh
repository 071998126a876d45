#!/bin/sh
# Configures and builds with the preset, saying which stage runs and how far
# the build is: ninja's [n/N] on one line on a terminal, a line every tenth of
# the way otherwise (CI logs). The tools' own output goes to build/logs/; when a
# stage fails, the part of it that tells why is shown.
#   sh scripts/build.sh NAME     NAME starts each line (the calling script's name)
set -u
cd "$(dirname "$0")/.."
who=${1:-build}
logs=build/logs
mkdir -p "$logs"

# Seconds since $1 (date +%s), for "done in N s".
since() { echo $(( $(date +%s) - $1 )); }

# Shows the end of a failed stage's log: from the first line ninja marks
# FAILED (the compiler's message follows it), else its last lines.
show_failure() {
    echo "$who: $1 failed; from $2:" >&2
    first=$(grep -n -m1 '^FAILED:' "$2" | cut -d: -f1)
    if [ -n "$first" ]; then
        tail -n +"$first" "$2" | head -n 60
    else
        tail -n 40 "$2"
    fi | sed 's/^/  | /' >&2
}

# Reads ninja's output and shows its step counter.
progress() {
    if [ -t 1 ]; then tty=1; else tty=0; fi
    awk -v tty="$tty" -v who="$who" '
        /^\[[0-9]+\/[0-9]+\]/ {
            match($0, /^\[[0-9]+\/[0-9]+\]/)
            split(substr($0, 2, RLENGTH - 2), step, "/")
            if (tty) {
                printf "\r%s: building [%d/%d]", who, step[1], step[2]
            } else if (int(step[1] * 10 / step[2]) > shown) {
                shown = int(step[1] * 10 / step[2])
                printf "%s: building [%d/%d]\n", who, step[1], step[2]
            }
            counted = 1
            fflush()
            next
        }
        /^ninja: no work to do/ { printf "%s: building: up to date\n", who; fflush() }
        END { if (tty && counted) printf "\n" }'
}

start=$(date +%s)
echo "$who: configuring (cmake --preset default)"
if ! cmake --preset default >"$logs/configure.log" 2>&1; then
    show_failure "configuring" "$logs/configure.log"
    exit 1
fi

echo "$who: building (full output in $logs/build.log)"
rm -f "$logs/build.status"
{ cmake --build --preset default 2>&1; echo $? >"$logs/build.status"; } | tee "$logs/build.log" | progress
if [ "$(cat "$logs/build.status" 2>/dev/null)" != 0 ]; then
    show_failure "building" "$logs/build.log"
    exit 1
fi
echo "$who: built in $(since "$start") s"
