#!/usr/bin/env bash
# Sets up, builds and starts the application.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
if [ ! -x build/app/quorvel-ink ]; then
  echo "The application is not built yet: only the core library and its tests exist so far."
  exit 0
fi
export OMP_THREAD_LIMIT=1
exec build/app/quorvel-ink "$@"
