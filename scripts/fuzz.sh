#!/usr/bin/env bash
# Runs the libFuzzer target for a number of seconds (default 60).
#   scripts/fuzz.sh [SECONDS] [libFuzzer options...]
# New inputs go to build/fuzz/corpus; the committed seeds are read only.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTOVRICK_SANITIZE=address,undefined -DTOVRICK_FUZZ=ON -DTOVRICK_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/fuzz --target fuzz_ops -j "$(nproc 2>/dev/null || echo 2)"
mkdir -p build/fuzz/corpus
build/fuzz/tests/fuzz_ops -max_total_time="$seconds" -print_final_stats=1 -max_len=4096 \
    "$@" build/fuzz/corpus tests/fuzz/corpus
