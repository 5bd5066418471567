// Running a program: libkora loaded at run time, each step called through its signature
// thunk, results, alerts and messages collected from the executive runtime.
#pragma once

#include "operator.h"
#include "program.h"
#include "simulated_operator.h"

#include <executive/rvo_runtime.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kora::run {

enum class OnError { Continue, Stop, Ask };

struct RunOptions {
    std::string library; // path of libkora
    int repeat = 1;      // executions of the whole program
    bool compileOnly = false;
    OnError onError = OnError::Continue;
    bool saveIct = false;
    bool progress = false; // draw the progress line (on a terminal)
    bool echoResults = true;
    bool echoAlerts = true; // show each alert on stderr
    // Off: the report keeps only the counts and the verdict, not each step's run, results and
    // messages (a long --repeat soak keeps no more memory after its first execution).
    bool keepRuns = true;
    std::function<void(int execution)> afterExecution; // each execution of the program ended
    std::function<void(const std::string&)> logLine;   // messages of the executive
    std::function<void()> onStart;                     // libkora and every method were found
    // When given, it is shown every step and result and answers every alert instead of the
    // policy above.
    Operator* panel = nullptr;
    std::shared_ptr<SimulatedOperator> op; // the operator at the virtual station
};

// The detail graph of a nested step (an ICT component's measured record, thinned): its label
// ("CURRENT", "VOLTAGE") and samples.
struct StepGraph {
    std::string step; // the nested step's name
    std::string label;
    std::vector<double> values;
};

struct StepRun {
    const ProgramStep* step = nullptr;
    int execution = 0; // 1-based execution of the program (--repeat)
    long phase = 0;
    EN_NEV_RESULT result = 0;
    long stepResult = 0; // what the executive holds as the step's result
    double seconds = 0;
    std::vector<rvo::Result> results;
    std::vector<StepGraph> graphs;
};

struct RunReport {
    const Program* program = nullptr;
    std::string startedAt; // ISO 8601, UTC
    double seconds = 0;
    std::vector<StepRun> steps;
    std::vector<rvo::Alert> alerts;
    std::vector<rvo::Message> messages;
    std::vector<rvo::SysPara> parameters; // the system parameters the run wrote
    bool stopped = false;                 // the run ended early (-5 or an alert answered stop)
    bool toolFailed = false;              // a station tool the operator started reported an error
    int passed = 0, failed = 0, done = 0, errors = 0;
    std::string verdict; // "PASSED", "FAILED", "ERROR"
    int exitStatus = 0;  // 0 passed, 1 failed, 2 error
};

// Runs `program`; returns false with `error` set when libkora or a method cannot be loaded.
bool RunProgram(const Program& program, const RunOptions& options, RunReport& report,
                std::string& error);

// The libkora next to this executable: <dir of exe>/../lib/libkora.so.
std::string DefaultLibraryPath();

} // namespace kora::run
