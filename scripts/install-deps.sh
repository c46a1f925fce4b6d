#!/usr/bin/env bash
# Installs Debian packages that are missing; packages already present are
# left alone. Without arguments: what building and testing the library
# needs. With arguments: those packages (--no-recommends first to leave out
# recommended ones).
set -euo pipefail
options=()
if [ "${1:-}" = "--no-recommends" ]; then
  options+=(--no-install-recommends)
  shift
fi
packages=("$@")
if [ ${#packages[@]} -eq 0 ]; then
  # libcli11-dev: the tool's argument parsing. python3-venv and
  # python3-wheel-whl: the binding's pip install into a fresh environment,
  # offline.
  packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev python3
    python3-venv python3-wheel-whl binutils pkgconf)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
fi
