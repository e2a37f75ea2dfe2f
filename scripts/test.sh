#!/bin/sh
# Runs every test on a fresh Debian machine (as root): installs what is needed,
# builds the normal and the AddressSanitizer+UndefinedBehaviorSanitizer
# configurations, starts pcscd, and runs the unit and end-to-end tests of both.
# Exits non-zero when any test fails.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${TEST_BUILD_ROOT:-$root/out}
"$root/scripts/install-deps.sh"

configure() { # dir, extra cmake args...
    dir=$1; shift
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_WERROR=ON \
        -DVORN_BUILD_BENCH=OFF "$@" >/dev/null
}
configure "$out/normal"
configure "$out/asan" -DVORN_SANITIZE=address,undefined

# The machine has few cores: build one configuration at a time, each with all of them.
echo "== building (normal)"
ninja -C "$out/normal"
echo "== building (address,undefined)"
ninja -C "$out/asan"

"$root/scripts/ensure-pcscd.sh"

status=0
run() { # dir, label
    echo "== tests ($2)"
    if ! ctest --test-dir "$1" --output-on-failure --timeout 300; then
        status=1
    fi
}
run "$out/normal" normal
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run "$out/asan" "address,undefined"
exit $status
