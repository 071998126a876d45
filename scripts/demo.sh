#!/bin/bash
# The main job: builds the product and runs it under Wine as a user would see it.
# ruxui-console plays the user interface of the active console session, ruxhost
# is the host process that loads RUXUI.dll, and vtctl shows and changes the
# simulated engine. The scenario runs by itself and exits 0 when every step was
# seen, non-zero with a message naming the step that was not.
set -u
cd "$(dirname "$0")/.."
sh scripts/setup.sh || exit 1
sh scripts/build.sh demo || exit 1

BIN=build/bin
RUN=build/wine-run.sh
echo "demo: starting Wine (its first start creates build/wineprefix, which takes a few seconds)"
wine_started=$(date +%s)
"$RUN" --start
echo "demo: Wine is up ($(( $(date +%s) - wine_started )) s)"
WORK=$(mktemp -d)
CONSOLE_OUT=$WORK/console.out
HOST_OUT=$WORK/host.out
mkfifo "$WORK/console.in" "$WORK/host.in"
CONSOLE_PID=
HOST_PID=

finish() {
    status=$1
    exec 3>&- 4>&- 2>/dev/null
    [ -n "$HOST_PID" ] && wait "$HOST_PID" 2>/dev/null
    [ -n "$CONSOLE_PID" ] && wait "$CONSOLE_PID" 2>/dev/null
    "$RUN" "$BIN/vtctl.exe" reset >/dev/null 2>&1
    "$RUN" --stop
    rm -rf "$WORK"
    exit "$status"
}

fail() {
    echo
    echo "demo: FAILED: $*" >&2
    echo "--- what the user interface received:" >&2
    cat "$CONSOLE_OUT" >&2
    echo "--- what the host printed:" >&2
    cat "$HOST_OUT" >&2
    # Let the processes end on their own: closing their input ends both.
    finish 1
}

step() { printf '\n== %s\n' "$*"; }
show() { printf '   %s\n' "$*"; }

# Waits until a line after line $1 of FILE $2 contains every pattern given;
# prints it. Fails after TIMEOUT seconds ($3).
wait_line() {
    local from=$1 file=$2 timeout=$3
    shift 3
    local deadline=$((SECONDS + timeout)) line
    while [ $SECONDS -le $deadline ]; do
        while IFS= read -r line; do
            local ok=1 p
            for p in "$@"; do
                case "$line" in *"$p"*) ;; *) ok=0 ;; esac
            done
            if [ $ok = 1 ]; then
                show "$line"
                return 0
            fi
        done < <(tail -n +"$((from + 1))" "$file")
        sleep 0.1
    done
    return 1
}
lines() { wc -l < "$1"; }
console() { echo "$*" >&3; }
host() { echo "$*" >&4; }
vtctl() { "$RUN" "$BIN/vtctl.exe" "$@"; }

step "0. A simulated engine: running, with four components"
vtctl reset >/dev/null && vtctl start >/dev/null &&
    vtctl components set Engine=4.2.0.17 SpyScan=3.9.1.2 PhishingDB=2026.12.7.1 SiteDB=2026.12.6.3 >/dev/null ||
    fail "vtctl could not prepare the engine"
vtctl status | sed 's/^/   /'

: > "$CONSOLE_OUT"
: > "$HOST_OUT"
"$RUN" "$BIN/ruxhost.exe" - < "$WORK/host.in" > "$HOST_OUT" 2>&1 &
HOST_PID=$!
exec 4> "$WORK/host.in"

step "1. The host loads RUXUI.dll and starts the client; the user interface starts and gets a full status push"
host new
host start
wait_line 0 "$HOST_OUT" 10 "start" || fail "the host could not start the client"
"$RUN" "$BIN/ruxui-console.exe" --connect-timeout 10000 --timeout 5000 < "$WORK/console.in" > "$CONSOLE_OUT" 2>&1 &
CONSOLE_PID=$!
exec 3> "$WORK/console.in"
wait_line 0 "$CONSOLE_OUT" 15 '"kind":"advise"' '"Status":1' '"Version":"4.2.0.17"' '"SiteDBVersion":"2026.12.6.3"' ||
    fail "no full status push with the engine running and its four versions"

step "2. RequestSBSetting: the ten settings"
n=$(lines "$CONSOLE_OUT")
console "query RequestSBSetting"
wait_line "$n" "$CONSOLE_OUT" 10 '"kind":"reply"' 'RequestSBSetting' '"EnableAutoUpdate"' '"EnableVirtual"' ||
    fail "no reply to RequestSBSetting"

step "3. ApplySBSetting turns EnableScanSpy and EnableAutoUpdate off; vtctl sees the engine's options change"
console "query ApplySBSetting EnableScanSpy=false EnableAutoUpdate=false"
ok=0
for _ in $(seq 50); do
    a=$(vtctl option get EnableScanSpy 2>/dev/null)
    b=$(vtctl option get EnableAutoUpdate 2>/dev/null)
    case "$a $b" in *0*0*) ok=1; break ;; esac
    sleep 0.2
done
show "vtctl: $a"
show "vtctl: $b"
[ $ok = 1 ] || fail "the engine's options did not change"

step "4. Enable false, then true: the engine stops and starts, and each change is pushed"
n=$(lines "$CONSOLE_OUT")
console "enable false"
wait_line "$n" "$CONSOLE_OUT" 10 '"kind":"advise"' '"Status":0' || fail "no push with Status 0 after Enable false"
show "vtctl: $(vtctl status | grep "^engine:")"
n=$(lines "$CONSOLE_OUT")
console "enable true"
wait_line "$n" "$CONSOLE_OUT" 10 '"kind":"advise"' '"Status":1' || fail "no push with Status 1 after Enable true"

step "5. The host calls Perform: the user interface is asked to show its settings dialog"
n=$(lines "$CONSOLE_OUT")
h=$(lines "$HOST_OUT")
host perform
wait_line "$h" "$HOST_OUT" 10 "perform" || fail "Perform gave no result"
wait_line "$n" "$CONSOLE_OUT" 10 '"kind":"call"' 'ShowSBSettingDialog' || fail "no ShowSBSettingDialog call arrived"

step "6. The engine's statistics change: the plug-in's registry watch pushes the new counters"
n=$(lines "$CONSOLE_OUT")
vtctl stats set Suspicious 7 >/dev/null
wait_line "$n" "$CONSOLE_OUT" 5 '"kind":"update"' '"TotalSuspiciousBlocked":7' ||
    fail "no statistics update after the Suspicious counter changed"
n=$(lines "$CONSOLE_OUT")
vtctl stats bump BlockedA 3 >/dev/null
wait_line "$n" "$CONSOLE_OUT" 5 '"kind":"update"' '"TotalMaliciousBlocked":3' '"TotalSuspiciousBlocked":7' ||
    fail "no statistics update within a second or so after vtctl stats bump"

step "7. A failing engine call (GetStatistics): the pushes still go out, with zero counters"
vtctl fault set GetStatistics fail >/dev/null || fail "vtctl could not set the fault switch"
n=$(lines "$CONSOLE_OUT")
vtctl stats bump BlockedA 1 >/dev/null
wait_line "$n" "$CONSOLE_OUT" 5 '"kind":"update"' '"TotalMaliciousBlocked":0' '"TotalSuspiciousBlocked":0' ||
    fail "no statistics update with zero counters while GetStatistics fails"
n=$(lines "$CONSOLE_OUT")
console "enable true"
wait_line "$n" "$CONSOLE_OUT" 10 '"kind":"advise"' '"Status":1' '"TotalSuspiciousBlocked":0' ||
    fail "no full push with zero counters while GetStatistics fails"
vtctl fault clear >/dev/null

step "8. The host destroys the client: the user interface gets Status 0"
n=$(lines "$CONSOLE_OUT")
host destroy
wait_line "$n" "$CONSOLE_OUT" 10 '"kind":"update"' '"Status":0' || fail "no Status 0 after Destroy"

console quit
exec 3>&- 4>&-
wait "$CONSOLE_PID" 2>/dev/null
wait "$HOST_PID" 2>/dev/null
CONSOLE_PID=
HOST_PID=
echo
echo "--- the host's own lines:"
sed 's/^/   /' "$HOST_OUT"
echo
echo "demo: every step was seen"
finish 0
