#!/bin/sh
# Runs a command with a private pcscd and private vpcd ports (root only): a new
# mount namespace with its own /run/pcscd and a new network namespace with its
# own loopback, so that several test runs on one machine do not share readers.
#   scripts/hermetic.sh ctest --test-dir build -L e2e
set -eu
if [ "${VORN_HERMETIC_INNER:-}" != 1 ]; then
    VORN_HERMETIC_INNER=1 exec unshare --mount --net --fork --kill-child "$0" "$@"
fi
mount --make-rprivate /
mkdir -p /run/pcscd
mount -t tmpfs -o mode=0755 tmpfs /run/pcscd
ip link set lo up
status=0
"$@" || status=$?
if [ -f /run/pcscd/pcscd.pid ]; then
    kill "$(tr -d '\000' </run/pcscd/pcscd.pid)" 2>/dev/null || true
fi
exit $status
