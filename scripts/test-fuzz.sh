#!/usr/bin/env bash
# Fuzzing stage: builds the fuzz targets with clang (libFuzzer, address and
# undefined-behaviour sanitizers) into build-fuzz and runs each for a bounded
# time, starting from the committed seed corpus.
#
#   VELKOR_FUZZ_SECONDS   seconds per target (default 60)
#   VELKOR_FUZZ_TARGETS   targets to run (default "open ops")
#
# Limits: an input is at most 16 KiB; no single allocation may exceed 64 MiB
# (4,000 times the largest input: the engine reads counts and lengths from
# the file and must never trust them ahead of the bytes that are there), the
# whole process stays under 512 MiB, and one input may take at most 10 s.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh clang-14 libclang-rt-14-dev

seconds=${VELKOR_FUZZ_SECONDS:-60}
targets=${VELKOR_FUZZ_TARGETS:-"open ops"}
CC=clang-14 CXX=clang++-14 cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz -j"$(nproc)"

# The address sanitizer's quarantine is kept small so that the memory limit
# measures the engine, not the sanitizer's bookkeeping.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64:detect_leaks=1}
for target in $targets; do
  work=build-fuzz/corpus-$target
  artifacts=build-fuzz/artifacts-$target
  mkdir -p "$work" "$artifacts"
  echo "=== fuzz: $target for ${seconds}s"
  "build-fuzz/velkor_${target}_fuzzer" -max_total_time="$seconds" -max_len=16384 \
    -rss_limit_mb=512 -malloc_limit_mb=64 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$target"
done
