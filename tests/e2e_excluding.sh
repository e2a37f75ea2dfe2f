# shellcheck shell=sh
# The end-to-end suite (the Linux e2e_tests) against another host, less the tests that
# cannot hold there; sourced by tests/windows/e2e.sh and tests/macos/run.sh.
#
#   run_e2e_excluding NAME E2E_TESTS REASONS STARTED
# REASONS: one test left out per line, a gtest pattern then why. STARTED: when the
# run began (date +%s). VORN_E2E_ONLY: a gtest pattern to run only some of them
# (default: all). Prints the number of tests run and excluded; exits non-zero when
# one fails.
run_e2e_excluding() {
    name=$1
    e2e=$2
    reasons=$3
    started=$4
    only="${VORN_E2E_ONLY:-*}"
    filter="$only-$(printf '%s\n' "$reasons" | awk 'NF { printf "%s%s", sep, $1; sep=":" }')"
    total=$("$e2e" --gtest_list_tests --gtest_filter="$only" | grep -c '^  ')
    run=$("$e2e" --gtest_list_tests --gtest_filter="$filter" | grep -c '^  ')
    echo "== $name: $run tests run, $((total - run)) excluded:"
    printf '%s\n' "$reasons" | awk 'NF { print "   " $0 }'
    status=0
    "$e2e" --gtest_brief=1 --gtest_filter="$filter" || status=$?
    echo "== $name: $run tests run, $((total - run)) excluded, in $(($(date +%s) - started)) s"
    if [ $status -ne 0 ]; then
        echo "$name: tests failed" >&2
        exit 1
    fi
    echo "$name: passed"
}
