// kora-run: runs a test program (YAML) against libkora and the virtual bench.
//   kora-run [options] PROGRAM.yaml
//   kora-run methods [NAME]
//   kora-run scan [--sw FILE --hw FILE] [--naming N] [--json]
#include "format.h"
#include "html_report.h"
#include "program.h"
#include "reports.h"
#include "runner.h"
#include "scan.h"
#include "stats.h"

#include <CLI/CLI.hpp>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>

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

int StoredReport(const std::string& db, long long run, const std::string& html) {
    ReportView view;
    std::string error;
    if (!ReadStoredRun(db, run, view, error) || !WriteHtml(view, html, error)) {
        std::fprintf(stderr, "kora-run: %s\n", error.c_str());
        return 2;
    }
    std::printf("Run %lld (%s, UUT %s, %s) written to %s\n", view.runId, view.program.c_str(),
                view.uutSerial.empty() ? "-" : view.uutSerial.c_str(), view.verdict.c_str(),
                html.c_str());
    return 0;
}

int Statistics(const std::string& db, const std::string& program, const std::string& html) {
    std::vector<MeasurementStats> stats;
    std::string error;
    if (!ReadStats(db, program, stats, error)) {
        std::fprintf(stderr, "kora-run: %s\n", error.c_str());
        return 2;
    }
    std::fputs(StatsTable(stats).c_str(), stdout);
    const std::string title =
        "Measurement statistics" + (program.empty() ? std::string() : " of " + program);
    if (!html.empty() && !WriteStatsHtml(stats, title, html, error)) {
        std::fprintf(stderr, "kora-run: %s\n", error.c_str());
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"kora-run: runs KORA test programs on the virtual bench"};
    app.require_subcommand(0, 1);
    std::string programFile, jsonFile, junitFile, dbFile, htmlFile, logFile, onError = "continue",
                                                                             saveIct = "no";
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
    app.add_option("--db", dbFile, "append the run to an SQLite database");
    app.add_option("--html", htmlFile, "write a self-contained HTML report with plots");
    app.add_option("--log", logFile,
                   "write the executive's messages to a log file ('-': to the console)");
    std::vector<std::string> sets;
    app.add_option("--set", sets, "give a system parameter a value: SECTION:NAME=VALUE")
        ->allow_extra_args(false);
    app.add_option("--library", options.library, "libkora to load")->capture_default_str();
    std::string fixture = "follow", probes, closeAfter;
    OperatorOptions operatorOptions;
    app.add_option("--fixture", fixture,
                   "at a fixture dialog the operator does what it asks (follow: board out, short "
                   "plate in, board back after the step) or only answers (keep)")
        ->check(CLI::IsMember({"follow", "keep"}))
        ->capture_default_str();
    app.add_flag("--pin-location", operatorOptions.pinLocation,
                 "start the station's pin location tool after SETUP_KORA");
    app.add_option("--probe", probes,
                   "the probe in the pin location tool: NET@START[+LENGTH],... in seconds after "
                   "its window opened (LENGTH 3 s by default)");
    app.add_option("--progress-close", closeAfter,
                   "when the operator closes the pin location window: SECONDS after it opened, or "
                   "'never' (default: 3 s after the last touch, never without a probe)");
    auto* methods = app.add_subcommand("methods", "list the step methods, or one's arguments");
    std::string methodName;
    methods->add_option("name", methodName, "step method");
    auto* reportCmd = app.add_subcommand("report", "write the HTML report of a stored run");
    std::string storedDb, storedHtml, statsProgram;
    long long storedRun = 0;
    reportCmd->add_option("--db", storedDb, "SQLite database written by --db")->required();
    reportCmd->add_option("--run", storedRun, "run id (default: the last run stored)");
    reportCmd->add_option("--html", storedHtml, "the HTML report to write")->required();
    auto* statsCmd = app.add_subcommand("stats", "statistics of the stored measurements");
    statsCmd->add_option("--db", storedDb, "SQLite database written by --db")->required();
    statsCmd->add_option("--program", statsProgram, "only the runs of this program (its name)");
    statsCmd->add_option("--html", storedHtml, "also write them as HTML with histograms");
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
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (methods->parsed()) {
        return ListMethods(options.library, methodName);
    }
    if (reportCmd->parsed()) {
        return StoredReport(storedDb, storedRun, storedHtml);
    }
    if (scanCmd->parsed()) {
        scanOptions.library = options.library;
        return ScanStation(scanOptions);
    }
    if (statsCmd->parsed()) {
        return Statistics(storedDb, statsProgram, storedHtml);
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
    for (const auto& option : sets) {
        if (!ApplySetOption(program->executive, option, error)) {
            std::fprintf(stderr, "kora-run: %s\n", error.c_str());
            return 2;
        }
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
    options.onStart = [&] {
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
    bool written = true;
    if (!jsonFile.empty()) {
        written = WriteJson(report, jsonFile, error) && written;
    }
    if (!written || (!junitFile.empty() && !WriteJunit(report, junitFile, error)) ||
        (!htmlFile.empty() && !WriteHtml(ViewOf(report), htmlFile, error)) ||
        (!dbFile.empty() && !WriteDatabase(report, dbFile, error))) {
        std::fprintf(stderr, "kora-run: %s\n", error.c_str());
        return 2;
    }
    return report.exitStatus;
}
