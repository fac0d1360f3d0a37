#!/usr/bin/env bash
# Instructions per operation spent inside libtovrick (callbacks excluded),
# counted by callgrind: repeatable on any machine, whatever its load.
#   bench/instructions.sh [BUILD_DIR]     (default build/bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
command -v valgrind >/dev/null || { echo "valgrind is needed (apt-get install valgrind)"; exit 1; }
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOVRICK_BUILD_TESTS=OFF -DTOVRICK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target instr_driver -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
driver=$build/bench/instr_driver
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%-16s %12s   %s\n' operation "instr/op" "(256 sets x 4 ways, 8-byte ids, full sets)"
for scenario in insert_hit insert_hit_front insert_miss lookup_hit lookup_hit_front lookup_miss remove_insert dirty_clear lock_unlock flush_scan; do
    valgrind --tool=callgrind --callgrind-out-file="$work/out" --collect-atstart=no \
        --toggle-collect=measure "$driver" "$scenario" 2>/dev/null
    # Self cost of every function in the library's object.
    total=$(callgrind_annotate --threshold=100 "$work/out" 2>/dev/null |
        awk '/libtovrick/ { gsub(",", "", $1); sum += $1 } END { print sum + 0 }')
    case $scenario in
    flush_scan) per=$(awk -v t="$total" 'BEGIN { printf "%.3f", t / (200 * 65536) }'); unit="per empty set (65536 sets, one dirty tag in the last)" ;;
    remove_insert) per=$(awk -v t="$total" 'BEGIN { printf "%.1f", t / 100000 }'); unit="remove_id + insert" ;;
    dirty_clear) per=$(awk -v t="$total" 'BEGIN { printf "%.1f", t / 100000 }'); unit="set_dirty + clear_dirty" ;;
    lock_unlock) per=$(awk -v t="$total" 'BEGIN { printf "%.1f", t / 100000 }'); unit="lock + unlock" ;;
    *_front) per=$(awk -v t="$total" 'BEGIN { printf "%.1f", t / 100000 }'); unit="the id at the front: one comparison" ;;
    *_hit) per=$(awk -v t="$total" 'BEGIN { printf "%.1f", t / 100000 }'); unit="uniform over held ids: 2.5 comparisons on average" ;;
    *_miss) per=$(awk -v t="$total" 'BEGIN { printf "%.1f", t / 100000 }'); unit="4 comparisons" ;;
    esac
    printf '%-16s %12s   %s\n' "$scenario" "$per" "$unit"
done
