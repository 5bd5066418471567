#include "report_view.h"

#include "executive_decl.h"
#include "format.h"

#include <sqlite3.h>

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

// A prepared query whose columns are read by index; null columns read as empty or 0.
class Query {
  public:
    Query(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Query() { sqlite3_finalize(stmt_); }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    bool ok() const { return stmt_ != nullptr; }
    Query& bind(int i, long long v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    bool next() { return sqlite3_step(stmt_) == SQLITE_ROW; }
    std::string text(int i) const {
        const auto* t = sqlite3_column_text(stmt_, i);
        return t ? reinterpret_cast<const char*>(t) : "";
    }
    long long integer(int i) const { return sqlite3_column_int64(stmt_, i); }
    double real(int i) const { return sqlite3_column_double(stmt_, i); }
    bool null(int i) const { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

bool HasColumn(sqlite3* db, const char* table, const char* column) {
    const std::string sql = std::string("SELECT 1 FROM pragma_table_info('") + table +
                            "') WHERE name = '" + column + "'";
    Query q(db, sql.c_str());
    return q.ok() && q.next();
}

} // namespace

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
    v.station = p.station;
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
        v.parameters.push_back({sp.section, sp.name, ParameterValueText(sp, sp.written)});
    }
    return v;
}

bool ReadLastRuns(const std::string& path, int count, std::vector<RunSummary>& runs,
                  std::string& error) {
    runs.clear();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot open the database");
        sqlite3_close_v2(db);
        return false;
    }
    struct Closer {
        sqlite3* db;
        ~Closer() { sqlite3_close_v2(db); }
    } closer{db};
    if (!HasColumn(db, "uut_result", "id")) {
        error = path + ": not a kora-run database (no table uut_result)";
        return false;
    }
    Query q(db, "SELECT id, program, uut_serial, start_time, status, execution_seconds "
                "FROM uut_result ORDER BY id DESC LIMIT ?");
    if (!q.ok()) {
        error = path + ": " + sqlite3_errmsg(db);
        return false;
    }
    q.bind(1, count);
    while (q.next()) {
        runs.push_back({q.integer(0), q.text(1), q.text(2), q.text(3), q.text(4), q.real(5)});
    }
    return true;
}

bool ReadStoredRun(const std::string& path, long long runId, ReportView& view, std::string& error) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot open the database");
        sqlite3_close_v2(db);
        return false;
    }
    struct Closer {
        sqlite3* db;
        ~Closer() { sqlite3_close_v2(db); }
    } closer{db};
    if (!HasColumn(db, "uut_result", "id")) {
        error = path + ": not a kora-run database (no table uut_result)";
        return false;
    }
    // Databases written before the series, log and component columns existed still show.
    const bool current = HasColumn(db, "step_result", "component");
    Query run(db, current ? "SELECT id, program, program_file, uut_serial, uut_part, station, "
                            "start_time, execution_seconds, status, exit_status, passed, failed, "
                            "errors, done, stopped FROM uut_result WHERE id = ?1 OR (?1 = 0 AND "
                            "id = (SELECT MAX(id) FROM uut_result))"
                          : "SELECT id, program, program_file, uut_serial, uut_part, station, "
                            "start_time, execution_seconds, status, exit_status, passed, failed, "
                            "errors, 0, 0 FROM uut_result WHERE id = ?1 OR (?1 = 0 AND "
                            "id = (SELECT MAX(id) FROM uut_result))");
    if (!run.ok() || !run.bind(1, runId).next()) {
        error = path + ": no run " + (runId ? std::to_string(runId) : std::string("stored"));
        return false;
    }
    view = ReportView{};
    view.runId = run.integer(0);
    view.program = run.text(1);
    view.programFile = run.text(2);
    view.uutSerial = run.text(3);
    view.uutPart = run.text(4);
    view.station = run.text(5);
    view.startedAt = run.text(6);
    view.seconds = run.real(7);
    view.verdict = run.text(8);
    view.exitStatus = static_cast<int>(run.integer(9));
    view.passed = static_cast<int>(run.integer(10));
    view.failed = static_cast<int>(run.integer(11));
    view.errors = static_cast<int>(run.integer(12));
    view.done = static_cast<int>(run.integer(13));
    view.stopped = run.integer(14) != 0;

    // Every step of the run, with or without results (databases written before step_run
    // existed know only the steps that reported something: those are rebuilt from the results).
    std::map<long long, std::size_t> stepOfSeq;
    if (current) {
        Query steps(db, "SELECT seq, step_index, execution, step_name, method, program_line, "
                        "step_return, seconds FROM step_run WHERE uut_result = ? ORDER BY seq");
        if (steps.ok()) {
            steps.bind(1, view.runId);
            while (steps.next()) {
                ReportStep step;
                step.index = static_cast<int>(steps.integer(1));
                step.execution = static_cast<int>(steps.integer(2));
                step.name = steps.text(3);
                step.method = steps.text(4);
                step.line = static_cast<int>(steps.integer(5));
                step.result = static_cast<long>(steps.integer(6));
                step.seconds = steps.real(7);
                stepOfSeq[steps.integer(0)] = view.steps.size();
                view.steps.push_back(std::move(step));
            }
        }
    }
    Query rows(db, current
                       ? "SELECT s.step_index, s.execution, s.step_name, s.method, s.program_line, "
                         "s.result_number, s.result_name, s.status, s.kind, s.unit, "
                         "s.numeric_value, s.text_value, s.channel, s.comment, s.step_return, "
                         "s.seconds, l.low_limit, l.low_operator, l.high_limit, l.high_operator, "
                         "s.component, s.text_operator, s.expected, x.span, x.samples, "
                         "s.step_seq FROM step_result s "
                         "LEFT JOIN numeric_limits l ON l.step_result = s.id "
                         "LEFT JOIN series x ON x.step_result = s.id "
                         "WHERE s.uut_result = ? ORDER BY s.id"
                       : "SELECT s.step_index, s.execution, s.step_name, s.method, s.program_line, "
                         "s.result_number, s.result_name, s.status, s.kind, s.unit, "
                         "s.numeric_value, s.text_value, s.channel, s.comment, s.step_return, "
                         "s.seconds, l.low_limit, l.low_operator, l.high_limit, l.high_operator, "
                         "NULL, NULL, NULL, NULL, NULL, NULL FROM step_result s "
                         "LEFT JOIN numeric_limits l ON l.step_result = s.id "
                         "WHERE s.uut_result = ? ORDER BY s.id");
    if (!rows.ok()) {
        error = path + ": " + sqlite3_errmsg(db);
        return false;
    }
    rows.bind(1, view.runId);
    while (rows.next()) {
        ReportStep* step = nullptr;
        if (const auto it = stepOfSeq.find(rows.integer(25));
            !rows.null(25) && it != stepOfSeq.end()) {
            step = &view.steps[it->second];
        } else {
            const int index = static_cast<int>(rows.integer(0));
            const int execution = static_cast<int>(rows.integer(1));
            if (view.steps.empty() || view.steps.back().index != index ||
                view.steps.back().execution != execution) {
                ReportStep fresh;
                fresh.index = index;
                fresh.execution = execution;
                fresh.name = rows.text(2);
                fresh.method = rows.text(3);
                fresh.line = static_cast<int>(rows.integer(4));
                fresh.result = static_cast<long>(rows.integer(14));
                fresh.seconds = rows.real(15);
                view.steps.push_back(std::move(fresh));
            }
            step = &view.steps.back();
        }
        rvo::Result r;
        r.resultNo = static_cast<long>(rows.integer(5));
        r.name = rows.text(6);
        r.stepName = rows.null(20) ? step->name : rows.text(20);
        r.verdict = VerdictOf(rows.text(7));
        r.kind = KindOf(rows.text(8));
        r.unit = static_cast<long>(rows.integer(9));
        r.channel = rows.text(12);
        r.comment = rows.text(13);
        switch (r.kind) {
        case rvo::ResultKind::Real:
        case rvo::ResultKind::Integer:
            r.value = NumberOf(rows.text(10));
            r.valueInt = static_cast<long>(r.value);
            r.low = NumberOf(rows.text(16));
            r.lowOp = rows.text(17);
            r.high = NumberOf(rows.text(18));
            r.highOp = rows.text(19);
            break;
        case rvo::ResultKind::Text:
            r.text = rows.text(11);
            r.lowOp = rows.text(21);
            r.expectedGiven = !rows.null(22);
            r.expected = rows.text(22);
            break;
        case rvo::ResultKind::Series:
            r.span = rows.real(23);
            r.series = SplitSamples(rows.text(24));
            break;
        }
        step->results.push_back(std::move(r));
    }
    if (current && HasColumn(db, "graph", "label")) {
        Query graphs(db, "SELECT step_seq, component, label, samples FROM graph "
                         "WHERE uut_result = ? ORDER BY rowid");
        if (graphs.ok()) {
            graphs.bind(1, view.runId);
            while (graphs.next()) {
                if (const auto it = stepOfSeq.find(graphs.integer(0)); it != stepOfSeq.end()) {
                    view.steps[it->second].graphs.push_back(
                        {graphs.text(1), graphs.text(2), SplitSamples(graphs.text(3))});
                }
            }
        }
    }
    Query alerts(db, "SELECT title, text, flags, answer FROM alert WHERE uut_result = ? "
                     "ORDER BY rowid");
    if (alerts.ok()) {
        alerts.bind(1, view.runId);
        while (alerts.next()) {
            view.alerts.push_back({alerts.text(0), alerts.text(1),
                                   static_cast<long>(alerts.integer(2)),
                                   static_cast<long>(alerts.integer(3))});
        }
    }
    if (current) {
        Query log(db, "SELECT level, text FROM log_line WHERE uut_result = ? ORDER BY seq");
        if (log.ok()) {
            log.bind(1, view.runId);
            while (log.next()) {
                view.log.push_back({static_cast<long>(log.integer(0)), log.text(1)});
            }
        }
    }
    Query params(db, "SELECT section, name, value FROM system_parameter WHERE uut_result = ? "
                     "ORDER BY rowid");
    if (params.ok()) {
        params.bind(1, view.runId);
        while (params.next()) {
            view.parameters.push_back({params.text(0), params.text(1), params.text(2)});
        }
    }
    return true;
}

} // namespace kora::run
