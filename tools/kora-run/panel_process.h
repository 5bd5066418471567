// A run of the operator panel in a process of its own: kora-run on one program, its operator's
// events read from a pipe, the panel's requests written to its standard input. Every run gets a
// fresh executive and a freshly loaded libkora, and a run that crashes takes only itself down.
#pragma once

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kora::run {

class RunProcess {
  public:
    RunProcess() = default;
    ~RunProcess();
    RunProcess(const RunProcess&) = delete;
    RunProcess& operator=(const RunProcess&) = delete;

    // Starts `argv` (argv[0] the program) with the event pipe as file descriptor `eventFd` and its
    // console (standard output and error) appended to `console`. False with `error` set.
    bool Start(const std::vector<std::string>& argv, int eventFd, const std::string& console,
               std::string& error);
    // One request line; false when the run no longer reads them.
    bool Send(const std::string& line);
    // Hands every event line to `onLine` until the run closes its end, then reaps it; its exit
    // status, or 128 + the signal that ended it.
    int Follow(const std::function<void(const std::string&)>& onLine);
    void Terminate();

  private:
    std::mutex mutex_;
    pid_t pid_ = -1;
    int requests_ = -1, events_ = -1;
};

} // namespace kora::run
