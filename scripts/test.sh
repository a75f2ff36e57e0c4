#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
#   scripts/test.sh             normal build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
# With ../shared/llama-server beside this folder, the suite also runs the real
# llama-server: scripts/install-reader.sh builds it once from the source archive
# there into .cache/llama-server/<archive digest>/, which both builds reuse.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON)
  # Any report fails the run; leaks are reports too.
  export ASAN_OPTIONS="abort_on_error=0:halt_on_error=1:detect_leaks=1:exitcode=23"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=23"
fi

source_archive=../shared/llama-server/llama.cpp-src.tar.xz
if [ -f "$source_archive" ]; then
  cache="$PWD/.cache/llama-server/$(sha256sum "$source_archive" | cut -c1-16)"
  if ! "$cache/llama-server" --version >/dev/null 2>&1; then
    started=$(date +%s)
    bash scripts/install-reader.sh --source "$source_archive" --bindir "$cache" --portable
    echo "test: llama-server built in $(( $(date +%s) - started )) s"
  fi
  flags+=(-DQUORVEL_LLAMA_SERVER="$cache/llama-server")
elif [ -n "${QUORVEL_REQUIRE_REAL_SERVER:-}" ]; then
  echo "test: $source_archive is missing, and the real llama-server is required" >&2
  exit 1
else
  echo "test: no $source_archive: the tests of the real llama-server are skipped"
fi

cmake -S . -B "$build" -G Ninja "${flags[@]}"
cmake --build "$build" -j "$(nproc)"
export OMP_THREAD_LIMIT=1 QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
