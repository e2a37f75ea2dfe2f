#!/bin/sh
# Fails when a call or flag that only Linux has appears in a file that a build for
# another system compiles: every source in the build's compile_commands.json (the
# macOS build's, say) and every header of src/ and tools/, except the Linux files
# themselves (a linux/ folder, or a name ending in _linux). Comments do not count.
#   scripts/check-portable-calls.sh BUILD_DIR...
# What differs goes behind a seam with a file per system (src/platform/<system>/).
set -eu
root=${VORN_SOURCE_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
[ $# -gt 0 ] || { echo "usage: $0 BUILD_DIR..." >&2; exit 2; }

# Linux's own: pipes, sockets and descriptors with flags built in, its event and
# process interfaces, and socket options macOS lacks (it has SO_NOSIGPIPE instead of
# MSG_NOSIGNAL).
names='pipe2|accept4|dup3|epoll_[a-z0-9_]+|eventfd|signalfd|timerfd_[a-z0-9_]+'
names="$names"'|inotify_[a-z0-9_]+|prctl|memfd_create|sendfile64'
names="$names"'|SOCK_CLOEXEC|SOCK_NONBLOCK|MSG_NOSIGNAL'
names="$names"'|MSG_MORE|TCP_QUICKACK|TCP_CORK|O_TMPFILE|O_PATH|SO_PEERCRED|PR_SET_[A-Z0-9_]+'
pattern="(^|[^A-Za-z0-9_])($names)([^A-Za-z0-9_]|\$)"

files=$(mktemp)
trap 'rm -f "$files" "$files.found"' EXIT
for build in "$@"; do
    commands="$build/compile_commands.json"
    [ -f "$commands" ] || { echo "no $commands (configure that build first)" >&2; exit 2; }
    sed -n 's/^ *"file": *"\(.*\)",\{0,1\} *$/\1/p' "$commands" >>"$files"
done
find "$root/src" "$root/tools" -name '*.h' >>"$files"

# Sources of this tree only (not generated ones), Linux files left out.
sort -u "$files" | grep "^$root/" | grep -v -e "^$root/out/" -e "^$root/build" \
    | grep -v -E '/linux/|_linux\.[a-z]+$' | while IFS= read -r file; do
    awk -v pattern="$pattern" '
        { line = $0 }
        in_comment { if (sub(/.*\*\//, "", line)) in_comment = 0; else next }
        { gsub(/\/\*([^*]|\*+[^*\/])*\*+\//, "", line); sub(/\/\/.*/, "", line) }
        sub(/\/\*.*/, "", line) { in_comment = 1 }
        line ~ pattern { print FILENAME ":" FNR ": " $0 }
    ' "$file"
done >"$files.found"
if [ -s "$files.found" ]; then
    echo "Linux-only calls outside Linux files (put them behind a seam, one file per system):"
    cat "$files.found"
    exit 1
fi
echo "no Linux-only call outside Linux files"
