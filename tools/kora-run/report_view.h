// A run as its reports show it, whether it was just executed or read back from the database:
// the HTML report is written from this view in both cases, so that a stored run shows the same.
#pragma once

#include "runner.h"

#include <executive/rvo_runtime.h>

#include <string>
#include <vector>

namespace kora::run {

struct ReportStep {
    int index = 0; // 1-based position in the program
    int line = 0;
    int execution = 1;
    std::string name, method;
    long result = 0;
    double seconds = 0;
    std::vector<rvo::Result> results; // nested steps' results carry their own stepName
    std::vector<StepGraph> graphs;    // detail graphs of the nested steps
};

struct ReportParameter {
    std::string section, name, value;
};

struct ReportView {
    long long runId = 0; // in the database; 0 for a run not stored
    std::string program, programFile, uutSerial, uutPart, station, startedAt, verdict;
    double seconds = 0;
    bool stopped = false;
    int passed = 0, failed = 0, done = 0, errors = 0, exitStatus = 0;
    std::vector<ReportStep> steps;
    std::vector<rvo::Alert> alerts;
    std::vector<rvo::Message> log; // the operator's log: the executive's messages in order
    std::vector<ReportParameter> parameters;
};

ReportView ViewOf(const RunReport& report);
ReportStep StepOf(const StepRun& run);

// Reads run `runId` of the database at `path` (0: the last run stored). False with `error` when
// the file is no kora-run database or has no such run.
bool ReadStoredRun(const std::string& path, long long runId, ReportView& view, std::string& error);

// A run as a list of runs shows it.
struct RunSummary {
    long long runId = 0;
    std::string program, uutSerial, startedAt, verdict;
    double seconds = 0;
};

// The last `count` runs of the database at `path`, the latest first. False with `error` when the
// file is no kora-run database.
bool ReadLastRuns(const std::string& path, int count, std::vector<RunSummary>& runs,
                  std::string& error);

// Numbers of series samples stored as text: exact, separated by single spaces.
std::string JoinSamples(const std::vector<double>& values);
std::vector<double> SplitSamples(const std::string& text);

} // namespace kora::run
