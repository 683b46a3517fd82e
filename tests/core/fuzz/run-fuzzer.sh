#!/bin/sh
# Builds the configuration decoder fuzzer with clang and runs it.
#   tests/core/fuzz/run-fuzzer.sh [seconds]   (default 60)
# Crashing inputs are written to tests/core/testdata/nasconfig/ and replayed
# by the unit tests from then on.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
out=${KELVANE_FUZZ_BUILD:-$root/build/fuzz}
seconds=${1:-60}
mkdir -p "$out/corpus" "$root/tests/core/testdata/nasconfig"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" "$here/NASConfigFuzzer.cpp" "$root/core/NASConfig.cpp" "$root/core/JsonFields.cpp" \
  "$root/core/DecodingError.cpp" "$root/core/Date.cpp" -o "$out/nasconfig-fuzzer"
cp "$root"/tests/core/testdata/nasconfig/* "$out/corpus/" 2>/dev/null || true
"$out/nasconfig-fuzzer" -max_total_time="$seconds" -max_len=4096 \
  -artifact_prefix="$root/tests/core/testdata/nasconfig/" "$out/corpus"
