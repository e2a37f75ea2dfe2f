#!/bin/sh
# Makes sure the PC/SC daemon runs with the virtual readers (one per machine).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/../tests/fixtures/start_pcscd.sh" "$@"
