#include <unistd.h>

#include <cstdio>

#include "main/host_main.h"

int main() {
    const Vorn_SCard_Bridge::HostOutcome outcome = Vorn_SCard_Bridge::run_host();
    if (outcome.busy_workers > 0) {
        // A worker is still inside a PC/SC call (a long status-change wait): end
        // now rather than tear down the process's objects under it.
        std::fflush(nullptr);
        ::_exit(outcome.exit_code);
    }
    return outcome.exit_code;
}
