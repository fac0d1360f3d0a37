#!/usr/bin/env bash
# Builds and runs every test of the project, stage by stage:
#   gcc               the suite with warnings as errors, C programs under memcheck,
#                     the installed library consumed every way users consume it
#   clang-asan-ubsan  the suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   gcc-tsan          one cache per thread under ThreadSanitizer
#   gcc-m32           the suite as a 32-bit program
#   fuzz              libFuzzer for FUZZ_SECONDS (default 30) seconds
# Each stage has its own build tree under build/test-*.  A failing stage
# stops the run with a non-zero exit.  Missing tools are installed first
# (as root; otherwise the run names them and stops).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${FUZZ_SECONDS:-30}

stage() { printf '\n==== %s ====\n' "$*"; }

# Tests counted over every stage, for the closing line.
passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Runs ctest with the given arguments and adds its counts to the totals.
run_ctest() {
    local status=0
    ctest "$@" 2>&1 | tee "$log" || status=$?
    local summary
    summary=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
    if [ -n "$summary" ]; then
        local total bad
        bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
        total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    fi
    return "$status"
}

configure() {
    local name=$1
    shift
    cmake -S . -B "build/test-$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVRICK_WERROR=ON "$@" >/dev/null
}

# Configures, builds and runs the whole CTest suite of one build tree.
run_suite() {
    local name=$1
    shift
    stage "$name"
    configure "$name" "$@"
    cmake --build "build/test-$name" -j "$jobs"
    run_ctest --test-dir "build/test-$name" -j "$jobs" --output-on-failure
}

gcc_flags=(-DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++)
clang_flags=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)

run_suite gcc "${gcc_flags[@]}" -DTOVRICK_VALGRIND=ON -DTOVRICK_CONSUMER_TESTS=ON

run_suite clang-asan-ubsan "${clang_flags[@]}" -DTOVRICK_SANITIZE=address,undefined

stage gcc-tsan
configure gcc-tsan "${gcc_flags[@]}" -DTOVRICK_SANITIZE=thread -DTOVRICK_BUILD_EXAMPLES=OFF
cmake --build build/test-gcc-tsan -j "$jobs" --target threads_test
run_ctest --test-dir build/test-gcc-tsan -R '^Threads\.' --output-on-failure --no-tests=error

run_suite gcc-m32 "${gcc_flags[@]}" -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 \
    -DTOVRICK_GTEST_FROM_SOURCE=ON

stage "fuzz ($fuzz_seconds s)"
if compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
    bash scripts/fuzz.sh "$fuzz_seconds" 2>&1 | grep -E '^(stat::|Done|#[0-9]+ +DONE)|ERROR|SUMMARY'
else
    echo "skipped: Clang's libFuzzer runtime is not installed"
fi

stage "all stages passed"
echo "tests: $passed passed, $failed failed"
