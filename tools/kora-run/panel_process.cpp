#include "panel_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace kora::run {

namespace {

// Pipe ends above the descriptors the child gets, so that each dup2 in the child moves one.
constexpr int kLowestPipeFd = 10;

bool Pipe(int fds[2]) {
    int raw[2];
    if (::pipe2(raw, O_CLOEXEC) != 0) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        fds[i] = ::fcntl(raw[i], F_DUPFD_CLOEXEC, kLowestPipeFd);
        ::close(raw[i]);
    }
    return fds[0] >= 0 && fds[1] >= 0;
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

RunProcess::~RunProcess() {
    Terminate();
    CloseFd(requests_);
    CloseFd(events_);
}

bool RunProcess::Start(const std::vector<std::string>& argv, int eventFd,
                       const std::string& console, std::string& error) {
    int requests[2] = {-1, -1}, events[2] = {-1, -1};
    if (!Pipe(requests) || !Pipe(events)) {
        error = std::string("cannot create the run's pipes: ") + std::strerror(errno);
        for (int fd : {requests[0], requests[1], events[0], events[1]}) {
            CloseFd(fd);
        }
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, requests[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, events[1], eventFd);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, console.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // The run gets the signals the panel keeps to itself (blocked, SIGPIPE ignored) back.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(requests[0]);
    ::close(events[1]);
    if (rc != 0) {
        error = "cannot start " + argv[0] + ": " + std::strerror(rc);
        ::close(requests[1]);
        ::close(events[0]);
        return false;
    }
    std::lock_guard lock(mutex_);
    pid_ = pid;
    requests_ = requests[1];
    events_ = events[0];
    return true;
}

bool RunProcess::Send(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (requests_ < 0) {
        return false;
    }
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(requests_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int RunProcess::Follow(const std::function<void(const std::string&)>& onLine) {
    std::string pending;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(events_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            onLine(pending.substr(start, end - start));
        }
        pending.erase(0, start);
    }
    int status = 0;
    pid_t pid;
    {
        std::lock_guard lock(mutex_);
        pid = pid_;
        CloseFd(requests_);
    }
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard lock(mutex_);
    pid_ = -1;
    CloseFd(events_);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void RunProcess::Terminate() {
    std::lock_guard lock(mutex_);
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
    }
}

} // namespace kora::run
