#!/usr/bin/env bash
# Runs every test: the native suite, then each further stage that exists
# (sanitizers, fuzzing, the Windows build under Wine). Each stage installs
# what it needs itself.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/test-native.sh
for stage in sanitize fuzz windows; do
  if [ -f "scripts/test-$stage.sh" ]; then
    echo "=== stage: $stage"
    bash "scripts/test-$stage.sh"
  fi
done
