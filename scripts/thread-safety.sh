#!/bin/sh
# Clang's thread-safety analysis (-Wthread-safety -Wthread-safety-beta -Werror,
# the beta part for the order of locks) over every product
# source: each .cpp that the build compiles outside tests/, bench/ and fuzz/,
# read from the build's own compile commands (so a new file is covered without
# a change here), with that command's defines and include folders. Clang parses
# them against the mingw-w64 headers of the cross compiler; nothing is built.
# Needs a configured and built tree (build/, generated sources included). The
# checks run through ninja in build/thread-safety/, so a second run looks
# again only at what changed.
#   sh scripts/thread-safety.sh [NAME]     NAME starts each line (the caller's name)
set -eu
cd "$(dirname "$0")/.."
who=${1:-thread-safety}
root=$(pwd)
out=build/thread-safety
gxx=x86_64-w64-mingw32-g++-posix

clang=""
for candidate in clang++ clang++-14; do
    if command -v "$candidate" >/dev/null 2>&1; then
        clang=$candidate
        break
    fi
done
if [ -z "$clang" ]; then
    echo "$who: clang++ not found (sh scripts/setup.sh installs it)" >&2
    exit 1
fi
if [ ! -f build/build.ninja ]; then
    echo "$who: no build/build.ninja: configure and build first (sh scripts/build.sh)" >&2
    exit 1
fi

# One argument as the shell and ninja read it: as it is when it holds only
# plain characters, else in single quotes (with $ doubled for ninja).
quote() {
    case $1 in
        *[!A-Za-z0-9_=./,+:-]*) printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g; s/\\$/\\$\\$/g")" ;;
        *) printf '%s' "$1" ;;
    esac
}
# A path in a ninja build line: $, blank and colon escaped.
ninja_path() {
    case $1 in
        *[\$\ :]*) printf '%s' "$1" | sed 's/\$/$$/g; s/ /$ /g; s/:/$:/g' ;;
        *) printf '%s' "$1" ;;
    esac
}

# The system include folders: clang's own first (its intrinsics and
# <stdarg.h>), then the cross compiler's C++ and mingw-w64 folders, without
# GCC's own intrinsics (and fixed-header) folders, whose builtins clang lacks.
resource=$("$clang" -print-resource-dir)
gcc_include=$("$gxx" -print-file-name=include)
gcc_fixed=$("$gxx" -print-file-name=include-fixed)
system="-isystem $(quote "$resource/include")"
for folder in $(echo | "$gxx" -x c++ -E -v - 2>&1 |
                sed -n '/^#include <\.\.\.> search starts here:/,/^End of search list\./p' | sed '1d;$d'); do
    folder=$(cd "$folder" && pwd)
    [ "$folder" = "$(cd "$gcc_include" && pwd)" ] && continue
    [ -d "$gcc_fixed" ] && [ "$folder" = "$(cd "$gcc_fixed" && pwd)" ] && continue
    system="$system -isystem $(quote "$folder")"
done

mkdir -p "$out"
manifest="$out/build.ninja"
{
    echo "# Written by scripts/thread-safety.sh on every run."
    echo "rule check"
    echo "  command = $clang --target=x86_64-w64-windows-gnu -std=c++20 -fsyntax-only -nostdinc -nostdinc++ $system" \
         "\$flags -Wthread-safety -Wthread-safety-beta -Werror -MD -MT \$out -MF \$out.d \$in && : > \$out"
    echo "  depfile = \$out.d"
    echo "  deps = gcc"
    echo "  description = thread-safety \$in"
} >"$manifest"

# One check per compiled source; the compile line gives its -D, -I, -isystem
# and -std arguments.
count=0
seen=" "
commands=$(ninja -C build -t commands | grep -E -- ' -c [^ ]+\.cpp$' || true)
while IFS= read -r command; do
    [ -n "$command" ] || continue
    eval "set -- $command"
    flags=""
    source=""
    while [ $# -gt 0 ]; do
        case $1 in
            -c) source=$2; shift ;;
            -isystem) flags="$flags -isystem $(quote "$2")"; shift ;;
            -D*|-I*|-std=*)
                case $1 in
                    *[!A-Za-z0-9_=./,+:-]*) flags="$flags $(quote "$1")" ;;
                    *) flags="$flags $1" ;;
                esac ;;
        esac
        shift
    done
    case $source in
        /*) ;;
        *) source="$root/build/$source" ;;
    esac
    relative=${source#"$root"/}
    case $relative in
        /*|tests/*|*/tests/*|bench/*|*/bench/*|fuzz/*|*/fuzz/*) continue ;;
    esac
    case $seen in *" $relative "*) continue ;; esac
    seen="$seen$relative "
    printf 'build checked/%s.ok: check %s\n  flags =%s\n' "$(ninja_path "$relative")" "$(ninja_path "$source")" \
           "$flags" >>"$manifest"
    count=$((count + 1))
done <<EOF
$commands
EOF

if [ "$count" -eq 0 ]; then
    echo "$who: no product sources found in the build's compile commands" >&2
    exit 1
fi
start=$(date +%s)
echo "$who: thread-safety analysis of $count sources ($("$clang" --version | head -n 1))"
log="$out/check.log"
# Every source is looked at (-k 0), so one run reports every finding; ninja's
# progress lines and the long clang command lines are left out of the report.
if ! ninja -C "$out" -k 0 -j "$(nproc)" >"$log" 2>&1; then
    echo "$who: the thread-safety analysis failed (full output in $log):" >&2
    grep -v -e '^\[[0-9]*/[0-9]*\]' -e "^$clang --target" -e '^ninja: ' "$log" | sed 's/^/  | /' >&2
    exit 1
fi
echo "$who: thread-safety analysis clean in $(( $(date +%s) - start )) s"
