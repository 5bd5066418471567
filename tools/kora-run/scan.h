// kora-run scan: what is in the rack of a station, as SCAN_FOR_KORA_DEVICES finds it, for the
// station integrator who writes the physical layer file.
#pragma once

#include <string>

namespace kora::run {

struct ScanOptions {
    std::string library;  // path of libkora
    std::string software; // software configuration
    std::string hardware; // physical layer file, whose station is scanned
    long naming = 0;      // the executive's device-naming mode
    bool json = false;    // JSON on stdout instead of the table
    std::string logFile;  // the scan's messages ("-": the console, between nothing else)
};

// Prints the scan; returns the exit status (0, or 2 with the reason on stderr).
int ScanStation(const ScanOptions& options);

// The example station next to the sources, the default of --sw and --hw.
std::string ExampleStationFile(const char* name);

} // namespace kora::run
