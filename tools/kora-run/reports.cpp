#include "reports.h"

#include "format.h"
#include "report_view.h"

#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kora::run {

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    return out + "\"";
}

namespace {

// JSON has no NaN or infinity: such numbers are written as strings.
std::string JsonNumber(double v) {
    return std::isfinite(v) ? ExactNumber(v) : JsonString(ExactNumber(v));
}

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6f", s);
    return buf;
}

std::string XmlText(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            if (c < 0x20 && c != '\n' && c != '\t' && c != '\r') {
                out += ' '; // not allowed in XML 1.0
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    return out;
}

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

const char* ParameterTypeName(char type) {
    return type == 'I' ? "int" : type == 'R' ? "real" : "text";
}

bool WriteFile(const std::string& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        error = path + ": cannot write the report";
        return false;
    }
    return true;
}

} // namespace

bool WriteJson(const RunReport& report, const std::string& path, std::string& error) {
    const Program& p = *report.program;
    std::ostringstream o;
    o << "{\n  \"program\": {\"name\": " << JsonString(p.name)
      << ", \"file\": " << JsonString(p.file) << "},\n";
    o << "  \"uut\": {\"serial\": " << JsonString(p.uutSerial)
      << ", \"part\": " << JsonString(p.uutPart) << ", \"verdict\": " << JsonString(report.verdict)
      << "},\n";
    o << "  \"station\": " << JsonString(p.station) << ",\n";
    o << "  \"started\": " << JsonString(report.startedAt) << ",\n";
    o << "  \"seconds\": " << Seconds(report.seconds) << ",\n";
    o << "  \"stopped\": " << (report.stopped ? "true" : "false") << ",\n";
    o << "  \"summary\": {\"steps\": " << report.steps.size() << ", \"passed\": " << report.passed
      << ", \"failed\": " << report.failed << ", \"done\": " << report.done
      << ", \"errors\": " << report.errors << ", \"exit_status\": " << report.exitStatus << "},\n";
    o << "  \"steps\": [";
    for (std::size_t i = 0; i < report.steps.size(); ++i) {
        const StepRun& s = report.steps[i];
        o << (i ? "," : "") << "\n    {\"index\": " << s.step->index
          << ", \"line\": " << s.step->line << ", \"name\": " << JsonString(s.step->name)
          << ", \"method\": " << JsonString(s.step->method->name)
          << ", \"execution\": " << s.execution << ", \"phase\": " << s.phase
          << ", \"result\": " << s.result << ", \"step_result\": " << s.stepResult
          << ", \"seconds\": " << Seconds(s.seconds) << ", \"results\": [";
        for (std::size_t k = 0; k < s.results.size(); ++k) {
            const rvo::Result& r = s.results[k];
            o << (k ? "," : "") << "\n      {\"number\": " << r.resultNo
              << ", \"name\": " << JsonString(r.name)
              << ", \"kind\": " << JsonString(KindName(r.kind)) << ", \"unit\": " << r.unit
              << ", \"unit_text\": " << JsonString(UnitText(r.unit));
            switch (r.kind) {
            case rvo::ResultKind::Text:
                o << ", \"value\": " << JsonString(r.text)
                  << ", \"operator\": " << JsonString(r.lowOp)
                  << ", \"expected\": " << (r.expectedGiven ? JsonString(r.expected) : "null");
                break;
            case rvo::ResultKind::Series:
                o << ", \"span\": " << JsonNumber(r.span) << ", \"values\": [";
                for (std::size_t v = 0; v < r.series.size(); ++v) {
                    o << (v ? ", " : "") << JsonNumber(r.series[v]);
                }
                o << "]";
                break;
            default:
                o << ", \"value\": " << JsonNumber(r.value) << ", \"low\": " << JsonNumber(r.low)
                  << ", \"low_op\": " << JsonString(r.lowOp) << ", \"high\": " << JsonNumber(r.high)
                  << ", \"high_op\": " << JsonString(r.highOp);
            }
            o << ", \"verdict\": " << JsonString(rvo::verdictName(r.verdict))
              << ", \"channel\": " << JsonString(r.channel)
              << ", \"comment\": " << JsonString(r.comment) << "}";
        }
        o << (s.results.empty() ? "]}" : "\n    ]}");
    }
    o << "\n  ],\n  \"alerts\": [";
    for (std::size_t i = 0; i < report.alerts.size(); ++i) {
        const auto& a = report.alerts[i];
        o << (i ? "," : "") << "\n    {\"title\": " << JsonString(a.title)
          << ", \"text\": " << JsonString(a.text) << ", \"flags\": " << a.flags
          << ", \"answer\": " << a.answer << "}";
    }
    o << "\n  ],\n  \"parameters\": [";
    for (std::size_t i = 0; i < report.parameters.size(); ++i) {
        const auto& sp = report.parameters[i];
        o << (i ? "," : "") << "\n    {\"section\": " << JsonString(sp.section)
          << ", \"name\": " << JsonString(sp.name)
          << ", \"type\": " << JsonString(ParameterTypeName(sp.written))
          << ", \"value\": " << JsonString(ParameterValueText(sp, sp.written))
          << ", \"unit\": " << sp.unit << ", \"comment\": " << JsonString(sp.comment) << "}";
    }
    o << "\n  ],\n  \"variables\": {";
    bool first = true;
    for (const auto& [name, var] : p.variables) {
        o << (first ? "" : ",") << "\n    " << JsonString(name) << ": "
          << JsonString(var->display());
        first = false;
    }
    o << "\n  }\n}\n";
    return WriteFile(path, o.str(), error);
}

bool WriteJunit(const RunReport& report, const std::string& path, std::string& error) {
    const Program& p = *report.program;
    std::size_t tests = 0;
    std::ostringstream cases;
    for (const StepRun& s : report.steps) {
        for (const rvo::Result& r : s.results) {
            ++tests;
            const std::string name = r.resultNo == 0 ? s.step->name : s.step->name + " / " + r.name;
            char time[32];
            std::snprintf(time, sizeof time, "%.6f", s.seconds);
            cases << "    <testcase classname=\"" << XmlText(p.name + "." + s.step->method->name)
                  << "\" name=\"" << XmlText(name) << "\" file=\"" << XmlText(p.file)
                  << "\" line=\"" << s.step->line << "\" time=\"" << time << "\"";
            if (r.verdict == rvo::Verdict::Pass || r.verdict == rvo::Verdict::Done) {
                cases << "/>\n";
                continue;
            }
            const bool fail = r.verdict == rvo::Verdict::Fail;
            std::string detail = "value " + ResultValueText(r) + ", limits " + FormatLimits(r);
            if (!r.comment.empty()) {
                detail += ", comment " + r.comment;
            }
            cases << ">\n      <" << (fail ? "failure" : "error") << " message=\""
                  << XmlText(detail) << "\" type=\"" << (fail ? "limit" : "error") << "\">"
                  << XmlText(detail) << "</" << (fail ? "failure" : "error")
                  << ">\n    </testcase>\n";
        }
    }
    std::ostringstream o;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.6f", report.seconds);
    o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    o << "<testsuites name=\"kora-run\" tests=\"" << tests << "\" failures=\"" << report.failed
      << "\" errors=\"" << report.errors << "\" time=\"" << seconds << "\">\n";
    o << "  <testsuite name=\"" << XmlText(p.name) << "\" tests=\"" << tests << "\" failures=\""
      << report.failed << "\" errors=\"" << report.errors << "\" time=\"" << seconds
      << "\" timestamp=\"" << report.startedAt << "\">\n";
    o << "    <properties>\n      <property name=\"uut.serial\" value=\"" << XmlText(p.uutSerial)
      << "\"/>\n      <property name=\"uut.part\" value=\"" << XmlText(p.uutPart)
      << "\"/>\n      <property name=\"uut.verdict\" value=\"" << report.verdict << "\"/>\n";
    for (const auto& sp : report.parameters) {
        o << "      <property name=\"parameter." << XmlText(sp.section + ":" + sp.name)
          << "\" value=\"" << XmlText(ParameterValueText(sp, sp.written)) << "\"/>\n";
    }
    o << "    </properties>\n";
    o << cases.str();
    o << "  </testsuite>\n</testsuites>\n";
    return WriteFile(path, o.str(), error);
}

namespace {

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS uut_result (
  id INTEGER PRIMARY KEY, program TEXT, program_file TEXT, uut_serial TEXT, uut_part TEXT,
  station TEXT, start_time TEXT, execution_seconds REAL, status TEXT, exit_status INTEGER,
  steps INTEGER, passed INTEGER, failed INTEGER, errors INTEGER);
CREATE TABLE IF NOT EXISTS step_result (
  id INTEGER PRIMARY KEY, uut_result INTEGER REFERENCES uut_result(id), step_index INTEGER,
  execution INTEGER, step_name TEXT, method TEXT, program_line INTEGER, result_number INTEGER,
  result_name TEXT, status TEXT, kind TEXT, unit INTEGER, unit_text TEXT, numeric_value TEXT,
  text_value TEXT, channel TEXT, comment TEXT, step_return INTEGER, seconds REAL);
CREATE TABLE IF NOT EXISTS numeric_limits (
  step_result INTEGER REFERENCES step_result(id), low_limit TEXT, low_operator TEXT,
  high_limit TEXT, high_operator TEXT, units TEXT);
CREATE TABLE IF NOT EXISTS system_parameter (
  uut_result INTEGER REFERENCES uut_result(id), section TEXT, name TEXT, type TEXT, value TEXT,
  unit INTEGER, comment TEXT);
CREATE TABLE IF NOT EXISTS alert (
  uut_result INTEGER REFERENCES uut_result(id), title TEXT, text TEXT, flags INTEGER,
  answer INTEGER);
CREATE TABLE IF NOT EXISTS series (
  step_result INTEGER REFERENCES step_result(id), span REAL, samples TEXT);
CREATE TABLE IF NOT EXISTS step_run (
  uut_result INTEGER REFERENCES uut_result(id), seq INTEGER, step_index INTEGER,
  execution INTEGER, step_name TEXT, method TEXT, program_line INTEGER, step_return INTEGER,
  seconds REAL);
CREATE TABLE IF NOT EXISTS graph (
  uut_result INTEGER REFERENCES uut_result(id), step_seq INTEGER, component TEXT, label TEXT,
  samples TEXT);
CREATE TABLE IF NOT EXISTS log_line (
  uut_result INTEGER REFERENCES uut_result(id), seq INTEGER, level INTEGER, text TEXT);
)";

// Columns that later versions added to the first tables: added to an older database on open
// (SQLite refuses a column that exists, which is how the ones already there are passed over).
constexpr const char* kAddedColumns[] = {
    "ALTER TABLE uut_result ADD COLUMN done INTEGER",
    "ALTER TABLE uut_result ADD COLUMN stopped INTEGER",
    "ALTER TABLE step_result ADD COLUMN component TEXT",
    "ALTER TABLE step_result ADD COLUMN step_seq INTEGER",
    "ALTER TABLE step_result ADD COLUMN text_operator TEXT",
    "ALTER TABLE step_result ADD COLUMN expected TEXT",
};

class Statement {
  public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return stmt_ != nullptr; }
    Statement& Text(int i, const std::string& s) {
        sqlite3_bind_text(stmt_, i, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Int(int i, long long v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& Real(int i, double v) {
        sqlite3_bind_double(stmt_, i, v);
        return *this;
    }
    Statement& Null(int i) {
        sqlite3_bind_null(stmt_, i);
        return *this;
    }
    bool Run() {
        int rc = sqlite3_step(stmt_);
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        return rc == SQLITE_DONE;
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

} // namespace

bool WriteDatabase(const RunReport& report, const std::string& path, std::string& error) {
    const Program& p = *report.program;
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot open the database");
        sqlite3_close_v2(db);
        return false;
    }
    auto fail = [&](const char* what) {
        error = path + ": " + what + ": " + sqlite3_errmsg(db);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db);
        return false;
    };
    sqlite3_busy_timeout(db, 5000);
    if (sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return fail("schema");
    }
    for (const char* column : kAddedColumns) {
        sqlite3_exec(db, column, nullptr, nullptr, nullptr);
    }
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    {
        Statement run(db, "INSERT INTO uut_result (program, program_file, uut_serial, uut_part, "
                          "station, start_time, execution_seconds, status, exit_status, steps, "
                          "passed, failed, errors, done, stopped) "
                          "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        if (!run.ok() || !run.Text(1, p.name)
                              .Text(2, p.file)
                              .Text(3, p.uutSerial)
                              .Text(4, p.uutPart)
                              .Text(5, p.station)
                              .Text(6, report.startedAt)
                              .Real(7, report.seconds)
                              .Text(8, report.verdict)
                              .Int(9, report.exitStatus)
                              .Int(10, static_cast<long long>(report.steps.size()))
                              .Int(11, report.passed)
                              .Int(12, report.failed)
                              .Int(13, report.errors)
                              .Int(14, report.done)
                              .Int(15, report.stopped ? 1 : 0)
                              .Run()) {
            return fail("uut_result");
        }
    }
    const long long runId = sqlite3_last_insert_rowid(db);
    Statement step(db, "INSERT INTO step_result (uut_result, step_index, execution, step_name, "
                       "method, program_line, result_number, result_name, status, kind, unit, "
                       "unit_text, numeric_value, text_value, channel, comment, step_return, "
                       "seconds, component, text_operator, expected, step_seq) "
                       "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    Statement stepRun(db, "INSERT INTO step_run (uut_result, seq, step_index, execution, "
                          "step_name, method, program_line, step_return, seconds) "
                          "VALUES (?,?,?,?,?,?,?,?,?)");
    Statement limits(db, "INSERT INTO numeric_limits (step_result, low_limit, low_operator, "
                         "high_limit, high_operator, units) VALUES (?,?,?,?,?,?)");
    Statement alert(db, "INSERT INTO alert (uut_result, title, text, flags, answer) "
                        "VALUES (?,?,?,?,?)");
    Statement parameter(db, "INSERT INTO system_parameter (uut_result, section, name, type, "
                            "value, unit, comment) VALUES (?,?,?,?,?,?,?)");
    Statement series(db, "INSERT INTO series (step_result, span, samples) VALUES (?,?,?)");
    Statement logLine(db, "INSERT INTO log_line (uut_result, seq, level, text) VALUES (?,?,?,?)");
    Statement graph(db, "INSERT INTO graph (uut_result, step_seq, component, label, samples) "
                        "VALUES (?,?,?,?,?)");
    if (!step.ok() || !limits.ok() || !alert.ok() || !parameter.ok() || !series.ok() ||
        !logLine.ok() || !stepRun.ok() || !graph.ok()) {
        return fail("prepare");
    }
    long long stepSeq = 0;
    for (const StepRun& s : report.steps) {
        if (!stepRun.Int(1, runId)
                 .Int(2, ++stepSeq)
                 .Int(3, s.step->index)
                 .Int(4, s.execution)
                 .Text(5, s.step->name)
                 .Text(6, s.step->method->name)
                 .Int(7, s.step->line)
                 .Int(8, s.result)
                 .Real(9, s.seconds)
                 .Run()) {
            return fail("step_run");
        }
        for (const StepGraph& g : s.graphs) {
            if (!graph.Int(1, runId)
                     .Int(2, stepSeq)
                     .Text(3, g.step)
                     .Text(4, g.label)
                     .Text(5, JoinSamples(g.values))
                     .Run()) {
                return fail("graph");
            }
        }
        for (const rvo::Result& r : s.results) {
            step.Int(1, runId)
                .Int(2, s.step->index)
                .Int(3, s.execution)
                .Text(4, s.step->name)
                .Text(5, s.step->method->name)
                .Int(6, s.step->line)
                .Int(7, r.resultNo)
                .Text(8, r.name)
                .Text(9, rvo::verdictName(r.verdict))
                .Text(10, KindName(r.kind))
                .Int(11, r.unit)
                .Text(12, UnitText(r.unit))
                .Text(15, r.channel)
                .Text(16, r.comment)
                .Int(17, s.result)
                .Real(18, s.seconds)
                .Int(22, stepSeq);
            if (r.stepName != s.step->name) {
                step.Text(19, r.stepName);
            }
            if (r.kind == rvo::ResultKind::Text) {
                step.Text(20, r.lowOp);
                if (r.expectedGiven) {
                    step.Text(21, r.expected);
                }
            }
            const bool numeric =
                r.kind == rvo::ResultKind::Real || r.kind == rvo::ResultKind::Integer;
            if (numeric) {
                step.Text(13, ExactNumber(r.value)).Null(14);
            } else {
                step.Null(13).Text(14,
                                   r.kind == rvo::ResultKind::Text ? r.text : ResultValueText(r));
            }
            if (!step.Run()) {
                return fail("step_result");
            }
            const long long stepId = sqlite3_last_insert_rowid(db);
            if (r.kind == rvo::ResultKind::Series &&
                !series.Int(1, stepId).Real(2, r.span).Text(3, JoinSamples(r.series)).Run()) {
                return fail("series");
            }
            if (numeric && (!r.lowOp.empty() || !r.highOp.empty())) {
                limits.Int(1, stepId);
                r.lowOp.empty() ? limits.Null(2) : limits.Text(2, ExactNumber(r.low));
                r.highOp.empty() ? limits.Null(4) : limits.Text(4, ExactNumber(r.high));
                if (!limits.Text(3, r.lowOp).Text(5, r.highOp).Text(6, UnitText(r.unit)).Run()) {
                    return fail("numeric_limits");
                }
            }
        }
    }
    for (const auto& a : report.alerts) {
        if (!alert.Int(1, runId)
                 .Text(2, a.title)
                 .Text(3, a.text)
                 .Int(4, a.flags)
                 .Int(5, a.answer)
                 .Run()) {
            return fail("alert");
        }
    }
    long long seq = 0;
    for (const auto& m : report.messages) {
        if (!logLine.Int(1, runId).Int(2, ++seq).Int(3, m.level).Text(4, m.text).Run()) {
            return fail("log_line");
        }
    }
    for (const auto& sp : report.parameters) {
        if (!parameter.Int(1, runId)
                 .Text(2, sp.section)
                 .Text(3, sp.name)
                 .Text(4, ParameterTypeName(sp.written))
                 .Text(5, ParameterValueText(sp, sp.written))
                 .Int(6, sp.unit)
                 .Text(7, sp.comment)
                 .Run()) {
            return fail("system_parameter");
        }
    }
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return fail("commit");
    }
    sqlite3_close_v2(db);
    return true;
}

} // namespace kora::run
