#!/usr/bin/env bash
# Builds everything and runs the example host on a default index file.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
./build/examples/velkor-example "${1:-example.idx}"
