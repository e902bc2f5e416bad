#!/usr/bin/env bash
# The road of a print job through the configuration tool, in a private
# network namespace (scripts/netns-run): simulated printers (vlmprinter)
# answer the tool's search, vlmhost serves the ports on a fresh system root,
# and vlmconfig runs on your display. Try: Port Management > Add Port
# (COM3), STEP 1, choose a printer, STEP 2 > Save (the printer confirms),
# STEP 3; the printers' jobs are listed when the tool ends.
#
# Without a display (or with --headless) the same road is driven through
# the real widgets offscreen: Add Port, the search, the configuration, the
# test page, a job from a serial program through COM3's terminal, Detach,
# Delete All Port and the restart; each step is printed, and the paths of
# the dialogs' screenshots at the end.
#   scripts/demo.sh [--headless]
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build/default

if [[ ${1:-} == --inside ]]; then
  # In the private namespace: the printers, vlmhost, then the tool.
  root=$(mktemp -d "${TMPDIR:-/tmp}/vlmdemo.XXXXXX")
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
  (cd "$repo/driver" && VLM_SYSTEM_ROOT=$root "$build/config/vlmconfig") || echo "demo: vlmconfig ended with status $?"
  echo "what the printers received:"
  grep '^job' "$root/vlmprinter.log" || echo "  nothing"
  exit 0
fi

headless=false
if [[ ${1:-} == --headless || -z ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]]; then
  headless=true
elif [[ -z ${WAYLAND_DISPLAY:-} && ${DISPLAY%%:*} != "" && ${DISPLAY%%:*} != unix ]]; then
  # A display reached over the network (ssh -X) is out of the private
  # namespace's reach.
  echo "demo: DISPLAY=$DISPLAY is reached over the network; driving the road offscreen instead"
  headless=true
fi

scripts/setup.sh >/dev/null
cmake --preset default >/dev/null
targets=(vlmconfig vlmhost vlmprinter)
$headless && targets+=(test_tool_road)
echo "== building ${targets[*]} (the first time takes several minutes)"
if ! cmake --build --preset default --target "${targets[@]}" >"$build/demo-build.log" 2>&1; then
  tail -n 30 "$build/demo-build.log"
  echo "demo: the build failed (all of it in $build/demo-build.log)" >&2
  exit 1
fi

if ! $headless; then
  exec scripts/netns-run "$0" --inside
fi

shots=$build/tests/config/tool-screenshots
rm -f "$shots"/road-*.png
log=$build/demo-road.log
echo "== the road through the tool, offscreen"
if ! QT_QPA_PLATFORM=offscreen scripts/netns-run "$build/tests/config/test_tool_road" >"$log" 2>&1; then
  cat "$log"
  echo "demo: the road stopped (its whole output above)" >&2
  exit 1
fi
sed -n 's/^QINFO  : [^ ]* road: \(.*\)/  \1/p' "$log" | sed 's/; screenshot .*//'
echo "== the dialogs on the road"
ls -1 "$shots"/road-*.png
