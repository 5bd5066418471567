// Statistics of the measurements stored in a kora-run database, across runs: for every checked
// numeric result (PASS or FAIL) of a program step or of a component under it, the count, the
// failures, mean, standard deviation (over n - 1), minimum, maximum and the process capability
// against its limits:
//   Cp = (U - L) / 6σ           only with both limits
//   Cpk = min(U - μ, μ - L) / 3σ with the limits there are
// Samples that are not numbers count as failures only.
#pragma once

#include <string>
#include <vector>

namespace kora::run {

struct MeasurementStats {
    std::string program, step, component, result; // component empty for a step's own result
    long unit = 0;
    long count = 0;    // finite values
    long failures = 0; // FAIL verdicts, NaN included
    double mean = 0, sigma = 0, min = 0, max = 0;
    bool hasLow = false, hasHigh = false;
    std::string lowOp, highOp;
    double low = 0, high = 0; // the limits of the latest run
    double cp = 0, cpk = 0;   // NaN when not defined (a limit missing, fewer than 2 values, σ = 0)
    std::vector<double> values;
};

// Reads the measurements of every run stored in the databases `targets` (files or servers, taken
// together), or of the runs of `program` only (its name), or of `station` only (its name or id).
bool ReadStats(const std::vector<std::string>& targets, const std::string& program,
               const std::string& station, std::vector<MeasurementStats>& stats,
               std::string& error);
// The statistics of one measurement's values and limits (fills count to cpk).
void ComputeStats(MeasurementStats& m);

std::string StatsTable(const std::vector<MeasurementStats>& stats);
bool WriteStatsHtml(const std::vector<MeasurementStats>& stats, const std::string& title,
                    const std::string& path, std::string& error);

} // namespace kora::run
