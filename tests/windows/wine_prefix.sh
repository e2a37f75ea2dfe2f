# Sourced by the scripts of tests/windows: a private Wine prefix, removed with its
# wineserver when the script ends, and `fail`, which names the script's test.
# Set `test_name` before sourcing it.
prefix=$(mktemp -d "${TMPDIR:-/tmp}/vorn-wine-XXXXXX")
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT INT TERM
export WINEPREFIX="$prefix" WINEDEBUG=-all
# Set up the prefix and start the wineserver first: started by a program instead, it
# would keep our pipes open after the program ends.
wine cmd /c exit >/dev/null 2>&1 </dev/null

fail() {
    # printf, not echo: the messages hold Windows paths, whose backslashes echo may take
    # for escapes.
    printf '%s: %s\n' "$test_name" "$*" >&2
    exit 1
}

# A Windows program's output without its carriage returns, and its exit status;
# never waits for long.
run() {
    status=0
    timeout 120 wine "$@" </dev/null >"$prefix/output" 2>&1 || status=$?
    tr -d '\r' <"$prefix/output"
    return $status
}
