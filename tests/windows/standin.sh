# Sourced by the scripts of tests/windows after wine_prefix.sh: puts the stand-in
# WinSCard (tests/windows/winscard) in the prefix in place of Wine's stub and starts its
# relay to pcsc-lite, which ends with the script; `host` is then a program that runs
# the Windows host under Wine with the arguments and environment it is given. Set
# `windows_build` and `linux_build` (the builds with the DLL and with the relay) before
# sourcing it.
# The Wine server stays up between hosts: by default it ends 3 s after the last
# program, and a host started just then fails at once.
wineserver -k 2>/dev/null || true
wineserver -w
wineserver -p </dev/null >/dev/null 2>&1
cp "$windows_build/tests/windows/winscard/winscard.dll" "$prefix/drive_c/windows/system32/winscard.dll"
export WINEDLLOVERRIDES="winscard=n"

relay_port="$prefix/relay-port"
"$linux_build/tests/windows/winscard/vorn-winscard-relay" "$relay_port" &
relay=$!
trap 'kill $relay 2>/dev/null || true; WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT INT TERM
i=0
while [ ! -s "$relay_port" ] && [ $i -lt 100 ]; do
    kill -0 $relay 2>/dev/null || fail "the WinSCard relay did not start"
    sleep 0.1
    i=$((i + 1))
done
[ -s "$relay_port" ] || fail "the WinSCard relay did not start"
export VORN_WINSCARD_RELAY="127.0.0.1:$(cat "$relay_port")"

host="$prefix/host.sh"
printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$(cd "$windows_build" && pwd)/vorn-scard-bridge.exe" >"$host"
chmod +x "$host"
