// The reports of a run: JSON (the whole run), JUnit XML (one test case per result) and SQLite
// (runs, step results and numeric limits; several runs append).
#pragma once

#include "runner.h"

#include <string>

namespace kora::run {

bool WriteJson(const RunReport& report, const std::string& path, std::string& error);
bool WriteJunit(const RunReport& report, const std::string& path, std::string& error);
bool WriteDatabase(const RunReport& report, const std::string& path, std::string& error);

// A text as a JSON string, quotes included.
std::string JsonString(const std::string& s);

} // namespace kora::run
