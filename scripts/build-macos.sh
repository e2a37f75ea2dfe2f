#!/bin/sh
# Cross-builds the macOS programs on Linux for Intel (x86_64) and Apple silicon
# (aarch64) with Zig (cmake/zig-macos.cmake), checks that no Linux-only call reached a
# file they compile, prints what `file` says of each program, packs the universal
# archive (scripts/package-macos.sh) and checks what it holds: the arm64 parts signed
# (ad hoc), no library but libSystem and the PCSC framework. Only the host, the
# installer and talk are built.
#   scripts/build-macos.sh [OUT_DIR]     builds into OUT_DIR/macos-<arch> (default out/)
#   scripts/build-macos.sh --zig-only    only installs Zig (npm ci; needs the registry)
# Zig comes from the npm registry at the version cmake/macos/package-lock.json names.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)

tools="$root/cmake/macos"
stamp="$tools/node_modules/.package-lock.json"
if [ ! -f "$stamp" ] || [ "$tools/package-lock.json" -nt "$stamp" ]; then
    echo "== npm ci in $tools (Zig)"
    (cd "$tools" && npm ci --no-audit --no-fund >/dev/null)
fi
[ "${1:-}" != "--zig-only" ] || exit 0

out=${1:-$root/out}
launcher=""
command -v ccache >/dev/null 2>&1 && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
for arch in x86_64 aarch64; do
    dir="$out/macos-$arch"
    echo "== building for macOS $arch in $dir"
    # shellcheck disable=SC2086
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/zig-macos.cmake" \
        -DVORN_MACOS_ARCH=$arch -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g0" -DVORN_WERROR=ON -DVORN_BUILD_TESTS=OFF \
        -DVORN_BUILD_BENCH=OFF $launcher >/dev/null
    [ $arch = aarch64 ] || "$root/scripts/check-portable-calls.sh" "$dir"
    ninja -C "$dir" vorn-scard-bridge vorn-scard-bridge-installer vorn-scard-bridge-talk
done
for arch in x86_64 aarch64; do
    dir="$out/macos-$arch"
    file "$dir/vorn-scard-bridge" "$dir/tools/installer/vorn-scard-bridge-installer" \
        "$dir/tools/talk/vorn-scard-bridge-talk"
done
package=$("$root/scripts/package-macos.sh" "$out/macos-x86_64" "$out/macos-aarch64" "$out")
tar -tzf "$package"
staging=$(mktemp -d)
tar -C "$staging" -xzf "$package"
objdump=$(command -v llvm-objdump || command -v llvm-objdump-14)
for program in "$staging"/*/vorn-scard-bridge "$staging"/*/vorn-scard-bridge-installer; do
    file "$program"
    # Apple silicon runs no code without a signature: the linker's ad-hoc one must
    # have survived lipo.
    if ! "$objdump" --macho --arch=arm64 --private-headers "$program" |
        grep -q LC_CODE_SIGNATURE; then
        echo "the arm64 part of $program is not signed" >&2
        exit 1
    fi
    # What a Mac has: libSystem and the PCSC framework, nothing of this build machine.
    others=$("$objdump" --macho --arch=all --dylibs-used "$program" | grep -v -e "^/" \
        -e "/usr/lib/libSystem.B.dylib " \
        -e "/System/Library/Frameworks/PCSC.framework/Versions/A/PCSC " || true)
    if [ -n "$others" ]; then
        echo "$program needs libraries a Mac does not have:$others" >&2
        exit 1
    fi
done
rm -rf "$staging"
