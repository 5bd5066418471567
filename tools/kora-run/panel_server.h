// kora-run serve: the operator panel, a local web page from which an operator enters a UUT's
// serial number, starts one of the station's programs, watches its steps and results arrive,
// answers its dialogs, sees the verdict and the station's last runs.
#pragma once

#include <string>
#include <vector>

namespace kora::run {

struct ServeOptions {
    std::vector<std::string> programs;
    std::string listen = "127.0.0.1"; // loopback unless asked otherwise
    int port = 8080;                  // 0: any free port
    std::string db;                   // runs are appended here and listed from here
    std::string work;                 // reports of the runs; a fresh temporary folder when empty
    std::string library;              // libkora for the runs
};

// Serves until SIGINT or SIGTERM; the process's exit status.
int Serve(const ServeOptions& options);

} // namespace kora::run
