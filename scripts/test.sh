#!/usr/bin/env bash
# Sets up, builds and runs every test: the default preset, then the same
# tests under AddressSanitizer + UndefinedBehaviorSanitizer, then each
# fuzz target for a bounded time.
#   scripts/test.sh [preset...]     (default: "default asan fuzz")
# "fuzz" builds the libFuzzer targets with clang and runs each for
# $VLM_FUZZ_SECONDS seconds (default 25); an input that fails is kept and
# named. Any other name is a preset of CMakePresets.json whose tests run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan fuzz)

fuzz() {
  if ! command -v clang++ >/dev/null; then
    echo "=== fuzz: skipped: clang++ is not installed (scripts/setup.sh installs it)"
    return
  fi
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  local seconds=${VLM_FUZZ_SECONDS:-25}
  local work
  work=$(mktemp -d /tmp/vlm-fuzz-run-XXXXXX)
  local target
  for target in fuzz_ipc_decoders fuzz_inf_parser fuzz_serial_control; do
    local seeds=()
    if [ "$target" = fuzz_inf_parser ]; then
      seeds=(-seed_inputs="$PWD/driver/quentaro.INF,$PWD/driver/mirkaquentaro.INF")
    fi
    mkdir -p "$work/$target"
    # -timeout bounds one input, -max_total_time the run, timeout(1) a
    # run that would not end by itself.
    if ! timeout $((seconds + 120)) "build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" -timeout=30 \
        -artifact_prefix="$work/$target-" "${seeds[@]}" "$work/$target" >"$work/$target.log" 2>&1; then
      tail -n 60 "$work/$target.log"
      echo "=== fuzz: $target failed; its log and the failing input are in $work"
      exit 1
    fi
    grep -h "inputs run" "$work/$target.log"
  done
  rm -rf "$work"
}

# The Debian package from the default preset's tree: built, checked with
# lintian (errors fail), installed, its programs run from their installed
# paths, removed again.
package() {
  local SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  local deb
  deb=$(scripts/package.sh | tail -n 1)
  echo "=== package: $deb"
  lintian --fail-on error "$deb"
  $SUDO dpkg -i "$deb"
  local root
  root=$(mktemp -d /tmp/vlm-package-root-XXXXXX)
  local status=0
  $SUDO /usr/sbin/vlmhost --root "$root" --once >/dev/null || status=$?
  /usr/bin/vlmctl --help >/dev/null || status=$?
  $SUDO dpkg -r vlm
  rm -rf "$root"
  if [ "$status" -ne 0 ]; then
    echo "=== package: an installed program failed (status $status)"
    exit 1
  fi
}

# Every C and C++ file in the layout of .clang-format: a file that is not
# fails the run, named (clang-format -i FILE puts it right).
echo "=== format: clang-format --dry-run --Werror"
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

for p in "${presets[@]}"; do
  echo "=== preset $p"
  if [ "$p" = fuzz ]; then
    fuzz
    continue
  fi
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
  if [ "$p" = default ]; then
    package
  fi
done
