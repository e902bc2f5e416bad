#!/usr/bin/env bash
# The road of a print job through the configuration tool, in a private
# network namespace (scripts/netns-run): simulated printers answer the
# tool's search, vlmhost serves the ports on a fresh system root, and
# vlmconfig runs on your display. Try: Port Management > Add Port (COM3),
# STEP 1, choose a printer, STEP 2 > Save (the printer confirms), STEP 3.
# Without a display (or with --headless) the same road is driven through
# the real widgets, and the screenshots of its dialogs are listed.
#   scripts/vlmconfig-demo.sh [--headless]
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build/default

if [[ ${1:-} == --inside ]]; then
  root=$(mktemp -d /tmp/vlmconfig-demo.XXXXXX)
  mkdir -p "$root/jobs"
  pids=()
  trap 'kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$root"' EXIT
  "$build/host/vlmhost" --root "$root" >"$root/vlmhost.log" 2>&1 &
  pids+=($!)
  "$build/tools/vlmprinter/vlmprinter" --udp --interfaces 3 --mac 00:1b:4d:00:00:01 \
    --listen 127.0.0.1:0 --jobs "$root/jobs" >"$root/vlmprinter.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q serving "$root/vlmhost.log" && grep -q 'udp on' "$root/vlmprinter.log" && break
    sleep 0.1
  done
  echo "system root $root; three printers answer on 127.0.0.1-3"
  # The tool looks for its INF file in its current directory.
  (cd "$repo/driver" && VLM_SYSTEM_ROOT=$root "$build/config/vlmconfig")
  echo "what the printers received:"
  ls -l "$root/jobs"
  exit 0
fi

scripts/setup.sh >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default --target vlmconfig vlmhost vlmprinter test_tool_road
if [[ ${1:-} == --headless || -z ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]]; then
  QT_QPA_PLATFORM=offscreen scripts/netns-run "$build/tests/tool/test_tool_road"
  echo "the dialogs on the road:"
  ls "$build"/tests/tool/tool-screenshots/road-*.png
else
  exec scripts/netns-run "$0" --inside
fi
