#!/usr/bin/env bash
# Runs a command as a device on a link of its own: in a fresh network
# namespace whose eth0 the test moves in (one end of a veth pair).
#
#   in_namespace.sh A.B.C.D/NN [A.B.C.D/NN...] -- COMMAND [ARGS...]
#
# Says "namespace pid N" first, waits (bounded) for eth0, gives it the
# addresses, brings it and lo up, then runs the command. Started through
# `unshare --net`; the namespace ends with the command.
set -euo pipefail
addresses=()
while [[ $# -gt 0 && $1 != -- ]]; do addresses+=("$1"); shift; done
shift
echo "namespace pid $$"
for _ in $(seq 1 2000); do
  grep -q '^ *eth0:' /proc/self/net/dev && break
  sleep 0.005
done
grep -q '^ *eth0:' /proc/self/net/dev || { echo "no eth0 appeared" >&2; exit 1; }
ip link set lo up
for address in "${addresses[@]}"; do ip addr add "$address" dev eth0; done
ip link set eth0 up
exec "$@"
