#!/bin/sh
# Sets everything up on a fresh Debian machine (as root), builds the host and
# runs the demo: a whole card session through the host against a virtual card,
# printed request by request.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF >/dev/null
ninja -C "$build" vorn-scard-bridge vorn-scard-bridge-talk vorn-scard-bridge-demo
"$root/scripts/ensure-pcscd.sh"
exec "$build/tools/demo/vorn-scard-bridge-demo" --host "$build/vorn-scard-bridge"
