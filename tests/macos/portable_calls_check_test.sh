#!/bin/sh
# scripts/check-portable-calls.sh on a scratch tree: each case is one file and whether
# the check must refuse it.
#   tests/macos/portable_calls_check_test.sh
set -eu
check="$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-portable-calls.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# case: name, path in the tree, expected (refused|accepted), contents
try() {
    name=$1 path=$2 expected=$3 contents=$4
    tree="$scratch/$name"
    mkdir -p "$tree/src" "$tree/tools" "$tree/out" "$(dirname "$tree/$path")"
    printf '%s\n' "$contents" >"$tree/$path"
    # As CMake writes it: a key a line.
    printf '[\n{\n  "directory": "%s/out",\n  "file": "%s/%s"\n}\n]\n' "$tree" "$tree" \
        "$path" >"$tree/out/compile_commands.json"
    got=refused
    output=$(VORN_SOURCE_ROOT="$tree" "$check" "$tree/out" 2>&1) && got=accepted
    if [ "$got" != "$expected" ]; then
        echo "FAIL $name: $got, expected $expected"
        echo "$output"
        failures=$((failures + 1))
    elif [ "$got" = refused ] && ! echo "$output" | grep -q "$path:"; then
        echo "FAIL $name: the refusal does not name $path"
        echo "$output"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

try pipe2-in-posix-file src/platform/posix/p.cpp refused 'bool f(int* fds) { return ::pipe2(fds, 0) == 0; }'
try flag-in-a-header src/platform/x.h refused 'constexpr int FLAGS = SOCK_CLOEXEC;'
try flag-in-a-fixture tests/fixtures/card.cpp refused 'int n = send(s, p, 1, MSG_NOSIGNAL);'
try epoll-family tools/talk/t.cpp refused 'int e = epoll_create1(0);'
try after-a-closed-block-comment src/a.cpp refused '/* fine */ int fd = eventfd(0, 0);'
try pipe2-in-linux-folder src/platform/linux/p.cpp accepted 'bool f(int* fds) { return ::pipe2(fds, 0) == 0; }'
try linux-file-name tools/installer/this_system_linux.cpp accepted 'int r = prctl(1);'
try line-comment src/b.cpp accepted '// macOS has no pipe2: pipe, then fcntl.'
try block-comment src/c.cpp accepted '/* TCP_QUICKACK is not sticky
   nor is accept4 portable */ int x = 0;'
try longer-name src/d.cpp accepted 'int my_pipe2_count = 0; int MSG_NOSIGNALS = 1;'

[ $failures -eq 0 ] || exit 1
