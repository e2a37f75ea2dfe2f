#!/bin/sh
# Makes sure the PC/SC daemon runs with the vpcd virtual readers (one daemon per
# machine, socket /run/pcscd/pcscd.comm): reuses a running one, starts it otherwise.
set -eu
exec bash "$(cd "$(dirname "$0")/.." && pwd)/tests/fixtures/start_pcscd.sh" "$@"
