#!/usr/bin/env bash
# Sanitizer stage: builds the whole suite with the address and undefined-
# behaviour sanitizers (leak checking included) into build-asan and runs it.
# The model test runs fewer sequences here (VELKOR_MODEL_SEQUENCES). Then
# builds the library and its host on several threads with ThreadSanitizer
# into build-tsan and runs that host.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_SANITIZE=ON
cmake --build build-asan -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export VELKOR_MODEL_SEQUENCES=${VELKOR_MODEL_SEQUENCES:-400}

# Hosts that are not built with the sanitizers (the Python interpreter, the
# installed consumer) load the instrumented library only with the sanitizer
# runtime preloaded, and with the C++ runtime preloaded beside it (a host
# that loads no C++ library leaves the sanitizer no real function behind its
# hook on thrown exceptions). The tools that run along (cmake, the compiler,
# the interpreter) are not ours, so leaks are not checked in that run.
hosted='^(python_binding|install_consumer)$'
ctest --test-dir build-asan --output-on-failure -j"$(nproc)" -E "$hosted"
cxx=${CXX:-c++}
LD_PRELOAD="$($cxx -print-file-name=libasan.so) $($cxx -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0 ctest --test-dir build-asan --output-on-failure -R "$hosted"

# ThreadSanitizer reports any two threads that touch the same memory without
# order, whether or not the run happens to crash. Only the library and the
# host on several threads are built with it; its runtime comes with g++
# (libtsan, a dependency of GCC's own development package).
tsan="-fsanitize=thread -fno-omit-frame-pointer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS="$tsan" \
  -DCMAKE_CXX_FLAGS="$tsan" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread
cmake --build build-tsan -j"$(nproc)" --target velkor_thread_host
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
  ctest --test-dir build-tsan --output-on-failure -R '^api\.thread_host$'
