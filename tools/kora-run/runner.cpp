#include "runner.h"

#include "format.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>

namespace kora::run {

namespace {

constexpr const char* kGraphAttribute = "GRAPH";

using Clock = std::chrono::steady_clock;

std::string NowIso() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

long AskOperator(const rvo::Alert& a) {
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (!tty) {
        return 0; // nobody to ask: go on, the error is reported anyway
    }
    std::fprintf(tty, "\n%s\n[c]ontinue or [s]top? ", a.text.c_str());
    std::fflush(tty);
    char line[16] = {};
    long answer = 0;
    if (std::fgets(line, sizeof line, tty) && (line[0] == 's' || line[0] == 'S')) {
        answer = RVO_ANSWER_STOP;
    }
    std::fclose(tty);
    return answer;
}

class Progress {
  public:
    explicit Progress(bool on) : on_(on) {}
    void Show(std::size_t done, std::size_t total, const std::string& step, Clock::time_point t0) {
        if (!on_) {
            return;
        }
        double s = std::chrono::duration<double>(Clock::now() - t0).count();
        std::fprintf(stderr, "\r\033[K[%zu/%zu] %s  %02d:%04.1f", done, total, step.c_str(),
                     static_cast<int>(s / 60), s - 60 * static_cast<int>(s / 60));
        std::fflush(stderr);
        shown_ = true;
    }
    void Clear() {
        if (on_ && shown_) {
            std::fprintf(stderr, "\r\033[K");
            std::fflush(stderr);
            shown_ = false;
        }
    }

  private:
    bool on_;
    bool shown_ = false;
};

// The detail graphs that the nested steps of a run left in their "GRAPH" attribute. The graph
// holds the record thinned to its size, zero beyond the record's end.
void CollectGraphs(const rvo::Runtime& rt, StepRun& run) {
    std::vector<long> seen;
    for (const rvo::Result& r : run.results) {
        if (r.stepRef == run.step->index ||
            std::find(seen.begin(), seen.end(), r.stepRef) != seen.end()) {
            continue;
        }
        seen.push_back(r.stepRef);
        const rvo::Attribute* a = rt.attribute(r.stepRef, kGraphAttribute);
        if (!a || a->kind != rvo::AttrKind::RealArray || !a->address || a->sizeOrCount <= 0) {
            continue;
        }
        const auto* samples = static_cast<const double*>(a->address);
        std::size_t n = static_cast<std::size_t>(a->sizeOrCount);
        while (n > 0 && samples[n - 1] == 0.0) {
            --n;
        }
        if (n > 0) {
            run.graphs.push_back({r.stepName, a->text, std::vector<double>(samples, samples + n)});
        }
    }
}

void PrintResult(const StepRun& run, const rvo::Result& r) {
    // Results of nested steps (the components of an ICT program) are shown under their own
    // step's name, indented below the program step that ran them.
    const bool nested = r.stepRef != run.step->index;
    const std::string indent = nested ? "  " : "";
    std::string label =
        r.resultNo == 0 ? (nested ? indent + r.stepName : run.step->name) : indent + "  " + r.name;
    // Value and limits share one column of 59 characters, so a long text value does not push the
    // verdict out of its column.
    std::string middle = ResultValueText(r);
    const std::string limits = FormatLimits(r);
    if (middle.size() < 18) {
        middle.resize(18, ' ');
    }
    if (!limits.empty()) {
        middle += " " + limits;
    }
    std::printf("L%-4d %-30s %-59s %s\n", run.step->line, label.c_str(), middle.c_str(),
                rvo::verdictName(r.verdict));
}

constexpr const char* kToolHead = "Pin location tool: %s\n";
constexpr const char* kToolLine = "  %s\n";
constexpr const char* kToolEnd = "  (window closed %s after %.1f s)\n";
constexpr const char* kNoTool =
    "kora-run: no pin location tool is registered (no SETUP_KORA ran)\n";

// The operator starts the station's pin location tool; its window's list when it ended is
// printed. False when the tool could not run.
bool RunPinLocationTool(SimulatedOperator& op, rvo::Runtime& rt) {
    const ToolRun run = op.RunPinLocation(rt);
    if (run.result == -1) {
        std::fputs(kNoTool, stderr);
        return false;
    }
    std::printf(kToolHead, run.window.title.empty() ? "-" : run.window.title.c_str());
    std::istringstream lines(run.window.detail);
    for (std::string line; std::getline(lines, line);) {
        std::printf(kToolLine, line.c_str());
    }
    if (!run.window.title.empty()) {
        std::printf(kToolEnd, run.window.terminated ? "by the operator" : "by the tool",
                    run.seconds);
    }
    return run.result == 0;
}

} // namespace

std::string DefaultLibraryPath() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return "libkora.so";
    }
    return (exe.parent_path().parent_path() / "lib" / "libkora.so").string();
}

bool RunProgram(const Program& program, const RunOptions& options, RunReport& report,
                std::string& error) {
    report = RunReport{};
    report.program = &program;
    void* lib = dlopen(options.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = dlerror();
        error = "cannot load libkora (" + options.library + "): " + (why ? why : "unknown error");
        return false;
    }
    std::vector<void*> entries;
    for (const auto& step : program.steps) {
        void* fn = dlsym(lib, step.method->name);
        if (!fn) {
            error = program.file + ":" + std::to_string(step.line) + ": " + step.method->name +
                    " is not implemented in this build of libkora (see kora-run methods)";
            return false; // the library stays loaded until the process ends, as on success
        }
        entries.push_back(fn);
    }
    if (options.onStart) {
        options.onStart();
    }

    auto& rt = rvo::Runtime::instance();
    rt.reset();
    rt.setKeepResults(false);
    StepRun* current = nullptr;
    Progress progress(options.progress);
    rt.setResultSink([&](const rvo::Result& r) {
        if (current) {
            current->results.push_back(r);
            if (options.panel) {
                options.panel->ResultRecorded(*current, r);
            }
        }
    });
    rt.setMessageSink([&](long level, const std::string& text) {
        if (options.keepRuns) {
            report.messages.push_back({level, text});
        }
        if (options.panel) {
            options.panel->Message(level, text);
        }
        if (options.logLine) {
            options.logLine(text);
        }
    });
    rt.setAlertPolicy([&](const rvo::Alert& a) -> long {
        if (a.flags == rvo::kAlertProgress) {
            return options.op ? options.op->Answer(a) : 0;
        }
        progress.Clear();
        if (options.echoAlerts) {
            std::fprintf(stderr, "%s%s%s\n", a.title.empty() ? "" : a.title.c_str(),
                         a.title.empty() ? "" : ": ", a.text.c_str());
        }
        if (options.op && a.flags == 0) {
            options.op->Answer(a); // a dialog: the operator does what it asks, then answers
        }
        if (options.panel) {
            return options.panel->Answer(a);
        }
        if (a.flags == RVO_ALERT_SAVE_QUESTION) {
            return options.saveIct ? RVO_ANSWER_SAVE : 0;
        }
        if (a.flags != RVO_ALERT_ERROR) {
            return 0;
        }
        switch (options.onError) {
        case OnError::Stop:
            return RVO_ANSWER_STOP;
        case OnError::Ask:
            return AskOperator(a);
        case OnError::Continue:
            break;
        }
        return 0;
    });
    if (options.panel) {
        rt.setProgressSink([&](const rvo::ProgressWindow& w) { options.panel->Progress(w); });
    }
    for (const auto& [name, value] : program.settings) {
        rt.setSetting(name, value);
    }
    ApplyExecutiveDecl(program.executive, rt);
    rt.setUut(1, 1, program.uutSerial);
    rt.setCompileOnly(false);
    for (const auto& step : program.steps) {
        for (const auto& [name, value] : step.attributes) {
            rt.presetAttribute(step.index, name, value);
        }
    }

    // Compile-only runs the set-up step for real (later steps need its benches), then phase 98.
    int setupIndex = 0;
    for (const auto& step : program.steps) {
        if (std::string_view(step.method->name) == "SETUP_KORA") {
            setupIndex = step.index;
            break;
        }
    }

    report.startedAt = NowIso();
    const auto t0 = Clock::now();
    std::size_t total = 0;
    for (const auto& step : program.steps) {
        total += static_cast<std::size_t>(step.repeat);
    }
    const int executions = options.compileOnly ? 1 : options.repeat;
    total *= static_cast<std::size_t>(executions);
    report.steps.reserve(options.keepRuns ? total : 1);
    std::size_t doneSteps = 0;
    bool stepError = false;
    auto tally = [&](const StepRun& run) {
        stepError = stepError || run.result == -2 || run.result == -5 || run.stepResult == -2;
        for (const auto& r : run.results) {
            switch (r.verdict) {
            case rvo::Verdict::Pass:
                report.passed++;
                break;
            case rvo::Verdict::Fail:
                report.failed++;
                break;
            case rvo::Verdict::Done:
                report.done++;
                break;
            case rvo::Verdict::Error:
                report.errors++;
                break;
            }
        }
    };
    for (int exec = 1; exec <= executions && !report.stopped; ++exec) {
        for (std::size_t i = 0; i < program.steps.size() && !report.stopped; ++i) {
            const ProgramStep& step = program.steps[i];
            for (int rep = 0; rep < step.repeat && !report.stopped; ++rep) {
                progress.Show(doneSteps, total, step.name, t0);
                if (options.compileOnly && step.index != setupIndex) {
                    rt.scriptPhases({RVO_PHASE_COMPILE});
                }
                report.steps.push_back(StepRun{});
                StepRun& run = report.steps.back();
                run.step = &step;
                run.execution = exec;
                current = &run;
                if (options.panel) {
                    options.panel->StepStarted(run, doneSteps, total);
                }
                CommonArgs common{step.index, step.name.c_str(), static_cast<long>(step.line) << 8,
                                  0, step.comment.c_str()};
                const auto values = BuildArgValues(step);
                const auto s0 = Clock::now();
                rt.takeLooseResult();
                run.result = step.method->invoke(entries[i], common, values.data());
                run.seconds = std::chrono::duration<double>(Clock::now() - s0).count();
                current = nullptr;
                CollectGraphs(rt, run);
                if (const rvo::Step* st = rt.step(step.index)) {
                    run.phase = st->lastPhase;
                    run.stepResult = st->stepResult;
                }
                if (const auto loose = rt.takeLooseResult()) {
                    run.stepResult = *loose; // refused before its entry, e.g. without a bench
                }
                ++doneSteps;
                if (options.echoResults && !run.results.empty()) {
                    progress.Clear();
                    for (const auto& r : run.results) {
                        PrintResult(run, r);
                    }
                }
                if (options.panel) {
                    options.panel->StepFinished(run);
                }
                if (run.result == -5 || run.stepResult == -5 ||
                    (options.panel && options.panel->StopRequested())) {
                    report.stopped = true;
                }
                if (options.op) {
                    options.op->StepDone();
                    if (options.op->StartsPinLocationAfter(step.method->name)) {
                        progress.Clear();
                        report.toolFailed =
                            !RunPinLocationTool(*options.op, rt) || report.toolFailed;
                    }
                }
                if (!options.keepRuns) {
                    tally(run);
                    report.steps.pop_back();
                }
            }
        }
        if (options.afterExecution) {
            options.afterExecution(exec);
        }
    }
    progress.Clear();
    report.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    report.alerts = rt.alerts();
    for (const auto& p : rt.sysParas()) {
        if (p.written) {
            report.parameters.push_back(p);
        }
    }

    for (const auto& run : report.steps) {
        tally(run);
    }
    if (stepError || report.errors > 0 || report.stopped || report.toolFailed) {
        report.verdict = "ERROR";
        report.exitStatus = 2;
    } else if (report.failed > 0) {
        report.verdict = "FAILED";
        report.exitStatus = 1;
    } else {
        report.verdict = "PASSED";
        report.exitStatus = 0;
    }
    rt.setResultSink(nullptr);
    rt.setMessageSink(nullptr);
    rt.setAlertPolicy(nullptr);
    rt.setProgressSink(nullptr);
    // libkora stays loaded: its bench records may still be referenced by the runtime's callbacks.
    return true;
}

} // namespace kora::run
