#!/bin/sh
# Runs every test on a fresh Debian machine (as root): installs what is needed,
# builds the normal, the AddressSanitizer+UndefinedBehaviorSanitizer and the
# ThreadSanitizer configurations, the fuzzers, the Windows programs (mingw-w64,
# with their zip and MSIs) and the macOS programs (Zig, for Intel and Apple silicon,
# with their universal archive: scripts/build-macos.sh), and runs the unit and
# end-to-end tests of the three builds, the fuzzers for a bounded time, the browser test (tests/browser/run.sh, on
# the normal build) and the Windows tests under Wine (tests/windows/run.sh: unit
# tests, the installer, the MSIs, and the end-to-end suite against the Windows host on
# a PC/SC that behaves like Windows) and, beside them, the end-to-end suite against the
# host built for Apple's PC/SC on a stand-in of the framework (tests/macos/run.sh).
# Exits non-zero when any of them fails, and when
# a sanitizer reported anything, in a test or in a host that a test started.
#
# As root, each test run gets a private pcscd and vpcd ports (scripts/hermetic.sh)
# and, unless the tree is under /tmp, a private /tmp (the host's fallback log
# directory is /tmp/vorn-logs), so the runs go side by side without seeing each
# other's cards or logs.
#
# VORN_FUZZ_SECONDS: time per fuzz target (default 45: the Windows tests run beside
# the fuzzers, and the whole run should stay within half an hour on two cores).
# TEST_BUILD_ROOT: where the builds go (default out/).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${TEST_BUILD_ROOT:-$root/out}
fuzz_seconds=${VORN_FUZZ_SECONDS:-45}
started=$(date +%s)
stamp() { echo "== [$(($(date +%s) - started))s] $*"; }

# The browser test runs without network (see isolated below): install its
# browsers, zip (to pack the Firefox add-on) and node here.
browser_packages=""
[ -x "$root/tests/browser/run.sh" ] && browser_packages="chromium firefox-esr zip nodejs"
# The Windows programs are cross-built with mingw-w64 (GoogleTest from its Debian
# sources), packaged with wixl and msitools (the MSI builder and its table tools) and
# tried under Wine. The MSIs carry the example extension's ids (examples/extension), as
# an extension's vendor builds theirs, so that they install with no properties.
windows_packages="g++-mingw-w64-x86-64-posix wine wine64 googletest wixl msitools"
# The macOS programs are cross-built with Zig (from npm: Debian has none) and joined
# into universal ones with LLVM's lipo; `file` shows what was built.
macos_packages="llvm-14 file"
command -v npm >/dev/null 2>&1 || macos_packages="$macos_packages nodejs npm"
# shellcheck disable=SC2086
"$root/scripts/install-deps.sh" $browser_packages $windows_packages $macos_packages
[ -z "$browser_packages" ] || "$root/tests/browser/install-deps.sh" # npm tools, before the network goes
"$root/scripts/build-macos.sh" --zig-only
stamp "dependencies installed"

configure() { # dir, extra cmake args...
    dir=$1; shift
    # -O1 and line tables only: a third less build time on two cores, and still
    # enough for the sanitizers' stack traces.
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_WERROR=ON \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DVORN_BUILD_BENCH=OFF "$@" >/dev/null
}
configure "$out/normal" -DVORN_BUILD_BENCH=ON # the benchmarks must keep building
configure "$out/asan" -DVORN_SANITIZE=address,undefined
configure "$out/tsan" -DVORN_SANITIZE=thread

# As root: a private pcscd and loopback (no other network) and, unless the tree
# or the builds live there, a private /tmp.
isolated() { # command...
    if [ "$(id -u)" -ne 0 ]; then
        "$@"
        return
    fi
    case "$root/ $out/" in
        /tmp/*|*" /tmp/"*) "$root/scripts/hermetic.sh" "$@" ;;
        *) unshare --mount --propagation private sh -c \
               'mount -t tmpfs -o mode=1777 tmpfs /tmp && exec "$@"' sh "$root/scripts/hermetic.sh" "$@" ;;
    esac
}
[ "$(id -u)" -eq 0 ] || "$root/scripts/ensure-pcscd.sh"

# One configuration's tests, output in $out/<config>/test.log. The floods (label
# stress) run in the normal build, which checks their memory bounds, and under
# ThreadSanitizer, which watches their threads at full load; the AddressSanitizer
# build leaves them out for time (its shadow memory makes their bounds moot).
# Sanitizers write their reports to files, so that a report from a host process,
# whose standard error a test may never look at, still fails the run. The reports
# and the suppressions live in /var/tmp, not beside the build: some tests run the
# host with a fresh /tmp of its own, where a checkout under /tmp would not be seen.
run_tests() { # config
    dir="$out/$1"
    left_out=""
    [ "$1" != asan ] || left_out=stress
    sanitizers=$(mktemp -d /var/tmp/vorn-sanitizers.XXXXXX)
    reports="$sanitizers/reports"
    mkdir -p "$reports"
    cp "$root/tests/tsan.supp" "$sanitizers/tsan.supp"
    status=0
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$sanitizers/tsan.supp:log_path=$reports/tsan" \
        isolated ctest --test-dir "$dir" --output-on-failure --timeout 600 ${left_out:+-LE "$left_out"} \
        >"$dir/test.log" 2>&1 || status=1
    if [ -n "$(ls -A "$reports")" ]; then
        echo "sanitizer reports of the $1 tests:" >>"$dir/test.log"
        cat "$reports"/* >>"$dir/test.log"
        status=1
    fi
    rm -rf "$sanitizers"
    return $status
}

# Builds need the cores, the end-to-end tests mostly wait on pipes, pcscd and
# the virtual cards: one configuration is built (with all cores) while the
# tests of the one before run, the slowest tests (ThreadSanitizer) first. The
# fuzzers, which want a core each second, run once everything is built.
timed() { # name, command...
    name=$1; shift
    rc=0
    "$@" || rc=$?
    stamp "$name finished"
    return $rc
}

pids=""
for config in normal tsan asan; do
    stamp "building ($config)"
    ninja -C "$out/$config"
    stamp "starting the tests ($config)"
    timed "$config tests" run_tests $config &
    pids="$pids $config:$!"
    if [ $config = normal ] && [ -x "$root/tests/browser/run.sh" ]; then
        stamp "starting the browser test"
        timed "browser test" isolated "$root/tests/browser/run.sh" "$out/normal" \
            >"$out/browser.log" 2>&1 &
        pids="$pids browser:$!"
    fi
done
stamp "building (windows)"
cmake -S "$root" -B "$out/windows" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g0" -DVORN_WERROR=ON \
    -DVORN_BUILD_BENCH=OFF -DVORN_CHROMIUM_EXTENSION_IDS=khdljmibjcolepppeikajgmbfeenoldp \
    -DVORN_FIREFOX_EXTENSION_IDS=scard-example@vorn.example >/dev/null
ninja -C "$out/windows" vorn-scard-bridge vorn-scard-bridge-installer unit_tests \
    vorn_winscard_standin vorn-scard-bridge-msi vorn-scard-bridge-msi-tests
(cd "$out/windows" && cpack -G ZIP >/dev/null)
# Beside the fuzzers: mostly Wine starting hosts and waiting on pcscd.
stamp "starting the Windows tests"
timed "windows tests" isolated "$root/tests/windows/run.sh" "$out/windows" "$out/normal" \
    >"$out/windows/test.log" 2>&1 &
pids="$pids windows:$!"
# Beside them too: the host with its adapter built for Apple's PC/SC (a target of the
# normal build) through the end-to-end suite, on the stand-in framework over pcscd.
stamp "starting the Apple PC/SC tests"
timed "apple tests" isolated "$root/tests/macos/run.sh" "$out/normal" >"$out/apple.log" 2>&1 &
pids="$pids apple:$!"
stamp "building (fuzzers)"
FUZZ_BUILD_DIR="$out/fuzz" "$root/scripts/fuzz.sh" --build-only
stamp "starting the fuzzers (${fuzz_seconds}s each)"
timed fuzzers env FUZZ_BUILD_DIR="$out/fuzz" "$root/scripts/fuzz.sh" "$fuzz_seconds" \
    >"$out/fuzz/run.log" 2>&1 &
pids="$pids fuzz:$!"
# Beside the fuzzers too: two small cross-builds (the host, the installer and talk).
stamp "building (macOS, in the background)"
timed "macOS build" "$root/scripts/build-macos.sh" "$out" >"$out/macos.log" 2>&1 &
pids="$pids macos:$!"

status=0
for entry in $pids; do
    name=${entry%%:*}
    if wait "${entry#*:}"; then result=passed; else result=FAILED; status=1; fi
    case $name in
        fuzz) log="$out/fuzz/run.log" ;;
        browser) log="$out/browser.log" ;;
        windows) log="$out/windows/test.log" ;;
        apple) log="$out/apple.log" ;;
        macos) log="$out/macos.log" ;;
        *) log="$out/$name/test.log" ;;
    esac
    stamp "$name: $result"
    cat "$log"
done

stamp "done"
exit $status
