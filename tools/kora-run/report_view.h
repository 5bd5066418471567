// A run as its reports show it, whether it was just executed or read back from the database:
// the HTML report is written from this view in both cases, so that a stored run shows the same.
#pragma once

#include "runner.h"
#include "store.h"

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
    std::string type; // "int", "real" or "text", as the run wrote it
    long unit = 0;
    std::string comment;
};

// Which station ran a run: what tells apart the runs of a line's stations in one database.
struct StationIdentity {
    long long id = 0; // the executive's station id
    std::string name; // the station's name (the program's `station:` unless given)
    long panel = 0;   // 0: not given
    std::string host; // the computer that ran it
};

struct ReportView {
    long long runId = 0; // in the database; 0 for a run not stored
    std::string runUid;  // unique across the stations of a line; empty in older databases
    std::string program, programFile, uutSerial, uutPart, startedAt, verdict;
    StationIdentity station;
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

// Reads run `runId` of the database `target`, a file or a server (0: the last run stored, of
// `station` when given: its name or id). False with `error` when it is no kora-run database or
// has no such run.
bool ReadStoredRun(const std::string& target, long long runId, const std::string& station,
                   ReportView& view, std::string& error);
bool ReadRun(Store& store, long long runId, const std::string& station, ReportView& view,
             std::string& error);

// The condition on uut_result `u` that picks the runs of a station (by name or id) given as
// parameter ?N; an empty text picks every run. `withId`: the table has the station_id column.
std::string StationCondition(int parameter, bool withId);

// The kind of a result as stored ("real", "integer", "text", "series").
const char* KindName(rvo::ResultKind kind);

// A run as a list of runs shows it.
struct RunSummary {
    long long runId = 0;
    std::string program, uutSerial, startedAt, verdict;
    double seconds = 0;
};

// The last `count` runs of the database `target` (a file or a server URI), the latest first. False
// with `error` when it is no kora-run database.
bool ReadLastRuns(const std::string& target, int count, std::vector<RunSummary>& runs,
                  std::string& error);

// Numbers of series samples stored as text: exact, separated by single spaces.
std::string JoinSamples(const std::vector<double>& values);
std::vector<double> SplitSamples(const std::string& text);

} // namespace kora::run
