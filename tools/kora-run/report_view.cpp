#include "report_view.h"

#include "executive_decl.h"
#include "format.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>

namespace kora::run {

namespace {

rvo::Verdict VerdictOf(const std::string& name) {
    for (rvo::Verdict v :
         {rvo::Verdict::Pass, rvo::Verdict::Fail, rvo::Verdict::Done, rvo::Verdict::Error}) {
        if (name == rvo::verdictName(v)) {
            return v;
        }
    }
    return rvo::Verdict::Error;
}

rvo::ResultKind KindOf(const std::string& name) {
    return name == "integer"  ? rvo::ResultKind::Integer
           : name == "text"   ? rvo::ResultKind::Text
           : name == "series" ? rvo::ResultKind::Series
                              : rvo::ResultKind::Real;
}

double NumberOf(const std::string& text) {
    return text.empty() ? 0.0 : std::strtod(text.c_str(), nullptr);
}

} // namespace

const char* KindName(rvo::ResultKind k) {
    switch (k) {
    case rvo::ResultKind::Real:
        return "real";
    case rvo::ResultKind::Integer:
        return "integer";
    case rvo::ResultKind::Text:
        return "text";
    case rvo::ResultKind::Series:
        return "series";
    }
    return "?";
}

std::string JoinSamples(const std::vector<double>& values) {
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) {
            out += ' ';
        }
        out += ExactNumber(values[i]);
    }
    return out;
}

std::vector<double> SplitSamples(const std::string& text) {
    std::vector<double> out;
    const char* p = text.c_str();
    while (*p) {
        char* end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p) {
            break;
        }
        out.push_back(v);
        p = end;
    }
    return out;
}

ReportStep StepOf(const StepRun& s) {
    ReportStep step;
    step.index = s.step->index;
    step.line = s.step->line;
    step.execution = s.execution;
    step.name = s.step->name;
    step.method = s.step->method->name;
    step.result = s.result;
    step.seconds = s.seconds;
    step.results = s.results;
    step.graphs = s.graphs;
    return step;
}

ReportView ViewOf(const RunReport& report) {
    const Program& p = *report.program;
    ReportView v;
    v.program = p.name;
    v.programFile = p.file;
    v.uutSerial = p.uutSerial;
    v.uutPart = p.uutPart;
    v.station.name = p.station;
    v.startedAt = report.startedAt;
    v.verdict = report.verdict;
    v.seconds = report.seconds;
    v.stopped = report.stopped;
    v.passed = report.passed;
    v.failed = report.failed;
    v.done = report.done;
    v.errors = report.errors;
    v.exitStatus = report.exitStatus;
    v.steps.reserve(report.steps.size());
    for (const StepRun& s : report.steps) {
        v.steps.push_back(StepOf(s));
    }
    v.alerts = report.alerts;
    v.log = report.messages;
    for (const auto& sp : report.parameters) {
        v.parameters.push_back({sp.section, sp.name, ParameterValueText(sp, sp.written),
                                ParameterTypeName(sp.written), sp.unit, sp.comment});
    }
    return v;
}

bool ReadLastRuns(const std::string& target, int count, std::vector<RunSummary>& runs,
                  std::string& error) {
    runs.clear();
    auto store = OpenStore(target, false, error);
    if (!store) {
        return false;
    }
    if (!store->Columns("uut_result").count("id")) {
        error = store->Name() + ": not a kora-run database (no table uut_result)";
        return false;
    }
    auto q = store->Prepare("SELECT id, program, uut_serial, start_time, status, execution_seconds "
                            "FROM uut_result ORDER BY id DESC LIMIT ?");
    if (!q) {
        error = store->Name() + ": " + store->Error();
        return false;
    }
    q->Int(1, count);
    while (q->Next()) {
        runs.push_back(
            {q->Integer(0), q->Column(1), q->Column(2), q->Column(3), q->Column(4), q->Number(5)});
    }
    return true;
}

std::string StationCondition(int parameter, bool withId) {
    const std::string p = "?" + std::to_string(parameter);
    return "(" + p + " = '' OR u.station = " + p +
           (withId ? " OR CAST(u.station_id AS TEXT) = " + p : std::string()) + ")";
}

bool ReadStoredRun(const std::string& target, long long runId, const std::string& station,
                   ReportView& view, std::string& error) {
    auto store = OpenStore(target, false, error);
    return store && ReadRun(*store, runId, station, view, error);
}

bool ReadRun(Store& store, long long runId, const std::string& station, ReportView& view,
             std::string& error) {
    const std::set<std::string> runColumns = store.Columns("uut_result");
    if (!runColumns.count("id")) {
        error = store.Name() + ": not a kora-run database (no table uut_result)";
        return false;
    }
    // Databases written before the series, log and component columns, or before the station
    // identity, still show.
    const bool current = store.Columns("step_result").count("component") != 0;
    const bool identified = runColumns.count("station_id") != 0;
    const std::string ofStation = StationCondition(2, identified);
    auto run = store.Prepare(
        std::string("SELECT id, program, program_file, uut_serial, uut_part, station, start_time, "
                    "execution_seconds, status, exit_status, passed, failed, errors, ") +
        (current ? "done, stopped, " : "0, 0, ") +
        (identified ? "run_uid, station_id, panel, host " : "NULL, 0, 0, NULL ") +
        "FROM uut_result u WHERE " + ofStation +
        " AND (id = ?1 OR (?1 = 0 AND id = (SELECT MAX(id) FROM uut_result u WHERE " + ofStation +
        ")))");
    if (!run || !run->Int(1, runId).Text(2, station).Next()) {
        error = store.Name() + ": no run " +
                (runId ? std::to_string(runId) : std::string("stored")) +
                (station.empty() ? "" : " of station " + station);
        return false;
    }
    view = ReportView{};
    view.runId = run->Integer(0);
    view.program = run->Column(1);
    view.programFile = run->Column(2);
    view.uutSerial = run->Column(3);
    view.uutPart = run->Column(4);
    view.station.name = run->Column(5);
    view.startedAt = run->Column(6);
    view.seconds = run->Number(7);
    view.verdict = run->Column(8);
    view.exitStatus = static_cast<int>(run->Integer(9));
    view.passed = static_cast<int>(run->Integer(10));
    view.failed = static_cast<int>(run->Integer(11));
    view.errors = static_cast<int>(run->Integer(12));
    view.done = static_cast<int>(run->Integer(13));
    view.stopped = run->Integer(14) != 0;
    view.runUid = run->Column(15);
    view.station.id = run->Integer(16);
    view.station.panel = static_cast<long>(run->Integer(17));
    view.station.host = run->Column(18);

    // Every step of the run, with or without results (databases written before step_run
    // existed know only the steps that reported something: those are rebuilt from the results).
    std::map<long long, std::size_t> stepOfSeq;
    if (current) {
        auto steps = store.Prepare("SELECT seq, step_index, execution, step_name, method, "
                                   "program_line, step_return, seconds FROM step_run "
                                   "WHERE uut_result = ? ORDER BY seq");
        if (steps) {
            steps->Int(1, view.runId);
            while (steps->Next()) {
                ReportStep step;
                step.index = static_cast<int>(steps->Integer(1));
                step.execution = static_cast<int>(steps->Integer(2));
                step.name = steps->Column(3);
                step.method = steps->Column(4);
                step.line = static_cast<int>(steps->Integer(5));
                step.result = static_cast<long>(steps->Integer(6));
                step.seconds = steps->Number(7);
                stepOfSeq[steps->Integer(0)] = view.steps.size();
                view.steps.push_back(std::move(step));
            }
        }
    }
    auto rows = store.Prepare(
        std::string("SELECT s.step_index, s.execution, s.step_name, s.method, s.program_line, "
                    "s.result_number, s.result_name, s.status, s.kind, s.unit, "
                    "s.numeric_value, s.text_value, s.channel, s.comment, s.step_return, "
                    "s.seconds, l.low_limit, l.low_operator, l.high_limit, l.high_operator, ") +
        (current ? "s.component, s.text_operator, s.expected, x.span, x.samples, s.step_seq "
                   "FROM step_result s LEFT JOIN numeric_limits l ON l.step_result = s.id "
                   "LEFT JOIN series x ON x.step_result = s.id "
                 : "NULL, NULL, NULL, NULL, NULL, NULL FROM step_result s "
                   "LEFT JOIN numeric_limits l ON l.step_result = s.id ") +
        "WHERE s.uut_result = ? ORDER BY s.id");
    if (!rows) {
        error = store.Name() + ": " + store.Error();
        return false;
    }
    rows->Int(1, view.runId);
    while (rows->Next()) {
        const StoreQuery& row = *rows;
        ReportStep* step = nullptr;
        if (const auto it = stepOfSeq.find(row.Integer(25));
            !row.IsNull(25) && it != stepOfSeq.end()) {
            step = &view.steps[it->second];
        } else {
            const int index = static_cast<int>(row.Integer(0));
            const int execution = static_cast<int>(row.Integer(1));
            if (view.steps.empty() || view.steps.back().index != index ||
                view.steps.back().execution != execution) {
                ReportStep fresh;
                fresh.index = index;
                fresh.execution = execution;
                fresh.name = row.Column(2);
                fresh.method = row.Column(3);
                fresh.line = static_cast<int>(row.Integer(4));
                fresh.result = static_cast<long>(row.Integer(14));
                fresh.seconds = row.Number(15);
                view.steps.push_back(std::move(fresh));
            }
            step = &view.steps.back();
        }
        rvo::Result r;
        r.resultNo = static_cast<long>(row.Integer(5));
        r.name = row.Column(6);
        r.stepName = row.IsNull(20) ? step->name : row.Column(20);
        r.verdict = VerdictOf(row.Column(7));
        r.kind = KindOf(row.Column(8));
        r.unit = static_cast<long>(row.Integer(9));
        r.channel = row.Column(12);
        r.comment = row.Column(13);
        switch (r.kind) {
        case rvo::ResultKind::Real:
        case rvo::ResultKind::Integer:
            r.value = NumberOf(row.Column(10));
            r.valueInt = static_cast<long>(r.value);
            r.low = NumberOf(row.Column(16));
            r.lowOp = row.Column(17);
            r.high = NumberOf(row.Column(18));
            r.highOp = row.Column(19);
            break;
        case rvo::ResultKind::Text:
            r.text = row.Column(11);
            r.lowOp = row.Column(21);
            r.expectedGiven = !row.IsNull(22);
            r.expected = row.Column(22);
            break;
        case rvo::ResultKind::Series:
            r.span = row.Number(23);
            r.series = SplitSamples(row.Column(24));
            break;
        }
        step->results.push_back(std::move(r));
    }
    if (current && store.Columns("graph").count("label")) {
        auto graphs = store.Prepare("SELECT step_seq, component, label, samples FROM graph "
                                    "WHERE uut_result = ? ORDER BY rowid");
        if (graphs) {
            graphs->Int(1, view.runId);
            while (graphs->Next()) {
                if (const auto it = stepOfSeq.find(graphs->Integer(0)); it != stepOfSeq.end()) {
                    view.steps[it->second].graphs.push_back(
                        {graphs->Column(1), graphs->Column(2), SplitSamples(graphs->Column(3))});
                }
            }
        }
    }
    if (auto alerts = store.Prepare("SELECT title, text, flags, answer FROM alert "
                                    "WHERE uut_result = ? ORDER BY rowid")) {
        alerts->Int(1, view.runId);
        while (alerts->Next()) {
            view.alerts.push_back({alerts->Column(0), alerts->Column(1),
                                   static_cast<long>(alerts->Integer(2)),
                                   static_cast<long>(alerts->Integer(3))});
        }
    }
    if (current) {
        if (auto log = store.Prepare("SELECT level, text FROM log_line WHERE uut_result = ? "
                                     "ORDER BY seq")) {
            log->Int(1, view.runId);
            while (log->Next()) {
                view.log.push_back({static_cast<long>(log->Integer(0)), log->Column(1)});
            }
        }
    }
    if (auto params = store.Prepare("SELECT section, name, value, type, unit, comment "
                                    "FROM system_parameter WHERE uut_result = ? ORDER BY rowid")) {
        params->Int(1, view.runId);
        while (params->Next()) {
            view.parameters.push_back({params->Column(0), params->Column(1), params->Column(2),
                                       params->Column(3), static_cast<long>(params->Integer(4)),
                                       params->Column(5)});
        }
    }
    return true;
}

} // namespace kora::run
