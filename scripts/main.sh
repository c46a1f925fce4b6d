#!/usr/bin/env bash
# The main job: builds everything, then runs the command-line tool end to end
# on the bundled sample texts into a default index file (velkor.idx, or the
# file given as the first argument), queries it and shows its counters.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target velkor_index velkor-index velkor-example
tool=./build/tools/velkor-index/velkor-index
index=${1:-velkor.idx}
"$tool" create --force "$index"
"$tool" add --normalize "$index" samples/texts
"$tool" query --normalize "$index" License freedom warranty copyleft
"$tool" stats "$index"
"$tool" check "$index"
