// The reports of a run in files: JSON (the whole run) and JUnit XML (one test case per result).
// The database of runs is run_store.h.
#pragma once

#include "runner.h"

#include <string>

namespace kora::run {

bool WriteJson(const RunReport& report, const std::string& path, std::string& error);
bool WriteJunit(const RunReport& report, const std::string& path, std::string& error);

// A text as a JSON string, quotes included.
std::string JsonString(const std::string& s);

} // namespace kora::run
