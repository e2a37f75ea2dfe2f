#!/bin/sh
# Packs the macOS programs of the two cross-builds (cmake/zig-macos.cmake, x86_64 and
# aarch64) into one universal archive for Intel and Apple silicon:
#   scripts/package-macos.sh X86_64_BUILD AARCH64_BUILD OUT_DIR
# gives OUT_DIR/vorn-scard-bridge-<version>-macos.tar.gz: the host and the installer,
# each joined by llvm-lipo from the two builds (each slice keeps the ad-hoc signature
# the linker gave it: nothing is stripped afterwards), and packaging/macos/README.txt.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 3 ] || { echo "usage: $0 X86_64_BUILD AARCH64_BUILD OUT_DIR" >&2; exit 2; }
intel=$1 arm=$2 out=$3
lipo=$(command -v llvm-lipo || command -v llvm-lipo-14 || true)
[ -n "$lipo" ] || { echo "no llvm-lipo (apt-get install llvm)" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$intel/CMakeCache.txt")
name=vorn-scard-bridge-$version-macos
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
mkdir -p "$staging/$name" "$out"
for program in vorn-scard-bridge tools/installer/vorn-scard-bridge-installer; do
    "$lipo" -create "$intel/$program" "$arm/$program" -output "$staging/$name/${program##*/}"
done
cp "$root/packaging/macos/README.txt" "$staging/$name/"
chmod 755 "$staging/$name/vorn-scard-bridge" "$staging/$name/vorn-scard-bridge-installer"
chmod 644 "$staging/$name/README.txt"
tar -C "$staging" --owner=0 --group=0 --numeric-owner -czf "$out/$name.tar.gz" "$name"
echo "$out/$name.tar.gz"
