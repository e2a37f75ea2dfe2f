#include "child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace Vorn_SCard_Bridge::bench {

namespace {

std::runtime_error system_error(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// The number after "\nName:" in a /proc status file (kB for the memory lines).
std::uint64_t status_number(const std::string& status, const char* name) {
    const auto at = status.find(name);
    if (at == std::string::npos) return 0;
    return std::strtoull(status.c_str() + at + std::strlen(name), nullptr, 10);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

ChildProcess::ChildProcess(const SpawnOptions& options) {
    platform::ChildOptions child_options;
    child_options.program = options.program;
    child_options.unset_environment = {"HOME"};
    if (!options.home.empty())
        child_options.environment.emplace_back("HOME", options.home.string());
    int error_file = -1;
    if (options.stderr_path.empty()) {
        child_options.error = platform::ChildStream::NUL;
    } else {
        error_file =
            ::open(options.stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (error_file < 0) throw system_error("cannot open " + options.stderr_path.string());
        child_options.error_fd = error_file;
    }
    std::string error;
    const bool started = client_.start(child_options, error);
    if (error_file >= 0) ::close(error_file);
    if (!started) throw std::runtime_error(error);
}

int ChildProcess::wait() {
    std::optional<int> code;
    while (!(code = client_.wait_exit(std::chrono::hours(1)))) {
    }
    return *code;
}

ProcessSample sample_process(pid_t pid) {
    ProcessSample sample;
    const std::string base = "/proc/" + std::to_string(pid);
    const std::string status = read_file(base + "/status");
    sample.rss_kib = status_number(status, "\nVmRSS:");
    sample.peak_rss_kib = status_number(status, "\nVmHWM:");
    const std::string io = "\n" + read_file(base + "/io");
    sample.read_write_calls = status_number(io, "\nsyscr:") + status_number(io, "\nsyscw:");

    DIR* tasks = ::opendir((base + "/task").c_str());
    if (tasks == nullptr) return sample;
    while (const dirent* task = ::readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        const std::string task_base = base + "/task/" + task->d_name;
        ++sample.threads;
        sample.cpu_ns += std::strtoull(read_file(task_base + "/schedstat").c_str(), nullptr, 10);
        const std::string task_status = read_file(task_base + "/status");
        const std::uint64_t voluntary = status_number(task_status, "\nvoluntary_ctxt_switches:");
        sample.wakeups += voluntary;
        sample.context_switches +=
            voluntary + status_number(task_status, "\nnonvoluntary_ctxt_switches:");
    }
    ::closedir(tasks);
    return sample;
}

}  // namespace Vorn_SCard_Bridge::bench
