// kora-run: runs a test program (YAML) against libkora and the virtual bench.
//   kora-run [options] PROGRAM.yaml
//   kora-run methods [NAME]
//   kora-run scan [--sw FILE --hw FILE] [--naming N] [--json]
//   kora-run report|stats|sync --db FILE|URI ...
//   kora-run serve [--port N] PROGRAM.yaml...
#include "format.h"
#include "html_report.h"
#include "operator_pipe.h"
#include "panel_server.h"
#include "program.h"
#include "reports.h"
#include "run_store.h"
#include "runner.h"
#include "scan.h"
#include "spool.h"
#include "stats.h"

#include <CLI/CLI.hpp>
#include <dlfcn.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

namespace {

using namespace kora;
using namespace kora::run;

const char* TypeName(ArgType t) {
    switch (t) {
    case ArgType::STR:
        return "text";
    case ArgType::BUF:
        return "text buffer";
    case ArgType::LONG:
        return "integer";
    case ArgType::LONGP:
        return "int variable";
    case ArgType::DOUBLE:
        return "real";
    case ArgType::DOUBLEP:
        return "real variable";
    case ArgType::DARRAY:
        return "reals variable";
    case ArgType::LARRAY:
        return "ints variable";
    case ArgType::PTR:
        return "array variable";
    }
    return "?";
}

const char* DirName(ArgDir d) {
    return d == ArgDir::IN ? "in" : d == ArgDir::OUT ? "out" : "in/out";
}

const char* DefaultOf(ArgType t) {
    switch (t) {
    case ArgType::LONG:
        return "0";
    case ArgType::DOUBLE:
        return "NaN";
    default:
        return "null";
    }
}

int ListMethods(const std::string& library, const std::string& name) {
    void* lib = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto implemented = [&](const char* n) { return lib && dlsym(lib, n) != nullptr; };
    if (name.empty()) {
        std::printf("%-22s %-8s %-5s %s\n", "METHOD", "CLASS", "KIND", "IN THIS BUILD");
        for (const auto& s : kStepMethods) {
            std::printf("%-22s %-8s %-5d %s\n", s.name, s.stepClass, s.kind,
                        implemented(s.name) ? "yes" : "no");
        }
        if (!lib) {
            std::fprintf(stderr, "note: libkora not found at %s\n", library.c_str());
        }
        return 0;
    }
    const StepInfo* s = FindStepInfo(name);
    if (!s) {
        std::fprintf(stderr, "kora-run: unknown method '%s'\n", name.c_str());
        return 2;
    }
    std::printf("%s (class %s, kind %d, %s in this build)\n", s->name, s->stepClass, s->kind,
                implemented(s->name) ? "implemented" : "not implemented");
    std::printf("  %-3s %-18s %-16s %-7s %-14s %s\n", "#", "ARGUMENT", "TYPE", "DIR", "C TYPE",
                "DEFAULT");
    int n = 6;
    for (const auto& a : s->args) {
        std::printf("  %-3d %-18s %-16s %-7s %-14s %s\n", n++, a.name, TypeName(a.type),
                    DirName(a.dir), a.ctype, DefaultOf(a.type));
    }
    return 0;
}

int StoredReport(const std::string& db, long long run, const std::string& station,
                 const std::string& html) {
    ReportView view;
    std::string error;
    if (!ReadStoredRun(db, run, station, view, error) || !WriteHtml(view, html, error)) {
        std::fprintf(stderr, "kora-run: %s\n", error.c_str());
        return 2;
    }
    std::printf("Run %lld (%s, UUT %s, %s) written to %s\n", view.runId, view.program.c_str(),
                view.uutSerial.empty() ? "-" : view.uutSerial.c_str(), view.verdict.c_str(),
                html.c_str());
    return 0;
}

int Statistics(const std::vector<std::string>& dbs, const std::string& program,
               const std::string& station, const std::string& html) {
    std::vector<MeasurementStats> stats;
    std::string error;
    if (!ReadStats(dbs, program, station, stats, error)) {
        std::fprintf(stderr, "kora-run: %s\n", error.c_str());
        return 2;
    }
    std::fputs(StatsTable(stats).c_str(), stdout);
    const std::string title = "Measurement statistics" +
                              (program.empty() ? std::string() : " of " + program) +
                              (station.empty() ? std::string() : " at station " + station);
    if (!html.empty() && !WriteStatsHtml(stats, title, html, error)) {
        std::fprintf(stderr, "kora-run: %s\n", error.c_str());
        return 2;
    }
    return 0;
}

// Delivers what waits in the station's spool to the server.
int Sync(const std::string& server, const std::string& spoolPath) {
    std::string error;
    auto store = OpenStore(server, true, error);
    SpoolDelivery delivery;
    const bool emptied = store && DeliverSpool(*store, spoolPath, delivery);
    if (store) {
        std::printf("%s\n", DeliveryNote(delivery, spoolPath, store->Name()).c_str());
    }
    if (emptied) {
        return 0;
    }
    std::fprintf(stderr, "kora-run: %s\n", store ? delivery.error.c_str() : error.c_str());
    return 2;
}

std::string HostName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"kora-run: runs KORA test programs on the virtual bench"};
    app.require_subcommand(0, 1);
    std::string programFile, jsonFile, junitFile, htmlFile, logFile, onError = "continue",
                                                                     saveIct = "no";
    std::vector<std::string> dbTargets;
    std::string stationName, spoolPath = DefaultSpoolPath();
    long stationId = 0, panelIndex = 0;
    RunOptions options;
    options.library = DefaultLibraryPath();
    app.add_option("program", programFile, "test program (YAML)");
    app.add_option("--repeat", options.repeat, "run the program N times (later runs: phase 1)")
        ->check(CLI::PositiveNumber);
    app.add_flag("--compile", options.compileOnly,
                 "compile only: phase 98 for every step after the first SETUP_KORA");
    app.add_option("--on-error", onError, "answer to error alerts")
        ->check(CLI::IsMember({"continue", "stop", "ask"}));
    app.add_option("--save-ict", saveIct, "answer to the save question of ICT parameters")
        ->check(CLI::IsMember({"yes", "no"}));
    app.add_option("--json", jsonFile, "write the whole run as JSON");
    app.add_option("--junit", junitFile, "write a JUnit XML report (one test case per result)");
    app.add_option("--db", dbTargets,
                   "append the run to an SQLite database or a PostgreSQL server "
                   "(postgresql://...); may be given more than once")
        ->allow_extra_args(false);
    app.add_option("--station", stationName, "the station's name (default: the program's)")
        ->envname("KORA_STATION");
    app.add_option("--station-id", stationId, "the station's id, also the executive's")
        ->envname("KORA_STATION_ID")
        ->check(CLI::PositiveNumber);
    app.add_option("--panel", panelIndex, "the panel the station tests")->envname("KORA_PANEL");
    app.add_option("--spool", spoolPath, "where runs wait that the server could not take")
        ->envname("KORA_SPOOL")
        ->capture_default_str();
    app.add_option("--html", htmlFile, "write a self-contained HTML report with plots");
    app.add_option("--log", logFile,
                   "write the executive's messages to a log file ('-': to the console)");
    std::vector<std::string> sets;
    app.add_option("--set", sets, "give a system parameter a value: SECTION:NAME=VALUE")
        ->allow_extra_args(false);
    app.add_option("--library", options.library, "libkora to load")->capture_default_str();
    std::string uutSerial;
    app.add_option("--uut-serial", uutSerial, "the UUT's serial number (instead of the program's)");
    int operatorFd = -1;
    app.add_option("--operator-fd", operatorFd,
                   "events to the operator panel on this file descriptor, its answers on the "
                   "standard input (kora-run serve starts runs so)")
        ->check(CLI::NonNegativeNumber);
    std::string fixture = "follow", probes, closeAfter;
    OperatorOptions operatorOptions;
    app.add_option("--fixture", fixture,
                   "at a fixture dialog the operator does what it asks (follow: board out, short "
                   "plate in, board back after the step) or only answers (keep)")
        ->check(CLI::IsMember({"follow", "keep"}))
        ->capture_default_str();
    auto* pinLocation = app.add_flag("--pin-location", operatorOptions.pinLocation,
                                     "start the station's pin location tool after SETUP_KORA");
    // A probe or a close time without the tool would be ignored: the operator is told instead.
    app.add_option("--probe", probes,
                   "the probe in the pin location tool: NET@START[+LENGTH],... in seconds after "
                   "its window opened (LENGTH 3 s by default)")
        ->needs(pinLocation);
    app.add_option("--progress-close", closeAfter,
                   "when the operator closes the pin location window: SECONDS after it opened, or "
                   "'never' (default: 3 s after the last touch, never without a probe)")
        ->needs(pinLocation);
    auto* methods = app.add_subcommand("methods", "list the step methods, or one's arguments");
    std::string methodName;
    methods->add_option("name", methodName, "step method");
    auto* reportCmd = app.add_subcommand("report", "write the HTML report of a stored run");
    std::string storedDb, storedHtml, statsProgram, storedStation;
    std::vector<std::string> statsDbs;
    long long storedRun = 0;
    reportCmd->add_option("--db", storedDb, "database written by --db (file or server)")
        ->required();
    reportCmd->add_option("--run", storedRun, "run id (default: the last run stored)");
    reportCmd->add_option("--station", storedStation, "the last run of this station (name or id)");
    reportCmd->add_option("--html", storedHtml, "the HTML report to write")->required();
    auto* statsCmd = app.add_subcommand("stats", "statistics of the stored measurements");
    statsCmd
        ->add_option("--db", statsDbs,
                     "database written by --db (file or server); several are taken together")
        ->required()
        ->allow_extra_args(false);
    statsCmd->add_option("--program", statsProgram, "only the runs of this program (its name)");
    statsCmd->add_option("--station", storedStation, "only the runs of this station (name or id)");
    statsCmd->add_option("--html", storedHtml, "also write them as HTML with histograms");
    auto* syncCmd = app.add_subcommand("sync", "deliver the runs waiting in the spool");
    syncCmd->add_option("--db", storedDb, "the server (postgresql://...)")->required();
    syncCmd->add_option("--spool", spoolPath, "the spool")->envname("KORA_SPOOL");
    auto* scanCmd = app.add_subcommand("scan", "list the modules in the rack of a station");
    ScanOptions scanOptions;
    scanOptions.software = ExampleStationFile("system.ini");
    scanOptions.hardware = ExampleStationFile("hardware.ini");
    scanCmd->add_option("--sw", scanOptions.software, "software configuration")
        ->capture_default_str();
    scanCmd->add_option("--hw", scanOptions.hardware, "physical layer file of the station")
        ->capture_default_str();
    scanCmd->add_option("--naming", scanOptions.naming, "device-naming mode of the executive");
    scanCmd->add_flag("--json", scanOptions.json, "print the scan as JSON");
    scanCmd->add_option("--log", scanOptions.logFile,
                        "write the scan's messages to a log file ('-': to stderr)");
    auto* serveCmd = app.add_subcommand("serve", "the operator panel: a local web page that runs "
                                                 "the programs and answers their dialogs");
    ServeOptions serveOptions;
    serveCmd->add_option("programs", serveOptions.programs, "test programs (YAML)")->required();
    serveCmd->add_option("--port", serveOptions.port, "TCP port (0: any free port)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    serveCmd
        ->add_option("--listen", serveOptions.listen,
                     "address to listen on (the loopback address: this computer only)")
        ->capture_default_str();
    serveCmd->add_option("--db", serveOptions.db,
                         "append every run to this SQLite database and list the last runs from it");
    serveCmd->add_option("--work", serveOptions.work,
                         "folder for the runs' reports (default: a new temporary folder)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (methods->parsed()) {
        return ListMethods(options.library, methodName);
    }
    if (reportCmd->parsed()) {
        return StoredReport(storedDb, storedRun, storedStation, storedHtml);
    }
    if (scanCmd->parsed()) {
        scanOptions.library = options.library;
        return ScanStation(scanOptions);
    }
    if (statsCmd->parsed()) {
        return Statistics(statsDbs, statsProgram, storedStation, storedHtml);
    }
    if (syncCmd->parsed()) {
        return Sync(storedDb, spoolPath);
    }
    if (serveCmd->parsed()) {
        serveOptions.library = options.library;
        return Serve(serveOptions);
    }
    if (programFile.empty()) {
        std::fprintf(stderr, "kora-run: no program given (kora-run --help)\n");
        return 2;
    }
    options.onError = onError == "stop"  ? OnError::Stop
                      : onError == "ask" ? OnError::Ask
                                         : OnError::Continue;
    options.saveIct = saveIct == "yes";
    operatorOptions.fixture = fixture == "keep" ? FixtureAnswer::Keep : FixtureAnswer::Follow;
    {
        std::string error;
        if ((!probes.empty() && !ParseProbes(probes, operatorOptions.probes, error)) ||
            (!closeAfter.empty() &&
             !ParseCloseAfter(closeAfter, operatorOptions.closeAfter, error))) {
            std::fprintf(stderr, "kora-run: %s\n", error.c_str());
            return 2;
        }
    }
    options.op = std::make_shared<SimulatedOperator>(operatorOptions);
    options.progress = isatty(STDOUT_FILENO) && isatty(STDERR_FILENO);

    std::string error;
    auto program = LoadProgram(programFile, error);
    if (!program) {
        std::fprintf(stderr, "kora-run: %s\n", error.c_str());
        return 2;
    }
    if (!uutSerial.empty()) {
        program->uutSerial = uutSerial;
    }
    for (const auto& option : sets) {
        if (!ApplySetOption(program->executive, option, error)) {
            std::fprintf(stderr, "kora-run: %s\n", error.c_str());
            return 2;
        }
    }
    // The station named on the command line is the one every report names.
    if (!stationName.empty()) {
        program->station = stationName;
    }
    if (stationId > 0) {
        program->executive.stationId = stationId;
    }
    std::ofstream log;
    if (logFile == "-") {
        // The operator's log on the console, between the result lines.
        options.logLine = [](const std::string& line) {
            std::string shown = line;
            while (!shown.empty() && shown.back() == '\n') {
                shown.pop_back();
            }
            std::printf("  | %s\n", shown.c_str());
        };
    } else if (!logFile.empty()) {
        log.open(logFile, std::ios::app);
        if (!log) {
            std::fprintf(stderr, "kora-run: cannot write the log %s\n", logFile.c_str());
            return 2;
        }
        options.logLine = [&](const std::string& line) { log << line << '\n'; };
    }
    std::unique_ptr<PipeOperator> panel;
    if (operatorFd >= 0) {
        std::signal(SIGPIPE, SIG_IGN); // the panel may go away; the run goes on without it
        panel = std::make_unique<PipeOperator>(operatorFd, STDIN_FILENO);
        options.panel = panel.get();
        options.progress = false;
    }
    options.onStart = [&] {
        if (panel) {
            panel->Started(*program);
        }
        std::printf("Program %s (%s)%s%s\n", program->name.c_str(), program->file.c_str(),
                    program->uutSerial.empty() ? "" : "  UUT ", program->uutSerial.c_str());
    };
    RunReport report;
    if (!RunProgram(*program, options, report, error)) {
        std::fprintf(stderr, "kora-run: %s\n", error.c_str());
        return 2;
    }
    std::printf("\nUUT %s%s%s: %s   %zu steps, %d results passed, %d failed, %d done, %d errors"
                "%s   %.3f s\n",
                program->uutSerial.empty() ? "-" : program->uutSerial.c_str(),
                program->uutPart.empty() ? "" : " / ", program->uutPart.c_str(),
                report.verdict.c_str(), report.steps.size(), report.passed, report.failed,
                report.done, report.errors, report.stopped ? " (stopped)" : "", report.seconds);
    ReportView view = ViewOf(report);
    view.runUid = NewRunIdentifier();
    view.station.id = program->executive.stationId.value_or(kDefaultStationId);
    view.station.panel = panelIndex;
    view.station.host = HostName();
    if ((!jsonFile.empty() && !WriteJson(report, view.station, view.runUid, jsonFile, error)) ||
        (!junitFile.empty() && !WriteJunit(report, view.station, view.runUid, junitFile, error)) ||
        (!htmlFile.empty() && !WriteHtml(view, htmlFile, error))) {
        std::fprintf(stderr, "kora-run: %s\n", error.c_str());
        return 2;
    }
    const auto say = [](const std::string& note) { std::fprintf(stderr, "%s\n", note.c_str()); };
    for (const std::string& target : dbTargets) {
        if (StoreRun(view, target, spoolPath, say, error) == RunStored::Failed) {
            std::fprintf(stderr, "kora-run: %s\n", error.c_str());
            return 2;
        }
    }
    if (panel) {
        panel->Finished(report);
    }
    return report.exitStatus;
}
