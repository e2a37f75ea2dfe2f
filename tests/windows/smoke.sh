#!/bin/sh
# The Windows host, cross-built with mingw-w64, through its pipes under Wine: it
# answers healthcheck and get_version, answers establish_context with the error of
# Wine's WinSCard (a stub: PC/SC itself cannot be tried here), and ends when its
# input ends.
#   tests/windows/smoke.sh HOST.exe TALK
# HOST.exe: the Windows host; TALK: a Linux build of vorn-scard-bridge-talk.
set -eu
host=$1
talk=$2
test_name="windows smoke test"
. "$(dirname "$0")/wine_prefix.sh"

wrapper="$prefix/host.sh"
printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$host" >"$wrapper"
chmod +x "$wrapper"

answers=$(printf '%s\n' healthcheck get_version '{"command":"establish_context"}' |
    "$talk" --host "$wrapper" --timeout 60000)
echo "$answers"
echo "$answers" | grep -qx '{"requestId":"1","result":\["OK"\],"status":"success"}' ||
    fail "no healthcheck answer"
echo "$answers" | grep -q '{"requestId":"2","result":"[0-9.]*","status":"success"}' ||
    fail "no get_version answer"
echo "$answers" | grep -q '"requestId":"3","result":\["0x8010[0-9A-F]*","Error in handle_smartcard_establish_context: ' ||
    fail "establish_context was not answered with the service's error"
echo "windows smoke test: passed"
