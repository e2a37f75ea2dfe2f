#include "child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace Vorn_SCard_Bridge::bench {

namespace {

std::runtime_error system_error(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// Our environment with HOME replaced (or removed).
std::vector<std::string> child_environment(const std::filesystem::path& home) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "HOME=", 5) != 0) entries.emplace_back(*entry);
    }
    if (!home.empty()) entries.push_back("HOME=" + home.string());
    return entries;
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
    int to_child[2];
    int from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0) throw system_error("pipe");
    if (::pipe2(from_child, O_CLOEXEC) != 0) {
        ::close(to_child[0]);
        ::close(to_child[1]);
        throw system_error("pipe");
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
    const std::string error_path =
        options.stderr_path.empty() ? std::string("/dev/null") : options.stderr_path.string();
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error_path.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);

    const std::vector<std::string> environment = child_environment(options.home);
    std::vector<char*> envp;
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const std::string program = options.program.string();
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};

    const int failed = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_child[0]);
    ::close(from_child[1]);
    if (failed != 0) {
        ::close(to_child[1]);
        ::close(from_child[0]);
        errno = failed;
        throw system_error("cannot start " + program);
    }
    input_ = to_child[1];
    output_ = from_child[0];
}

ChildProcess::~ChildProcess() {
    close_input();
    if (!reaped_) {
        // Give it the end of its input first; a host that does not go gets killed.
        for (int i = 0; i < 200 && !reaped_; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                break;
            }
            ::usleep(10000);
        }
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
    if (output_ >= 0) ::close(output_);
}

void ChildProcess::close_input() {
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
}

int ChildProcess::wait() {
    if (!reaped_) {
        while (::waitpid(pid_, &wait_status_, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
    }
    return wait_status_;
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
