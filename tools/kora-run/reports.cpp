#include "reports.h"

#include "format.h"
#include "report_view.h"

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

bool WriteJson(const RunReport& report, const StationIdentity& station, const std::string& runUid,
               const std::string& path, std::string& error) {
    const Program& p = *report.program;
    std::ostringstream o;
    o << "{\n  \"program\": {\"name\": " << JsonString(p.name)
      << ", \"file\": " << JsonString(p.file) << "},\n";
    o << "  \"uut\": {\"serial\": " << JsonString(p.uutSerial)
      << ", \"part\": " << JsonString(p.uutPart) << ", \"verdict\": " << JsonString(report.verdict)
      << "},\n";
    o << "  \"station\": " << JsonString(station.name) << ",\n";
    o << "  \"station_id\": " << station.id << ", \"panel\": " << station.panel
      << ", \"host\": " << JsonString(station.host) << ", \"run_uid\": " << JsonString(runUid)
      << ",\n";
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

bool WriteJunit(const RunReport& report, const StationIdentity& station, const std::string& runUid,
                const std::string& path, std::string& error) {
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
    o << "      <property name=\"station.name\" value=\"" << XmlText(station.name)
      << "\"/>\n      <property name=\"station.id\" value=\"" << station.id
      << "\"/>\n      <property name=\"station.panel\" value=\"" << station.panel
      << "\"/>\n      <property name=\"station.host\" value=\"" << XmlText(station.host)
      << "\"/>\n      <property name=\"run.uid\" value=\"" << XmlText(runUid) << "\"/>\n";
    for (const auto& sp : report.parameters) {
        o << "      <property name=\"parameter." << XmlText(sp.section + ":" + sp.name)
          << "\" value=\"" << XmlText(ParameterValueText(sp, sp.written)) << "\"/>\n";
    }
    o << "    </properties>\n";
    o << cases.str();
    o << "  </testsuite>\n</testsuites>\n";
    return WriteFile(path, o.str(), error);
}

} // namespace kora::run
