// The operator's side of a run: what the executive shows while a program runs (steps, results,
// messages, the progress window) and the questions it waits on (alerts and message boxes). The
// command line answers by its policy; kora-run serve hands them to a browser.
#pragma once

#include <executive/rvo_runtime.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kora::run {

struct StepRun;

struct AlertButton {
    const char* label;
    long answer;
};

// The answers the executive offers for an alert or message box with `flags`.
const std::vector<AlertButton>& AlertButtons(long flags);

class Operator {
  public:
    virtual ~Operator() = default;
    virtual void StepStarted(const StepRun& run, std::size_t done, std::size_t total) = 0;
    // `run.results` ends with `result`.
    virtual void ResultRecorded(const StepRun& run, const rvo::Result& result) = 0;
    virtual void StepFinished(const StepRun& run) = 0;
    virtual void Message(long level, const std::string& text) = 0;
    // Shows the alert and returns the operator's answer; the calling step waits for it.
    virtual long Answer(const rvo::Alert& alert) = 0;
    virtual void Progress(const rvo::ProgressWindow& window) = 0;
    // The operator asked to end the run after the step that is running.
    virtual bool StopRequested() = 0;
};

} // namespace kora::run
