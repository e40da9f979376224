#!/bin/bash
# bench/footprint/footprint.sh [BUILD_DIR] [MESSAGES]
#
# Footprint of tr111d on this host, printed, nothing asserted:
# - the size of the binary, stripped (strip --strip-all on a copy);
# - its peak resident set (VmHWM) and anonymous resident memory (RssAnon,
#   the memory that is the process's own: heap, stacks, written data) when
#   idle after start-up, after 127 devices were seeded, and after a load of
#   MESSAGES CHANGE_DB messages (default 10000) with ACS gets and sets
#   running beside them.
# The lab runs in a network namespace of its own, the daemon without
# debug output (as a gateway runs it). Targets on x86-64: stripped binary
# under 200 KiB, RssAnon under 512 KiB. Default BUILD_DIR: build (built
# with the benches, for bench/tr111load). Run as root.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)

if [ "${1:-}" = --inside ]; then
    build=$2
    messages=$3
    export TR111_BIN=$build/bin
    export TR111_RUN=$(mktemp -d /tmp/tr111-footprint.XXXXXX)
    lab=$repo/lab/scripts/lab
    load=$build/bench/tr111load
    trap '"$lab" down >/dev/null 2>&1 || true; rm -rf "$TR111_RUN"' EXIT
    trap 'exit 143' TERM
    trap 'exit 130' INT
    trap 'exit 129' HUP
    "$lab" up >/dev/null
    pid=$(cat "$TR111_RUN/pid/tr111d.pid")
    kib() { awk -v k="$1" '$1 == k":" {print $2}' "/proc/$pid/status"; }
    report() {
        printf '%-34s VmHWM %6s KiB   RssAnon %5s KiB   VmRSS %6s KiB   threads %s\n' "$1" \
            "$(kib VmHWM)" "$(kib RssAnon)" "$(kib VmRSS)" "$(kib Threads)"
    }
    settle() {
        local i
        for i in $(seq 1 600); do
            "$build/bin/mgmt" status | grep -q '^queued: 0' && break
            sleep 0.1
        done
        sleep 1
    }
    report "idle after start-up"
    "$load" seed 127 >/dev/null
    "$load" wait-events 127 300 >/dev/null
    settle
    report "127 devices seeded"
    result=$("$load" mixed "$messages" 1000 127)
    settle
    report "after the load"
    echo "load: $result"
    echo "anonymous memory by mapping after the load (KiB):"
    awk '/^[0-9a-f]+-[0-9a-f]+ / {name = NF >= 6 ? $6 : "(anonymous: heaps, thread stacks)"}
         $1 == "Anonymous:" && $2 > 0 {sum[name] += $2}
         END {for (n in sum) printf "  %5d  %s\n", sum[n], n}' "/proc/$pid/smaps" | sort -rn
    anon=$(kib RssAnon)
    echo "RssAnon after the load: $anon KiB, target under 512 KiB: $([ "$anon" -lt 512 ] && echo met || echo MISSED)"
    exit 0
fi

build=${1:-$repo/build}
messages=${2:-10000}
cmake --build "$build" -j2 --target tr111d confd conf mgmtd mgmt tr69agent tr111load >/dev/null
copy=$(mktemp /tmp/tr111d-stripped.XXXXXX)
strip --strip-all -o "$copy" "$build/bin/tr111d"
size=$(stat -c %s "$copy")
rm -f "$copy"
echo "tr111d stripped: $size bytes ($((size / 1024)) KiB), target under 200 KiB:" \
    "$([ "$size" -lt $((200 * 1024)) ] && echo met || echo MISSED)"
size -A "$build/bin/tr111d" | awk '$1 ~ /^\.(text|rodata|data|bss)$/ {printf "  %-8s %7d bytes\n", $1, $2}'
exec "$repo/tests/netns-run" "$0" --inside "$build" "$messages"
