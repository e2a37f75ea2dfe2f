#!/bin/sh
# The browser end-to-end test: Debian's Chromium and Firefox ESR, one after
# the other, load a test extension that talks to the installed host through the
# JavaScript client, with pcscd and a virtual card in the vpcd reader.
#
#   tests/browser/run.sh [BUILD_DIR]
#   tests/browser/run.sh --bench [BUILD_DIR]
#
# BUILD_DIR: a configured build of this repository (default: build/, created and
# built when missing). The script builds the host and the installer there if
# needed, installs them with `cmake --install` into a temporary prefix, and runs
# the test against those installed files. The client package is checked first: its
# typings with TypeScript (js/test/types) and the files `npm pack` would ship
# (js/scripts/check-pack.mjs); its unit tests (js/test) run in the same test run. Run as root on a fresh Debian 12
# machine it first installs what it needs (chromium, pcscd, vsmartcard-vpcd,
# nodejs, the build tools) with apt-get (tests/browser/install-deps.sh: call that
# first when this runs without network access, e.g. in a network namespace).
#
# --bench: instead of the test, what a request costs inside the browsers
# (tests/browser/bench.mjs). It also builds the framed echo and the card of
# bench/ (vorn-bench-echo, vorn-bench-card), so BUILD_DIR must be configured
# with the benchmarks (the default). Run it as root inside scripts/hermetic.sh,
# as docs/benchmarks.md shows.
#
# VORN_BROWSERS=chromium,firefox (default): the browsers to run, in that order.
# VORN_SET_ATTRIB_TAG=tag:hex (default 0x00070A02:CAFE, the test driver's settable
# attribute): the attribute the browser test sets through navigator.smartCard's
# setAttribute on the test driver's PIN-pad reader.
# VORN_BROWSER_CARD_SESSION=auto|on|off (default auto): the card session runs when
# the host offers the card commands and pcscd shows the virtual reader; "on"
# makes their absence a failure, "off" skips it.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
bench=no
if [ "${1:-}" = --bench ]; then
    bench=yes
    shift
fi
build=${1:-${VORN_BUILD_DIR:-$root/build}}
case $build in /*) ;; *) build=$(pwd)/$build ;; esac

# ---- packages ----
"$root/tests/browser/install-deps.sh"

# ---- the client package: typings and contents ----
echo "== client package: tsc and npm pack"
(cd "$root/js" && ./node_modules/.bin/tsc -p test/types && ./node_modules/.bin/tsc -p test/types/tsconfig.draft.json && node scripts/check-pack.mjs)

# ---- build and install ----
targets="vorn-scard-bridge vorn-scard-bridge-installer"
[ $bench = yes ] && targets="$targets vorn-bench-echo vorn-bench-card"
if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "== configuring $build"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_BUILD_BENCH=$bench \
        -DVORN_BUILD_TESTS=OFF >/dev/null
fi
echo "== building $targets in $build"
# shellcheck disable=SC2086
cmake --build "$build" --target $targets
stage=$(mktemp -d "${TMPDIR:-/tmp}/vorn-browser-stage-XXXXXX")
trap 'rm -rf "$stage"' EXIT INT TERM
cmake --install "$build" --prefix "$stage" --component host >/dev/null

# ---- pcscd with the virtual readers (and the test reader driver's PIN pad) ----
pin_pad_reader=""
restart_pcscd=0
if [ -x "$root/tests/fixtures/start_pcscd.sh" ]; then
    reader_conf=""
    if cmake --build "$build" --target help | grep -q vorn_test_reader_driver; then
        # The driver and the reader configuration that names it (pcscd -c needs the folder).
        cmake --build "$build" --target vorn_test_reader_driver vorn_reader_conf
        reader_conf="$build/tests/reader.conf.d"
    fi
    started=$("$root/tests/fixtures/start_pcscd.sh" ${reader_conf:+--config "$reader_conf"})
    echo "$started"
    # A pcscd that ran already may not have loaded the driver.
    case $started in
        *"started pcscd"*)
            restart_pcscd=1 # ours: the test may stop and start it again
            [ -z "$reader_conf" ] || pin_pad_reader="Vorn Test PIN Pad 00 00" ;;
        *) echo "== pcscd ran already: the PIN-pad step is skipped" ;;
    esac
elif ! [ -S /run/pcscd/pcscd.comm ]; then
    echo "== starting pcscd"
    /usr/sbin/pcscd
    i=0
    while ! [ -S /run/pcscd/pcscd.comm ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
fi

# ---- the test ----
export VORN_HOST="$stage/bin/vorn-scard-bridge"
export VORN_INSTALLER="$stage/bin/vorn-scard-bridge-installer"
if [ $bench = yes ]; then
    # VORN_BENCH_HOST: another build of the host to measure (an A/B run: a second run
    # with the reference host; the bench driver puts both in its goals table).
    VORN_HOST=${VORN_BENCH_HOST:-$VORN_HOST} \
        VORN_ECHO_HOST="$build/bench/vorn-bench-echo" VORN_BENCH_CARD="$build/bench/vorn-bench-card" \
        node "$root/tests/browser/bench.mjs"
    exit
fi
echo "== browser test ($(/usr/lib/chromium/chromium --version 2>/dev/null), $(firefox-esr --version 2>/dev/null))"
VORN_RESTART_PCSCD=$restart_pcscd VORN_PCSCD_CONFIG=${reader_conf:-} \
    VORN_PIN_PAD_READER=$pin_pad_reader VORN_SET_ATTRIB_TAG=${VORN_SET_ATTRIB_TAG:-0x00070A02:CAFE} \
    node --test --expose-gc "$root/js/test/"*.test.js "$root/tests/browser/"*.test.mjs
