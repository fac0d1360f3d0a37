#!/usr/bin/env bash
# Compiles every ```c and ```cpp sample of a Markdown file, as C99 and C++17,
# with warnings as errors, so the documentation cannot drift from the code.
#   guide_samples.sh DOC CC CXX INCLUDE_DIR WORK_DIR
set -euo pipefail
doc=$1 cc=$2 cxx=$3 include=$4 work=$5/samples
rm -rf "$work"
mkdir -p "$work"
awk -v dir="$work" '
    /^```(c|cpp)$/ && !file { n++; file = sprintf("%s/sample_%02d.%s", dir, n, substr($0, 4)); next }
    /^```$/ && file { close(file); file = ""; next }
    file { print > file }
' "$doc"
count=0
for sample in "$work"/sample_*; do
    case $sample in
    *.c) "$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -I"$include" -c "$sample" -o "$sample.o" ;;
    *.cpp) "$cxx" -std=c++17 -Wall -Wextra -Wpedantic -Werror -I"$include" -c "$sample" -o "$sample.o" ;;
    esac || { echo "$(basename "$sample") of $doc does not compile"; exit 1; }
    count=$((count + 1))
done
[ "$count" -gt 0 ] || { echo "no samples found in $doc"; exit 1; }
echo "$count samples of $doc compile"
