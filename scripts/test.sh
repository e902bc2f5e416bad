#!/usr/bin/env bash
# Sets up, builds and runs every test: the default preset, then the same
# tests under AddressSanitizer + UndefinedBehaviorSanitizer.
#   scripts/test.sh [preset...]     (default: "default asan")
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan)
for p in "${presets[@]}"; do
  echo "=== preset $p"
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p"
  ctest --preset "$p" -j2
done
