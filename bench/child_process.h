#pragma once

// A program run as a browser runs the host, through the host's client: a child
// whose standard input and output are pipes to us and whose standard error goes to
// a file. Also what /proc tells about a running process (memory, CPU time, wake-ups).

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "host_client.h"

namespace Vorn_SCard_Bridge::bench {

struct SpawnOptions {
    std::filesystem::path program;
    // HOME of the child (the host puts its log file below it); empty: unset.
    std::filesystem::path home;
    // Standard error of the child is appended to this file; empty: /dev/null.
    std::filesystem::path stderr_path;
};

class ChildProcess {
public:
    explicit ChildProcess(const SpawnOptions& options);
    // Ends its input; a child that does not go within two seconds is killed.
    ~ChildProcess() { client_.finish(std::chrono::seconds(2)); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return static_cast<pid_t>(client_.id()); }
    host_client::HostClient& client() { return client_; }

    // Ends the child's input (a browser closing the port).
    void close_input() { client_.close_input(); }
    // Waits for the child to end and returns its exit code (128 + signal number
    // when a signal ended it); idempotent.
    int wait();

private:
    host_client::HostClient client_;
};

// What the kernel reports for a live process, summed over its threads.
struct ProcessSample {
    std::uint64_t cpu_ns = 0;            // time on a CPU (schedstat), all threads
    std::uint64_t context_switches = 0;  // voluntary + involuntary, all threads
    // Voluntary switches, all threads: each is a thread that went to sleep and was
    // woken again (on a futex, a pipe, poll).
    std::uint64_t wakeups = 0;
    // read(2)- and write(2)-family system calls of the process (/proc/PID/io).
    std::uint64_t read_write_calls = 0;
    std::uint64_t rss_kib = 0;       // VmRSS
    std::uint64_t peak_rss_kib = 0;  // VmHWM: the high-water mark since start
    std::uint64_t threads = 0;
};

ProcessSample sample_process(pid_t pid);

}  // namespace Vorn_SCard_Bridge::bench
