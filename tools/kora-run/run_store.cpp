#include "run_store.h"

#include "format.h"
#include "schema.h"

#include <cstdio>
#include <random>

namespace kora::run {

std::string NewRunIdentifier() {
    std::random_device random;
    unsigned char bytes[16];
    for (auto& b : bytes) {
        b = static_cast<unsigned char>(random());
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
    std::string out;
    char hex[3];
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out += '-';
        }
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        out += hex;
    }
    return out;
}

StoreStatus WriteRun(Store& store, const ReportView& v, std::string& error) {
    if (!EnsureSchema(store, error)) {
        return StoreStatus::Failed;
    }
    auto fail = [&](const char* what) {
        error = store.Name() + ": " + what + ": " + store.Error();
        store.Exec("ROLLBACK");
        return StoreStatus::Failed;
    };
    RowWriter run(store, "uut_result"), stepRun(store, "step_run"), graph(store, "graph"),
        step(store, "step_result"), series(store, "series"), limits(store, "numeric_limits"),
        alert(store, "alert"), logLine(store, "log_line"), parameter(store, "system_parameter");
    for (const RowWriter* w :
         {&run, &stepRun, &graph, &step, &series, &limits, &alert, &logLine, &parameter}) {
        if (!w->ok()) {
            error = store.Name() + ": prepare: " + store.Error();
            return StoreStatus::Failed;
        }
    }
    if (!store.Exec("BEGIN")) {
        return fail("begin");
    }
    run.Text("program", v.program)
        .Text("program_file", v.programFile)
        .Text("uut_serial", v.uutSerial)
        .Text("uut_part", v.uutPart)
        .Text("station", v.station.name)
        .Text("start_time", v.startedAt)
        .Real("execution_seconds", v.seconds)
        .Text("status", v.verdict)
        .Int("exit_status", v.exitStatus)
        .Int("steps", static_cast<long long>(v.steps.size()))
        .Int("passed", v.passed)
        .Int("failed", v.failed)
        .Int("errors", v.errors)
        .Int("done", v.done)
        .Int("stopped", v.stopped ? 1 : 0)
        .Int("station_id", v.station.id)
        .Int("panel", v.station.panel)
        .Text("host", v.station.host);
    if (!v.runUid.empty()) {
        run.Text("run_uid", v.runUid);
    }
    long long runId = 0;
    switch (run.Insert(&runId)) {
    case StoreStatus::Ok:
        break;
    case StoreStatus::Duplicate:
        store.Exec("ROLLBACK");
        return StoreStatus::Duplicate;
    case StoreStatus::Failed:
        return fail("uut_result");
    }
    long long stepSeq = 0;
    for (const ReportStep& s : v.steps) {
        if (stepRun.Int("uut_result", runId)
                .Int("seq", ++stepSeq)
                .Int("step_index", s.index)
                .Int("execution", s.execution)
                .Text("step_name", s.name)
                .Text("method", s.method)
                .Int("program_line", s.line)
                .Int("step_return", s.result)
                .Real("seconds", s.seconds)
                .Insert() != StoreStatus::Ok) {
            return fail("step_run");
        }
        for (const StepGraph& g : s.graphs) {
            if (graph.Int("uut_result", runId)
                    .Int("step_seq", stepSeq)
                    .Text("component", g.step)
                    .Text("label", g.label)
                    .Text("samples", JoinSamples(g.values))
                    .Insert() != StoreStatus::Ok) {
                return fail("graph");
            }
        }
        for (const rvo::Result& r : s.results) {
            step.Int("uut_result", runId)
                .Int("step_index", s.index)
                .Int("execution", s.execution)
                .Text("step_name", s.name)
                .Text("method", s.method)
                .Int("program_line", s.line)
                .Int("result_number", r.resultNo)
                .Text("result_name", r.name)
                .Text("status", rvo::verdictName(r.verdict))
                .Text("kind", KindName(r.kind))
                .Int("unit", r.unit)
                .Text("unit_text", UnitText(r.unit))
                .Text("channel", r.channel)
                .Text("comment", r.comment)
                .Int("step_return", s.result)
                .Real("seconds", s.seconds)
                .Int("step_seq", stepSeq);
            if (r.stepName != s.name) {
                step.Text("component", r.stepName);
            }
            if (r.kind == rvo::ResultKind::Text) {
                step.Text("text_operator", r.lowOp);
                if (r.expectedGiven) {
                    step.Text("expected", r.expected);
                }
            }
            const bool numeric =
                r.kind == rvo::ResultKind::Real || r.kind == rvo::ResultKind::Integer;
            if (numeric) {
                step.Text("numeric_value", ExactNumber(r.value));
            } else {
                step.Text("text_value",
                          r.kind == rvo::ResultKind::Text ? r.text : ResultValueText(r));
            }
            long long stepId = 0;
            if (step.Insert(&stepId) != StoreStatus::Ok) {
                return fail("step_result");
            }
            if (r.kind == rvo::ResultKind::Series && series.Int("step_result", stepId)
                                                             .Real("span", r.span)
                                                             .Text("samples", JoinSamples(r.series))
                                                             .Insert() != StoreStatus::Ok) {
                return fail("series");
            }
            if (numeric && (!r.lowOp.empty() || !r.highOp.empty())) {
                limits.Int("step_result", stepId)
                    .Text("low_operator", r.lowOp)
                    .Text("high_operator", r.highOp)
                    .Text("units", UnitText(r.unit));
                if (!r.lowOp.empty()) {
                    limits.Text("low_limit", ExactNumber(r.low));
                }
                if (!r.highOp.empty()) {
                    limits.Text("high_limit", ExactNumber(r.high));
                }
                if (limits.Insert() != StoreStatus::Ok) {
                    return fail("numeric_limits");
                }
            }
        }
    }
    for (const auto& a : v.alerts) {
        if (alert.Int("uut_result", runId)
                .Text("title", a.title)
                .Text("text", a.text)
                .Int("flags", a.flags)
                .Int("answer", a.answer)
                .Insert() != StoreStatus::Ok) {
            return fail("alert");
        }
    }
    long long seq = 0;
    for (const auto& m : v.log) {
        if (logLine.Int("uut_result", runId)
                .Int("seq", ++seq)
                .Int("level", m.level)
                .Text("text", m.text)
                .Insert() != StoreStatus::Ok) {
            return fail("log_line");
        }
    }
    for (const auto& p : v.parameters) {
        if (parameter.Int("uut_result", runId)
                .Text("section", p.section)
                .Text("name", p.name)
                .Text("type", p.type)
                .Text("value", p.value)
                .Int("unit", p.unit)
                .Text("comment", p.comment)
                .Insert() != StoreStatus::Ok) {
            return fail("system_parameter");
        }
    }
    if (!store.Exec("COMMIT")) {
        return fail("commit");
    }
    return StoreStatus::Ok;
}

} // namespace kora::run
