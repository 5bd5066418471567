// Runs an example program in the test process through kora-run's runner and the built libkora,
// on the virtual station its configuration names, optionally with a fault injected: what the
// fault sweep and the soak tests look at.
#pragma once

#include <program.h>
#include <runner.h>
#include <vbench/bench/virtual_bench.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kora::test {

struct ExampleRun {
    bool ran = false;
    std::string error;
    // The steps with their results' names and verdicts, and the exit status: what a second
    // run of the same program must repeat (the measured values carry the meters' noise).
    std::string signature;
    std::vector<std::string> executions; // the signature of each execution, without the exit
    uint64_t driverCalls = 0;
    std::string failedCall; // the driver function the injected fault hit
    std::vector<std::string> alerts;
    std::vector<std::string> texts; // result comments and texts, log lines

    int AlertsNaming(const std::string& text) const {
        int n = 0;
        for (const auto& a : alerts) {
            n += a.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }
    bool Mentions(const std::string& text) const {
        if (AlertsNaming(text) > 0) {
            return true;
        }
        for (const auto& t : texts) {
            if (t.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

// `rule` (may be null) applies to this run only; the call counters start at the run.
inline ExampleRun RunExample(const std::string& file, const vbench::FaultRule* rule,
                             int repeat = 1) {
    ExampleRun out;
    auto program = run::LoadProgram(file, out.error);
    if (!program) {
        return out;
    }
    if (auto bench = vbench::VirtualBench::active()) {
        bench->faults().reset();
        bench->journal().clear();
        if (rule) {
            bench->faults().add(*rule);
        }
    }
    run::RunOptions options;
    options.library = KORA_LIBKORA_PATH;
    options.repeat = repeat;
    options.echoResults = false;
    options.echoAlerts = false;
    run::RunReport report;
    out.ran = run::RunProgram(*program, options, report, out.error);
    for (const auto& step : report.steps) {
        out.executions.resize(static_cast<std::size_t>(std::max(step.execution, 1)));
        std::string& line = out.executions.back();
        line += step.step->name + ":";
        for (const auto& r : step.results) {
            line += " " + r.name + "=" + rvo::verdictName(r.verdict);
            out.texts.push_back(r.comment);
            out.texts.push_back(r.text);
        }
        line += "\n";
    }
    for (const auto& e : out.executions) {
        out.signature += e;
    }
    out.signature += "exit " + std::to_string(report.exitStatus) + "\n";
    for (const auto& a : report.alerts) {
        out.alerts.push_back(a.text);
    }
    for (const auto& m : report.messages) {
        out.texts.push_back(m.text);
    }
    if (auto bench = vbench::VirtualBench::active()) {
        out.driverCalls = bench->faults().calls("");
        for (const auto& e : bench->journal().entries()) {
            if (e.injected) {
                out.failedCall = e.function;
            }
        }
        bench->faults().reset();
    }
    return out;
}

} // namespace kora::test
