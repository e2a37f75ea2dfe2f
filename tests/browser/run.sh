#!/bin/sh
# The browser end-to-end test: Debian's Chromium loads a test extension that
# talks to the installed host through the JavaScript client, with pcscd and a
# virtual card in the vpcd reader.
#
#   tests/browser/run.sh [BUILD_DIR]
#
# BUILD_DIR: a configured build of this repository (default: build/, created and
# built when missing). The script builds the host and the installer there if
# needed, installs them with `cmake --install` into a temporary prefix, and runs
# the test against those installed files. The client module's unit tests (js/test)
# run in the same test run. Run as root on a fresh Debian 12
# machine it first installs what it needs (chromium, pcscd, vsmartcard-vpcd,
# nodejs, the build tools) with apt-get (tests/browser/install-deps.sh: call that
# first when this runs without network access, e.g. in a network namespace).
#
# VORN_BROWSER_CARD_SESSION=auto|on|off (default auto): the card session runs when
# the host offers the card commands and pcscd shows the virtual reader; "on"
# makes their absence a failure, "off" skips it.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-${VORN_BUILD_DIR:-$root/build}}
case $build in /*) ;; *) build=$(pwd)/$build ;; esac

# ---- packages ----
"$root/tests/browser/install-deps.sh"

# ---- build and install ----
if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "== configuring $build"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_BUILD_BENCH=OFF \
        -DVORN_BUILD_TESTS=OFF >/dev/null
fi
echo "== building the host and the installer in $build"
cmake --build "$build" --target vorn-scard-bridge vorn-scard-bridge-installer
stage=$(mktemp -d "${TMPDIR:-/tmp}/vorn-browser-stage-XXXXXX")
trap 'rm -rf "$stage"' EXIT INT TERM
cmake --install "$build" --prefix "$stage" --component host >/dev/null

# ---- pcscd with the virtual readers (and the test reader driver's PIN pad) ----
pin_pad_reader=""
if [ -x "$root/tests/fixtures/start_pcscd.sh" ]; then
    reader_conf=""
    if cmake --build "$build" --target help | grep -q vorn_test_reader_driver; then
        cmake --build "$build" --target vorn_test_reader_driver
        reader_conf="$build/tests/reader.conf.d"
    fi
    started=$("$root/tests/fixtures/start_pcscd.sh" ${reader_conf:+--config "$reader_conf"})
    echo "$started"
    # A pcscd that ran already may not have loaded the driver.
    case $started in
        *"started pcscd"*) [ -z "$reader_conf" ] || pin_pad_reader="Vorn Test PIN Pad 00 00" ;;
        *) echo "== pcscd ran already: the PIN-pad step is skipped" ;;
    esac
elif ! [ -S /run/pcscd/pcscd.comm ]; then
    echo "== starting pcscd"
    /usr/sbin/pcscd
    i=0
    while ! [ -S /run/pcscd/pcscd.comm ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
fi

# ---- the test ----
echo "== browser test (Chromium $(/usr/lib/chromium/chromium --version 2>/dev/null | awk '{print $2}'))"
VORN_HOST="$stage/bin/vorn-scard-bridge" \
VORN_INSTALLER="$stage/bin/vorn-scard-bridge-installer" \
VORN_CHROMIUM=${VORN_CHROMIUM:-/usr/lib/chromium/chromium} \
VORN_PIN_PAD_READER=$pin_pad_reader \
    node --test "$root/js/test/"*.test.js "$root/tests/browser/"*.test.mjs
