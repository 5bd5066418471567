// The operator at the virtual station, as kora-run's options describe them: what a person at the
// fixture does when a dialog asks for it (take the board out, insert the short plate), and the
// station's pin location tool started by hand, with the probe touching nets in virtual time and
// the tool's window closed when the operator is done.
#pragma once

#include <executive/rvo_runtime.h>

#include <string>
#include <utility>
#include <vector>

namespace kora::run {

// At a fixture dialog of the compensation: do what it asks (and load the board again after the
// step), or answer without touching the fixture.
enum class FixtureAnswer { Follow, Keep };

// One touch of the probe: a board net, from `at` seconds after the tool's window opened, for
// `length` seconds.
struct ProbeTouch {
    std::string net;
    double at = 0;
    double length = 0;
};

struct OperatorOptions {
    FixtureAnswer fixture = FixtureAnswer::Follow;
    bool pinLocation = false; // start the pin location tool after SETUP_KORA
    std::vector<ProbeTouch> probes;
    // When the operator closes the tool's window, in seconds after it opened; below 0: a while
    // after the last touch, or never without touches (the tool then stops by itself).
    double closeAfter = -1;
};

// "NET@START[+LENGTH],..." with seconds, an optional "s" after each number. False with `error`.
bool ParseProbes(const std::string& text, std::vector<ProbeTouch>& touches, std::string& error);
// "SECONDS" or "never". False with `error`.
bool ParseCloseAfter(const std::string& text, double& seconds, std::string& error);

// What the pin location tool showed when it ended.
struct ToolRun {
    long result = -1; // the callback's answer; -1 when no tool was registered
    rvo::ProgressWindow window;
    double seconds = 0; // virtual time from the window's opening to its end
};

class SimulatedOperator {
  public:
    explicit SimulatedOperator(OperatorOptions options) : options_(std::move(options)) {}

    // The operator's answer to a message box or a progress window (rvo::kAlertProgress), acting
    // on the virtual station first.
    long Answer(const rvo::Alert& alert);
    // After each program step: the board goes back in if a dialog of the step took it out.
    void StepDone();
    // True once, after the first SETUP_KORA, when the operator is to start the tool.
    bool StartsPinLocationAfter(const std::string& method);
    // Starts the pin location tool as the executive's station menu does.
    ToolRun RunPinLocation(rvo::Runtime& rt);

  private:
    // Seconds after the window opened at which the operator closes it; below 0: never.
    double closeAt() const;

    OperatorOptions options_;
    bool fixtureChanged_ = false;
    bool pinLocationStarted_ = false;
    bool watching_ = false, opened_ = false;
    double openedAt_ = 0, closedAt_ = 0;
};

} // namespace kora::run
