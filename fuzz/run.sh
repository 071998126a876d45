#!/bin/sh
# Builds the fuzz targets natively with clang (libFuzzer, ASan, UBSan) into
# build/fuzz and runs each for SECONDS, one after the other.
#   fuzz/run.sh SECONDS [TARGET...]    every target of fuzz/CMakeLists.txt when none is named
# Each target first runs the inputs of fuzz/regressions/TARGET (faults found
# before), then fuzzes from its seeds (fuzz/corpus/TARGET, never written) and
# its growing corpus (build/fuzz/corpus/TARGET). An input that crashes or
# breaks a property is kept in build/fuzz/crashes/TARGET/ and printed in hex;
# the whole log is build/fuzz/logs/TARGET.log.
# Exit codes: 0 no target failed, 1 a target crashed or broke a property,
# 2 bad arguments or the build failed.
set -u
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=$ROOT/build/fuzz

usage() {
    sed -n '2,12s/^# \{0,1\}//p' "$0"
}

case "${1:-}" in
    -h|--help) usage; exit 0 ;;
    ''|*[!0-9]*) echo "fuzz/run.sh: SECONDS must be a whole number of seconds (try --help)" >&2; exit 2 ;;
esac
SECONDS_EACH=$1
shift

CXX_FUZZ=$(command -v clang++-14 || command -v clang++) ||
    { echo "fuzz/run.sh: no clang++ (scripts/setup.sh installs clang and libclang-rt-14-dev)" >&2; exit 2; }
if [ ! -f "$OUT/build.ninja" ]; then
    LAUNCHER=
    command -v ccache >/dev/null 2>&1 && LAUNCHER=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
    cmake -S fuzz -B "$OUT" -G Ninja -DCMAKE_CXX_COMPILER="$CXX_FUZZ" $LAUNCHER >"$OUT.configure.log" 2>&1 ||
        { cat "$OUT.configure.log" >&2; echo "fuzz/run.sh: configure failed" >&2; exit 2; }
fi
cmake --build "$OUT" -j 2 >"$OUT/build.log" 2>&1 ||
    { cat "$OUT/build.log" >&2; echo "fuzz/run.sh: build failed" >&2; exit 2; }

if [ $# -eq 0 ]; then
    set -- $(cat "$OUT/targets.txt")
fi
for target in "$@"; do
    grep -qx "$target" "$OUT/targets.txt" ||
        { echo "fuzz/run.sh: unknown target '$target' (known: $(tr '\n' ' ' < "$OUT/targets.txt"))" >&2; exit 2; }
done

# Prints the path of the input that a failed run kept, its first bytes in hex,
# and the end of the log with the sanitizer's report or the broken property.
report_failure() {
    target=$1 log=$2
    kept=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
    echo "==fuzz== $target: FAILED; log $log"
    grep -E '^==fuzz==|ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error|^    #[0-9]' "$log" |
        sed 's/ (BuildId: [0-9a-f]*)//' | head -n 40
    if [ -n "$kept" ] && [ -f "$kept" ]; then
        echo "==fuzz== $target: input kept at $kept ($(wc -c < "$kept") bytes); reproduce: $OUT/$target $kept"
        od -An -tx1 -v "$kept" | head -n 16
    fi
}

failed=0
total=0
for target in "$@"; do
    corpus=$OUT/corpus/$target
    crashes=$OUT/crashes/$target
    log=$OUT/logs/$target.log
    mkdir -p "$corpus" "$crashes" "$OUT/logs"
    seeds=
    [ -d "fuzz/corpus/$target" ] && seeds=fuzz/corpus/$target

    if [ -d "fuzz/regressions/$target" ] && [ -n "$(ls -A "fuzz/regressions/$target")" ]; then
        if ! "$OUT/$target" -artifact_prefix="$crashes/" fuzz/regressions/"$target"/* >"$log" 2>&1; then
            echo "==fuzz== $target: a kept regression input fails again"
            report_failure "$target" "$log"
            failed=1
            continue
        fi
    fi

    # -timeout: one input that takes longer is a fault of its own (a decoder
    # must cost time linear in its input), kept like a crash.
    "$OUT/$target" -max_total_time="$SECONDS_EACH" -timeout=25 -print_final_stats=1 \
        -artifact_prefix="$crashes/" "$corpus" $seeds >"$log" 2>&1
    status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    total=$((total + ${runs:-0}))
    if [ $status -ne 0 ]; then
        report_failure "$target" "$log"
        failed=1
    else
        echo "==fuzz== $target: ${runs:-0} executions in ${SECONDS_EACH} s, corpus $(ls "$corpus" | wc -l) inputs, no failure"
    fi
done
echo "==fuzz== $total executions in all; $([ $failed -eq 0 ] && echo "no failure" || echo "FAILED")"
exit $failed
