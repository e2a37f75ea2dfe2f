#!/bin/sh
# The adapter's Apple branch end to end on Linux: the host with its adapter built for
# Apple's PC/SC (vorn-scard-bridge-apple-abi, a target of the Linux build: the same core)
# and linked to the stand-in PCSC framework (tests/macos/pcsc: Apple's ABI and documented
# behaviours over the real pcscd), driven by the Linux end-to-end suite (e2e_tests)
# through its pipes, less what cannot hold on Apple (listed below), with the tests of
# what only Apple's PC/SC does (VORN_HOST_PCSC_ABI=apple: the PnP notification reader,
# which the framework does not support, comes back flagged unknown).
#
#   scripts/hermetic.sh tests/macos/run.sh LINUX_BUILD
# LINUX_BUILD: a Linux build with e2e_tests, vorn-scard-bridge-apple-abi and the test
# reader driver. Root only, inside scripts/hermetic.sh (a private pcscd that the test bed
# starts with our readers). Prints the number of tests run and excluded; exits non-zero
# when one fails. VORN_E2E_ONLY: a gtest pattern to run only some of them (default: all).
set -eu
linux_build=$(cd "$1" && pwd)
test_name="apple e2e"
. "$(cd "$(dirname "$0")/.." && pwd)/e2e_excluding.sh"
started=$(date +%s)
fail() {
    echo "$test_name: $*" >&2
    exit 1
}
if [ "${VORN_HERMETIC_INNER:-}" != 1 ]; then
    fail "run it inside scripts/hermetic.sh"
fi

# Tests left out, and why: a gtest pattern, then the reason.
reasons="
TestBedSmoke.*                                        the test bed alone, no host
ContextReaderCommands.PnpNotificationReaderIsPassedToTheService the PnP reader is not supported on Apple: ...TheServiceLacksComesBackFlaggedUnknown
FaultMemory.WaitsOnMoreReadersThanTheServiceTakesAreRefusedAtOnceBehindALongWait a wait on the PnP reader as the long wait
FaultMemory.TenOneMegabyteFramesBehindSixtyFourEndlessWaitsAreAllAnswered endless waits on the PnP reader
*/FaultUnreadOutput.*                                 endless waits on the PnP reader
*/FaultWedge.*                                        endless waits on the PnP reader
FaultWaits.ACancelAlsoEndsTheWaitsQueuedOnItsContext  endless waits on the PnP reader
FaultWaits.ACancelNeverEndsAWaitSentAfterItWhileOtherContextsAreBusy endless waits on the PnP reader
*FaultBusyRefusal.*                                   endless waits on the PnP reader
FaultCancel.AThreeSecondWaitSentWithItsCancelEndsCancelledEveryTime a wait on the PnP reader as the wait a cancel ends
FaultCancel.AnEndlessWaitSentWithItsCancelNeverStaysPending a wait on the PnP reader as the wait a cancel ends
"

host="$linux_build/tests/vorn-scard-bridge-apple-abi"
ldd "$host" | grep -q 'libvorn-apple-pcsc\.so' || fail "the host is not linked to the stand-in"
! ldd "$host" | grep -q 'libpcsclite' || fail "the host is linked to pcsc-lite"

export VORN_HOST_UNDER_TEST="$host"
# Runs the tests of what only Apple's PC/SC does (the PnP reader flagged unknown).
export VORN_HOST_PCSC_ABI=apple
run_e2e_excluding "$test_name" "$linux_build/tests/e2e_tests" "$reasons" "$started"
