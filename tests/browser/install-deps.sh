#!/bin/sh
# Installs what the browser test needs on Debian 12 (as root), and nothing when it is
# all there already: Debian's chromium and firefox-esr (with zip, to pack the test
# add-on), pcscd with the vpcd reader driver, Node.js with npm, the tools to build the
# host, and the JavaScript tools from the npm registry at the versions the lock
# files name (TypeScript for js/, esbuild for the extensions). Needs the package
# mirrors and the registry: call it before entering a network namespace (run.sh
# calls it too, which is then a no-op).
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)

# npm ci for a folder whose node_modules is missing or older than its lock file.
npm_tools() {
    for dir in "$root/js" "$root/examples/extension"; do
        stamp="$dir/node_modules/.package-lock.json"
        if [ ! -f "$stamp" ] || [ "$dir/package-lock.json" -nt "$stamp" ]; then
            echo "== npm ci in $dir"
            (cd "$dir" && npm ci --no-audit --no-fund >/dev/null)
        fi
    done
}

need=""
for pkg in chromium firefox-esr zip pcscd vsmartcard-vpcd cmake ninja-build g++ pkg-config \
           libpcsclite-dev nlohmann-json3-dev libspdlog-dev libfmt-dev libgtest-dev libgmock-dev; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need="$need $pkg"
done
command -v node >/dev/null 2>&1 || need="$need nodejs"
command -v npm >/dev/null 2>&1 || need="$need npm"
if [ -z "$need" ]; then
    npm_tools
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "browser test: missing packages:$need (install them, or run this as root)" >&2
    exit 1
fi
echo "== installing:$need"
export DEBIAN_FRONTEND=noninteractive
if ! apt-get update -qq || ! apt-get install -y -qq --no-install-recommends $need >/dev/null; then
    echo "browser test: could not install$need. Without network access (e.g. inside a" \
         "network namespace) run tests/browser/install-deps.sh beforehand." >&2
    exit 1
fi
npm_tools
