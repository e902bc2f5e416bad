#!/usr/bin/env bash
# The whole system on a fresh system root: a simulated printer (vlmprinter),
# the kernel serving (vlmhost), one virtual port installed from the driver's
# INF file (vlmdevcon) and assigned to the printer (vlmreg), a job printed
# through the port's terminal the way a Linux serial program prints, and
# what the printer received.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default --target vlmhost vlmprinter vlmreg vlmdevcon >/dev/null
bin=$PWD/build/default
root=$(mktemp -d "${TMPDIR:-/tmp}/vlmdemo.XXXXXX")
export VLM_SYSTEM_ROOT=$root
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

# Waits (at most 20 s) until file $1 holds the text $2.
wait_for() {
  for _ in $(seq 200); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "demo: timed out waiting for '$2' in $1" >&2
  cat "$1" >&2 || true
  return 1
}

step() { printf '\n== %s\n' "$*"; }

step "the printer: vlmprinter on loopback"
mkdir -p "$root/jobs"
"$bin/tools/vlmprinter/vlmprinter" --listen 127.0.0.1:0 --jobs "$root/jobs" >"$root/printer.log" 2>&1 &
pids+=($!)
wait_for "$root/printer.log" "listening on"
cat "$root/printer.log"
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$root/printer.log")

step "the kernel: vlmhost on $root"
"$bin/host/vlmhost" --root "$root" >"$root/host.log" 2>&1 &
pids+=($!)
wait_for "$root/host.log" "serving"
cat "$root/host.log"

step "install one port from the driver's INF file"
(cd driver && "$bin/tools/vlmdevcon/vlmdevcon" install quentaro.INF 'Mirka\kordia') | tee "$root/install.log"
com=$(grep -o 'COM[0-9]*' "$root/install.log" | head -1)

step "assign $com to the printer at 127.0.0.1:$port"
key="HKLM\\SOFTWARE\\VELMORA\\KORDIA\\$com"
# The address's bytes in memory order (7F 00 00 01), the port in network order.
"$bin/tools/vlmreg/vlmreg" ADD "$key" /v IPAddress /t REG_DWORD /d 0x0100007F /f
"$bin/tools/vlmreg/vlmreg" ADD "$key" /v Port /t REG_DWORD /d $(( ((port & 0xFF) << 8) | (port >> 8) )) /f
"$bin/tools/vlmreg/vlmreg" ADD "$key" /v Port_ /t REG_DWORD /d "$port" /f
"$bin/tools/vlmreg/vlmreg" QUERY "$key"

step "print a job through $root/dosdevices/$com"
for _ in $(seq 200); do [ -e "$root/dosdevices/$com" ] && break; sleep 0.1; done
ls -l "$root/dosdevices/$com"
printf 'VLM demo job\r\nprinted through %s on %s\r\n\f' "$com" "$(date -u '+%Y-%m-%d %H:%M:%S UTC')" \
  >"$root/dosdevices/$com"

step "what the printer received"
wait_for "$root/printer.log" "^job 1:"
grep '^job' "$root/printer.log"
od -A d -c "$root/jobs/job-0001.prn"

step "stop vlmhost"
kill -TERM "${pids[1]}"
wait "${pids[1]}" || true
tail -n +$(( $(grep -n serving "$root/host.log" | cut -d: -f1) )) "$root/host.log"
