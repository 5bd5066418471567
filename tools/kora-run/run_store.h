// A run written into a database (a file or a server), all of it in one transaction.
#pragma once

#include "report_view.h"
#include "store.h"

#include <string>

namespace kora::run {

// Writes `run` with its steps, results, limits, series, graphs, alerts, log and parameters.
// Duplicate: the database holds a run with the same identifier already (nothing written).
StoreStatus WriteRun(Store& store, const ReportView& run, std::string& error);

// A run identifier that no other run of any station has (a random UUID).
std::string NewRunIdentifier();

} // namespace kora::run
