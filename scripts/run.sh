#!/usr/bin/env bash
# Sets up, builds and starts the application.
#   scripts/run.sh          the archive in your data folder
#   scripts/run.sh --demo   a demo archive of generated scans in a temporary data folder
set -euo pipefail
cd "$(dirname "$0")/.."
demo=0
if [ "${1:-}" = "--demo" ]; then
  demo=1
  shift
fi
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
if [ ! -x build/app/quorvel-ink ]; then
  echo "The application is not built yet: only the core library and its tests exist so far."
  exit 0
fi
export OMP_THREAD_LIMIT=1
if [ "$demo" = 1 ]; then
  XDG_DATA_HOME="$(mktemp -d -t quorvel-demo.XXXXXX)"
  export XDG_DATA_HOME
  unset QUORVEL_DATA
  echo "Making the demo archive in $XDG_DATA_HOME/QuorvelInk …"
  build/tools/make-demo-archive "$XDG_DATA_HOME/QuorvelInk" "$XDG_DATA_HOME/Demo scans"
fi
exec build/app/quorvel-ink "$@"
