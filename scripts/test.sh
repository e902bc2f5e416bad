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
  # Once is enough: the check compiles with the cross compiler, whatever the
  # preset. It says SKIPPED when the cross compiler is not installed.
  if [ -z "${ddk_checked:-}" ]; then
    echo "=== DDK check: the driver against MinGW-w64's DDK headers"
    cmake --build --preset "$p" --target ddk-check
    ddk_checked=1
  fi
  ctest --preset "$p" -j2
done
