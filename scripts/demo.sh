#!/usr/bin/env bash
# Sets up, builds, and runs vlmhost on a fresh system root with one virtual
# port device node (COM3): the kernel starts, VLMQUENTARO names the port,
# and vlmhost reports the links, the SERIALCOMM value and the interface.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vlmhost
root=$(mktemp -d "${TMPDIR:-/tmp}/vlmdemo.XXXXXX")
trap 'rm -rf "$root"' EXIT
build/default/host/vlmhost --root "$root" --create-port COM3 --once "$@"
