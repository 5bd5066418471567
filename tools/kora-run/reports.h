// The reports of a run in files: JSON (the whole run) and JUnit XML (one test case per result).
// The database of runs is run_store.h.
#pragma once

#include "report_view.h"
#include "runner.h"

#include <string>

namespace kora::run {

// `station` and `runUid` tell apart the runs of a line's stations (as the database does).
bool WriteJson(const RunReport& report, const StationIdentity& station, const std::string& runUid,
               const std::string& path, std::string& error);
bool WriteJunit(const RunReport& report, const StationIdentity& station, const std::string& runUid,
                const std::string& path, std::string& error);

// A text as a JSON string, quotes included.
std::string JsonString(const std::string& s);

} // namespace kora::run
