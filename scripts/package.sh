#!/usr/bin/env bash
# Builds the Debian package vlm_<version>_amd64.deb from the default
# preset's build tree (configured and built if needed) and prints its path.
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
cd build/default
rm -f vlm_*_amd64.deb
cpack -G DEB >/dev/null
ls "$PWD"/vlm_*_amd64.deb
