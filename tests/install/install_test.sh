#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds a tiny consumer
# against it twice: with find_package(velkor_index) and with pkg-config.
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libvelkor_index.so' | head -n1)")
readelf -d "$libdir/libvelkor_index.so" | grep -q 'SONAME.*libvelkor_index.so.1'

cmake -S "$source/consumer" -B "$work/cm" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cm" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cm/consumer" "$work/a.idx"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c99 -o "$work/pc" "$source/consumer/consumer.c" $(pkg-config --cflags --libs velkor_index)
LD_LIBRARY_PATH="$libdir" "$work/pc" "$work/b.idx"
