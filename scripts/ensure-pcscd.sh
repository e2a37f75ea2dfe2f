#!/bin/sh
# Makes sure the PC/SC daemon runs (one per machine, socket /run/pcscd/pcscd.comm):
# reuses a running one, starts /usr/sbin/pcscd otherwise. The vpcd driver of
# vsmartcard-vpcd then gives it the readers "Virtual PCD 00 00" and "00 01".
set -eu
socket=/run/pcscd/pcscd.comm
pidfile=/run/pcscd/pcscd.pid
running() {
    [ -S "$socket" ] && [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null
}
if running; then
    exit 0
fi
if [ ! -x /usr/sbin/pcscd ]; then
    echo "pcscd is not installed: apt-get install pcscd vsmartcard-vpcd" >&2
    exit 1
fi
/usr/sbin/pcscd
i=0
while ! running; do
    i=$((i + 1))
    if [ $i -gt 100 ]; then
        echo "pcscd did not start (is this root?)" >&2
        exit 1
    fi
    sleep 0.1
done
# The virtual readers appear once the driver has opened its ports.
sleep 0.5
