#!/usr/bin/env bash
# The tool's 'add' against the library's own bulk load, on the 2,500 mails of
# the benchmark corpus's easy-ham-1 group (raw mails, normalised by both).
#
#   bash scripts/bench-add.sh        5 runs of each, alternating; medians
#
# The driver (bench/bulk_driver.cpp) reads and normalises the mails before
# its clock starts and times open, indexing, save and close; the tool is
# timed as a user meets it, from start to exit, file reading included.
# VELKOR_ADD_RUNS sets the number of runs.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make pkg-config libsqlite3-dev libxapian-dev libcli11-dev)
command -v npm >/dev/null 2>&1 || packages+=(npm)
bash scripts/install-deps.sh "${packages[@]}"
corpus=$(bash scripts/fetch-corpus.sh)

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_BENCH=ON \
  -DVELKOR_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target velkor-bulk-driver velkor-index >/dev/null

work=build-bench/add-work
rm -rf "$work"
mkdir -p "$work/mails"
cp "$corpus"/easy-ham-1/*.txt "$work/mails/"
echo "mails: $(ls "$work/mails" | wc -l), $(cat "$work"/mails/* | wc -c) bytes"

tool=build-bench/tools/velkor-index/velkor-index
driver=build-bench/bench/velkor-bulk-driver
runs=${VELKOR_ADD_RUNS:-5}
tool_times=() driver_times=()
for _ in $(seq "$runs"); do
  driver_times+=("$("$driver" "$work/mails" "$work/driver.idx" | cut -d' ' -f1)")
  "$tool" create --force "$work/tool.idx" >/dev/null
  start=$EPOCHREALTIME
  "$tool" add --quiet --normalize "$work/tool.idx" "$work/mails" >/dev/null
  tool_times+=("$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')")
done
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
tool_median=$(median "${tool_times[@]}")
driver_median=$(median "${driver_times[@]}")
echo "library bulk load (open to close): ${driver_times[*]} s; median $driver_median s"
echo "velkor-index add --normalize:      ${tool_times[*]} s; median $tool_median s"
echo "ratio: $(awk -v a="$tool_median" -v b="$driver_median" 'BEGIN { printf "%.2f", a / b }')"
echo "distinct tokens: driver $("$driver" "$work/mails" "$work/driver.idx" | cut -d' ' -f6)," \
  "tool $("$tool" stats "$work/tool.idx" | awk '$1 == "tokens" { print $2 }')"
