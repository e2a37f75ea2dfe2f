#!/bin/sh
# The end-to-end suite (the Linux e2e_tests) against the Windows host under Wine, on a
# PC/SC that behaves like 64-bit Windows (tests/windows/winscard: the stand-in
# winscard.dll and its relay over the real pcscd). Root only, inside
# scripts/hermetic.sh (a private pcscd that the test bed starts with our readers):
#
#   scripts/hermetic.sh tests/windows/e2e.sh WINDOWS_BUILD LINUX_BUILD
#
# Prints the number of tests run and excluded; exits non-zero when one fails.
# VORN_E2E_ONLY: a gtest pattern to run only some of them (default: all).
set -eu
windows_build=$(cd "$1" && pwd)
linux_build=$(cd "$2" && pwd)
test_name="windows e2e"
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../e2e_excluding.sh"
started=$(date +%s)

# Tests left out, and why: a gtest pattern, then the reason.
reasons="
TestBedSmoke.*                                    the test bed alone, no host
Signals/SignalWhileWaiting.*                      POSIX signals (Windows has console events)
FaultShutdown.SigtermDuringAPipelinedFlood*       POSIX signals
Endings/FaultUnreadOutput.*Sigterm                POSIX signals
HostWithService.ManyEndlessWaitsDoNotStarveOtherRequests POSIX signals
Homes/FaultUnusableHome.*                         log path and file modes under HOME
Locations/FaultPrivateLogDirectory.*              log path and file modes under HOME
HostLogging.FileUnderHomeGetsTheSameLines         log file under HOME (Windows: %LOCALAPPDATA%)
HostLogging.EachStartBeginsANewFileAndKeepsThree  log file under HOME
HostLogging.WithoutHomeLogsToAPrivateTmpDirectory log path /tmp/vorn-logs
HostLogging.UnusableLogDirectoryStillServes       log path and file modes under HOME
HostLogging.LinesAreOutWhileTheHostWaitsForMore   log file under HOME
Payloads/FaultLogInjection.*                      log file under HOME
FaultLogSize.*                                    log file under HOME
HostLogging.EveryLineFollowsThePattern            log lines end in CR LF on Windows
*FaultFullDisk.*                                  log file under HOME, on a tmpfs mounted for it
*FaultLogVolume.*                                 log file under HOME, a stand-in /dev/log
*FaultStandardError.*                             log file under HOME, POSIX signals
Names/OddReaderName.*                             names that are not UTF-8: Windows' are UTF-16
"

if [ "${VORN_HERMETIC_INNER:-}" != 1 ]; then
    echo "$test_name: run it inside scripts/hermetic.sh" >&2
    exit 1
fi
if [ -n "${VORN_WINSCARD_RELAY:-}" ] && [ -x "${WINEPREFIX:-}/host.sh" ]; then
    # Started by run.sh: its prefix (700 MB with Wine 8) and its stand-in.
    host="$WINEPREFIX/host.sh"
    fail() {
        echo "$test_name: $*" >&2
        exit 1
    }
else
    . "$here/wine_prefix.sh"
    . "$here/standin.sh"
fi
export VORN_HOST_UNDER_TEST="$host"

run_e2e_excluding "$test_name" "$linux_build/tests/e2e_tests" "$reasons" "$started"
