#include "operator_pipe.h"

#include "html_report.h"
#include "json_object.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace kora::run {

namespace {

// Without the panel the questions get the command line's answers: go on, do not save.
constexpr long kAnswerWithoutPanel = 0;

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return; // the panel is gone; the run goes on
        }
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

PipeOperator::PipeOperator(int eventFd, int requestFd) : eventFd_(eventFd), requestFd_(requestFd) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) {
        wake_[0] = wake_[1] = -1;
    }
    reader_ = std::thread([this] { ReadRequests(); });
}

PipeOperator::~PipeOperator() {
    if (wake_[1] >= 0) {
        WriteAll(wake_[1], "x");
    }
    reader_.join();
    for (int fd : wake_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void PipeOperator::Emit(const char* event, const std::string& json) {
    std::lock_guard lock(writeMutex_);
    WriteAll(eventFd_, std::string(event) + " " + json + "\n");
}

void PipeOperator::ReadRequests() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{requestFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, wake_[0] >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents) {
            return; // the run is over
        }
        const ssize_t n = ::read(requestFd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            Handle(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    std::lock_guard lock(mutex_);
    gone_ = true;
    answered_.notify_all();
}

void PipeOperator::Handle(const std::string& line) {
    std::istringstream words(line);
    std::string request;
    words >> request;
    if (request == kRequestAnswer) {
        long id = 0, answer = 0;
        if (words >> id >> answer) {
            std::lock_guard lock(mutex_);
            answers_[id] = answer;
            answered_.notify_all();
        }
    } else if (request == kRequestStop) {
        std::lock_guard lock(mutex_);
        stop_ = true;
    } else if (request == kRequestCloseProgress) {
        rvo::Runtime::instance().terminateProgress();
    }
}

void PipeOperator::Started(const Program& program) {
    std::size_t total = 0;
    for (const auto& step : program.steps) {
        total += static_cast<std::size_t>(step.repeat);
    }
    Emit(kEventStart, JsonObject()
                          .Add("program", program.name)
                          .Add("file", program.file)
                          .Add("serial", program.uutSerial)
                          .Add("part", program.uutPart)
                          .Add("total", static_cast<long long>(total))
                          .Text());
}

void PipeOperator::Finished(const RunReport& report) {
    Emit(kEventEnd, JsonObject()
                        .Add("verdict", report.verdict)
                        .Add("serial", report.program->uutSerial)
                        .Add("program", report.program->name)
                        .Add("started", report.startedAt)
                        .Seconds("seconds", report.seconds)
                        .Add("steps", static_cast<long long>(report.steps.size()))
                        .Add("passed", static_cast<long long>(report.passed))
                        .Add("failed", static_cast<long long>(report.failed))
                        .Add("done", static_cast<long long>(report.done))
                        .Add("errors", static_cast<long long>(report.errors))
                        .Add("stopped", report.stopped)
                        .Text());
}

void PipeOperator::StepStarted(const StepRun& run, std::size_t done, std::size_t total) {
    live_ = StepOf(run);
    liveSeq_ = done;
    Emit(kEventStep, JsonObject()
                         .Add("seq", static_cast<long long>(done))
                         .Add("index", static_cast<long long>(run.step->index))
                         .Add("name", run.step->name)
                         .Add("method", run.step->method->name)
                         .Add("line", static_cast<long long>(run.step->line))
                         .Add("total", static_cast<long long>(total))
                         .Text());
}

void PipeOperator::ResultRecorded(const StepRun&, const rvo::Result& result) {
    live_.results.push_back(result);
    Emit(kEventResult, JsonObject()
                           .Add("seq", static_cast<long long>(liveSeq_))
                           .Add("html", HtmlResultRows(live_, liveSeq_, live_.results.size() - 1))
                           .Text());
}

void PipeOperator::StepFinished(const StepRun& run) {
    Emit(kEventStepDone, JsonObject()
                             .Add("seq", static_cast<long long>(liveSeq_))
                             .Add("html", HtmlStepBody(StepOf(run), liveSeq_))
                             .Text());
}

void PipeOperator::Message(long level, const std::string& text) {
    Emit(kEventMessage,
         JsonObject().Add("level", static_cast<long long>(level)).Add("text", text).Text());
}

long PipeOperator::Answer(const rvo::Alert& alert) {
    const auto& buttons = AlertButtons(alert.flags);
    std::string list = "[";
    for (const AlertButton& b : buttons) {
        list += list.size() > 1 ? "," : "";
        list += JsonObject()
                    .Add("label", b.label)
                    .Add("answer", static_cast<long long>(b.answer))
                    .Text();
    }
    long id = 0;
    {
        std::lock_guard lock(mutex_);
        id = ++nextDialog_;
    }
    Emit(kEventDialog, JsonObject()
                           .Add("id", static_cast<long long>(id))
                           .Add("title", alert.title)
                           .Add("text", alert.text)
                           .Add("flags", static_cast<long long>(alert.flags))
                           .Raw("buttons", list + "]")
                           .Text());
    const auto offered = [&](long answer) {
        return std::any_of(buttons.begin(), buttons.end(),
                           [&](const AlertButton& b) { return b.answer == answer; });
    };
    long answer = kAnswerWithoutPanel;
    {
        // The step waits for a person, not for the bench: no time-out.
        std::unique_lock lock(mutex_);
        answered_.wait(lock, [&] {
            const auto it = answers_.find(id);
            return gone_ || (it != answers_.end() && offered(it->second));
        });
        if (const auto it = answers_.find(id); it != answers_.end() && offered(it->second)) {
            answer = it->second;
        }
    }
    Emit(kEventAnswered, JsonObject()
                             .Add("id", static_cast<long long>(id))
                             .Add("answer", static_cast<long long>(answer))
                             .Text());
    return answer;
}

void PipeOperator::Progress(const rvo::ProgressWindow& window) {
    Emit(kEventProgress, JsonObject()
                             .Add("open", window.open)
                             .Add("title", window.title)
                             .Add("text", window.text)
                             .Add("steps", static_cast<long long>(window.steps))
                             .Add("position", static_cast<long long>(window.position))
                             .Text());
}

bool PipeOperator::StopRequested() {
    std::lock_guard lock(mutex_);
    return stop_;
}

} // namespace kora::run
