#!/bin/sh
# The Windows build (cross-built with mingw-w64) under Wine, in a fresh Wine prefix:
#   1. the unit tests (unit_tests.exe, on the fake PC/SC service);
#   2. the host through its pipes: it answers healthcheck and get_version, answers
#      establish_context with the error of Wine's WinSCard (a stub: PC/SC itself
#      cannot be tried here), and ends when its input ends, or when its output
#      is closed while its input stays open;
#   3. the installer's round trip through the registry (installer_registry.sh, in
#      a prefix of its own);
#   4. the MSIs' install and removal (msi_round_trip.sh, in a prefix of its own).
#
#   tests/windows/run.sh BUILD_DIR TALK
# BUILD_DIR: the Windows build; TALK: a Linux build of vorn-scard-bridge-talk.
# Exits non-zero at the first step that fails.
set -eu
build=$1
talk=$2
test_name="windows tests"
. "$(dirname "$0")/wine_prefix.sh"
step() { echo "== windows: $*"; }

step "unit tests"
wine "$build/tests/unit_tests.exe" --gtest_brief=1 </dev/null || fail "unit tests failed"

step "the host through its pipes"
wrapper="$prefix/host.sh"
printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$build/vorn-scard-bridge.exe" >"$wrapper"
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

step "the host ends when the browser stops reading, its input still open"
# A 53-byte request; its answer is read in part, then nobody reads.
request='{"command":"healthcheck","requestId":"1","params":[]}'
ended="$prefix/host-ended"
held="$prefix/input-held"
(
    printf '\065\000\000\000%s' "$request"
    sleep 2
    printf '\065\000\000\000%s' "$request"
    # The input stays open until the host has ended, for at most 40 s.
    i=0
    while [ ! -e "$ended" ] && [ $i -lt 40 ]; do
        sleep 1
        i=$((i + 1))
    done
    [ -e "$ended" ] || touch "$held"
) | {
    timeout 60 wine "$build/vorn-scard-bridge.exe" 2>/dev/null || true
    touch "$ended"
} | head -c 1 >/dev/null
[ ! -e "$held" ] || fail "the host kept reading after its answers could not be written"

step "the installer and the registry"
"$(dirname "$0")/installer_registry.sh" "$build/tools/installer/vorn-scard-bridge-installer.exe" \
    "$build/vorn-scard-bridge.exe" || fail "the installer's registry round trip failed"
step "the MSIs: install, registration, doctor, removal"
"$(dirname "$0")/msi_round_trip.sh" "$build"/vorn-scard-bridge-*-win64.msi \
    "$build"/vorn-scard-bridge-*-win64-machine.msi || fail "the MSI round trip failed"

echo "windows tests: passed"
