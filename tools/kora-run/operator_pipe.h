// The operator of a run that kora-run serve started: every event goes to the panel as one line
// "<event> <JSON object>" on a file descriptor, results already rendered as the HTML report shows
// them; the panel's answers come back as lines on another ("answer <id> <value>", "stop",
// "close-progress"). When the panel goes away, the run goes on with the answers of the command
// line's default policy.
#pragma once

#include "operator.h"
#include "report_view.h"
#include "runner.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace kora::run {

// The events, by the name the panel's page listens to.
inline constexpr const char* kEventStart = "start";
inline constexpr const char* kEventStep = "step";
inline constexpr const char* kEventResult = "result";
inline constexpr const char* kEventStepDone = "stepdone";
inline constexpr const char* kEventMessage = "message";
inline constexpr const char* kEventDialog = "dialog";
inline constexpr const char* kEventAnswered = "answered";
inline constexpr const char* kEventProgress = "progress";
inline constexpr const char* kEventEnd = "end";
// The panel's requests.
inline constexpr const char* kRequestAnswer = "answer";
inline constexpr const char* kRequestStop = "stop";
inline constexpr const char* kRequestCloseProgress = "close-progress";

class PipeOperator : public Operator {
  public:
    PipeOperator(int eventFd, int requestFd);
    ~PipeOperator() override;
    PipeOperator(const PipeOperator&) = delete;
    PipeOperator& operator=(const PipeOperator&) = delete;

    void Started(const Program& program);
    // The run and its reports are complete.
    void Finished(const RunReport& report);

    void StepStarted(const StepRun& run, std::size_t done, std::size_t total) override;
    void ResultRecorded(const StepRun& run, const rvo::Result& result) override;
    void StepFinished(const StepRun& run) override;
    void Message(long level, const std::string& text) override;
    long Answer(const rvo::Alert& alert) override;
    void Progress(const rvo::ProgressWindow& window) override;
    bool StopRequested() override;

  private:
    void Emit(const char* event, const std::string& json);
    void ReadRequests();
    void Handle(const std::string& line);

    int eventFd_, requestFd_;
    int wake_[2] = {-1, -1}; // ends the request reader
    std::mutex writeMutex_;
    std::mutex mutex_;
    std::condition_variable answered_;
    std::map<long, long> answers_;
    long nextDialog_ = 0;
    bool stop_ = false, gone_ = false;
    ReportStep live_; // the running step as its results arrive
    std::size_t liveSeq_ = 0;
    std::thread reader_;
};

} // namespace kora::run
