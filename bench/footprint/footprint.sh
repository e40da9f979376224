#!/bin/bash
# bench/footprint/footprint.sh [BUILD_DIR] [MESSAGES]
#
# Footprint of tr111d, printed, nothing asserted:
# - the shared libraries it needs (runtime-check) and the size of the
#   binary, stripped (the build's strip, on a copy);
# - its private resident memory (Private_Clean + Private_Dirty of
#   /proc/PID/smaps: the pages no other process shares, i.e. what running
#   the daemon costs beside the libc every program of the gateway uses),
#   with its anonymous part (heap, stacks, written data), when idle after
#   start-up, after 127 devices were seeded, and after a load of MESSAGES
#   CHANGE_DB messages (default 10000) with ACS gets and sets beside them.
# With TR111_EMU set (a cross build run under qemu-user, as
# scripts/test-target does), every program runs under the emulator, and
# the process is qemu: the guest's own pages are then the mappings below
# 4 GiB (qemu reserves the whole 32-bit guest address space there, and its
# own code, translated-code cache and heap lie above it), so only those are
# counted; VmHWM, the emulator process's peak, is an upper bound only.
# The lab runs in a network namespace of its own, the daemon without debug
# output (as a gateway runs it). Targets: stripped binary at most 160 KiB,
# private memory after the load at most 512 KiB. Default BUILD_DIR: build
# (built with the benches, for bench/tr111load). Run as root.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)

if [ "${1:-}" = --inside ]; then
    build=$2
    messages=$3
    export TR111_BIN=$build/bin
    export TR111_RUN=$(mktemp -d /tmp/tr111-footprint.XXXXXX)
    lab=$repo/lab/scripts/lab
    load=$build/bench/tr111load
    EMU=${TR111_EMU:-}
    trap '"$lab" down >/dev/null 2>&1 || true; rm -rf "$TR111_RUN"' EXIT
    trap 'exit 143' TERM
    trap 'exit 130' INT
    trap 'exit 129' HUP
    "$lab" up >/dev/null
    pid=$(cat "$TR111_RUN/pid/tr111d.pid")
    kib() { awk -v k="$1" '$1 == k":" {print $2}' "/proc/$pid/status"; }
    # "private anonymous" in KiB over the mappings counted (see above).
    own() {
        awk -v guest="${TR111_EMU:+1}" '
            /^[0-9a-f]+-[0-9a-f]+ / { split($1, r, "-"); n = !guest || length(r[2]) <= 8 || r[2] == "100000000" }
            n && ($1 == "Private_Clean:" || $1 == "Private_Dirty:") { p += $2 }
            n && $1 == "Anonymous:" { a += $2 }
            END { print p + 0, a + 0 }' "/proc/$pid/smaps"
    }
    report() {
        local p a
        read -r p a < <(own)
        printf '%-28s private %5s KiB (anonymous %5s KiB)   VmHWM %6s KiB   threads %s\n' "$1" \
            "$p" "$a" "$(kib VmHWM)" "$(kib Threads)"
    }
    settle() {
        local i
        for i in $(seq 1 600); do
            $EMU "$build/bin/mgmt" status | grep -q '^queued: 0' && break
            sleep 0.1
        done
        sleep 1
    }
    report "idle after start-up"
    $EMU "$load" seed 127 >/dev/null
    $EMU "$load" wait-events 127 600 >/dev/null
    settle
    report "127 devices seeded"
    result=$($EMU "$load" mixed "$messages" 1000 127)
    settle
    report "after the load"
    echo "load: $result"
    echo "private memory by mapping after the load (KiB):"
    awk -v guest="${TR111_EMU:+1}" '
        /^[0-9a-f]+-[0-9a-f]+ / { split($1, r, "-"); n = !guest || length(r[2]) <= 8 || r[2] == "100000000"
                                  name = NF >= 6 ? $6 : "(anonymous: heap, stacks)" }
        n && ($1 == "Private_Clean:" || $1 == "Private_Dirty:") { sum[name] += $2 }
        END { for (m in sum) if (sum[m] > 0) printf "  %5d  %s\n", sum[m], m }' "/proc/$pid/smaps" | sort -rn
    read -r private _ < <(own)
    echo "private memory after the load: $private KiB, target at most 512 KiB:" \
        "$([ "$private" -le 512 ] && echo met || echo MISSED)"
    exit 0
fi

build=$(cd "${1:-$repo/build}" && pwd)
messages=${2:-10000}
cmake --build "$build" -j2 --target tr111d confd conf mgmtd mgmt tr69agent tr111load >/dev/null
"$repo/bench/footprint/runtime-check" "$build" || true
copy=$(mktemp /tmp/tr111d-stripped.XXXXXX)
"$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$build/CMakeCache.txt")" --strip-all -o "$copy" "$build/bin/tr111d"
size=$(stat -c %s "$copy")
rm -f "$copy"
echo "tr111d stripped: $size bytes ($((size / 1024)) KiB), target at most 160 KiB:" \
    "$([ "$size" -le $((160 * 1024)) ] && echo met || echo MISSED)"
exec "$repo/tests/netns-run" "$0" --inside "$build" "$messages"
