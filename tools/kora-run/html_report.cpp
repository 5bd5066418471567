#include "html_report.h"

#include "format.h"
#include "svg_plot.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace kora::run {

namespace {

constexpr const char* kStyle = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#1d1f24;background:#fff}
h1{font-size:1.4em;margin:0 0 .3em}h2{font-size:1.1em;margin:1.4em 0 .4em}
table{border-collapse:collapse}td,th{padding:.2em .6em;text-align:left;vertical-align:top}
table.meta th{color:#556;font-weight:normal}
.verdict{display:inline-block;padding:.2em .8em;border-radius:.3em;font-weight:bold;color:#fff}
.PASSED,.PASS{background:#23863a}.FAILED,.FAIL{background:#c0392b}.ERROR{background:#8e44ad}
.DONE{background:#6b7280}
.counts span{margin-right:1.2em}
table.results{width:100%;margin-top:.6em;table-layout:fixed}
table.results td{overflow-wrap:anywhere}
table.results thead th{border-bottom:2px solid #99a;position:sticky;top:0;background:#fff}
tr.step th{background:#eef1f6;border-top:1px solid #ccd;font-weight:600}
tr.step th small{font-weight:normal;color:#556;margin-left:.8em}
tr.component td{padding-left:1.2em;font-style:italic;color:#334}
tr.result td:first-child{padding-left:1.6em}
tr.result.nested td:first-child{padding-left:2.6em}
tr.result td.v{text-align:center}
tr.result td.v span{padding:0 .5em;border-radius:.2em;color:#fff;font-size:.9em}
tr.fail,tr.error{background:#fdecea}
td.num{font-variant-numeric:tabular-nums}
table.results td:last-child{font-size:.9em;color:#445}
div.caption{font-size:.85em;color:#556;margin-left:1.6em}
#failures a{color:#c0392b}
pre.log{background:#f6f7f9;padding:.6em;max-height:30em;overflow:auto;font-size:12px}
input#failures-only{margin-left:0}
#failures-only:checked~table.results tbody:not(.bad){display:none}
#failures-only:checked~table.results tr.result:not(.fail):not(.error),
#failures-only:checked~table.results tr.plotrow:not(.bad),
#failures-only:checked~table.results tr.component:not(.bad){display:none}
)";

std::string VerdictClass(rvo::Verdict v) {
    switch (v) {
    case rvo::Verdict::Pass:
        return "pass";
    case rvo::Verdict::Fail:
        return "fail";
    case rvo::Verdict::Done:
        return "done";
    case rvo::Verdict::Error:
        return "error";
    }
    return "done";
}

constexpr long kUnitVolt = 5, kUnitAmpere = 9;

bool Bad(rvo::Verdict v) {
    return v == rvo::Verdict::Fail || v == rvo::Verdict::Error;
}

// The limits a series is drawn with: its own, else those of the step's numeric result of the
// same (nested) step that checked its mean.
PlotLimits LimitsFor(const ReportStep& step, const rvo::Result& series) {
    const auto of = [](const rvo::Result& r) {
        PlotLimits l;
        l.hasLow = !r.lowOp.empty();
        l.hasHigh = !r.highOp.empty();
        l.low = r.low;
        l.high = r.high;
        return l;
    };
    if (!series.lowOp.empty() || !series.highOp.empty()) {
        return of(series);
    }
    for (const rvo::Result& r : step.results) {
        if (&r != &series && r.stepName == series.stepName &&
            (r.kind == rvo::ResultKind::Real || r.kind == rvo::ResultKind::Integer) &&
            (!r.lowOp.empty() || !r.highOp.empty()) && r.unit == series.unit) {
            return of(r);
        }
    }
    return {};
}

// The unit of a detail graph from its label.
long GraphUnit(const std::string& label) {
    return label == "CURRENT" ? kUnitAmpere : label == "VOLTAGE" ? kUnitVolt : 0;
}

std::string StepTitle(const ReportStep& s) {
    char extra[128];
    std::snprintf(extra, sizeof extra, "line %d · %.3f s · returned %ld", s.line, s.seconds,
                  s.result);
    std::string title = "#" + std::to_string(s.index) + " " + EscapeHtml(s.name) + " <small>" +
                        EscapeHtml(s.method);
    if (s.execution > 1) {
        title += " · run " + std::to_string(s.execution);
    }
    return title + " · " + extra + "</small>";
}

} // namespace

std::string EscapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
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
            out += "&#39;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

std::string HtmlPage(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width\"><title>" +
           EscapeHtml(title) + "</title><style>" + kStyle + "</style></head><body>\n" + body +
           "</body></html>\n";
}

std::string ReportStyle() {
    return kStyle;
}

std::string HtmlResultRows(const ReportStep& s, std::size_t si, std::size_t ri) {
    std::ostringstream o;
    const rvo::Result& r = s.results[ri];
    const bool nested = r.stepName != s.name;
    if (nested && (ri == 0 || s.results[ri - 1].stepName != r.stepName)) {
        // A component (nested step) heads its results; it is bad when any of them is.
        bool groupBad = false;
        for (std::size_t k = ri; k < s.results.size() && s.results[k].stepName == r.stepName; ++k) {
            groupBad = groupBad || Bad(s.results[k].verdict);
        }
        o << "<tr class=\"component" << (groupBad ? " bad" : "") << "\"><td colspan=\"6\">"
          << EscapeHtml(r.stepName) << "</td></tr>\n";
    }
    const std::string cls = VerdictClass(r.verdict);
    const char* verdict = rvo::verdictName(r.verdict);
    o << "<tr class=\"result " << cls << (nested ? " nested" : "") << "\" id=\"r" << si << "-" << ri
      << "\"><td>" << EscapeHtml(r.name) << "</td><td class=\"num\">"
      << EscapeHtml(ResultValueText(r)) << "</td><td class=\"num\">" << EscapeHtml(FormatLimits(r))
      << "</td><td class=\"v\"><span class=\"" << verdict << "\">" << verdict << "</span></td><td>"
      << EscapeHtml(r.channel) << "</td><td>" << EscapeHtml(r.comment) << "</td></tr>\n";
    // A component's detail graph follows its last result.
    const bool lastOfGroup =
        nested && (ri + 1 == s.results.size() || s.results[ri + 1].stepName != r.stepName);
    if (lastOfGroup) {
        for (const StepGraph& g : s.graphs) {
            if (g.step == r.stepName) {
                o << "<tr class=\"plotrow graph" << (Bad(r.verdict) ? " bad" : "")
                  << "\"><td colspan=\"6\"><div class=\"caption\">" << EscapeHtml(r.stepName)
                  << ": " << EscapeHtml(g.label) << "</div>"
                  << SeriesPlot(g.values, 0, GraphUnit(g.label), {}) << "</td></tr>\n";
            }
        }
    }
    if (r.kind == rvo::ResultKind::Series) {
        o << "<tr class=\"plotrow" << (Bad(r.verdict) ? " bad" : "") << "\"><td colspan=\"6\">"
          << SeriesPlot(r.series, r.span, r.unit, LimitsFor(s, r)) << "</td></tr>\n";
    }
    return o.str();
}

std::string HtmlStepBody(const ReportStep& s, std::size_t si) {
    bool stepBad = false;
    for (const rvo::Result& r : s.results) {
        stepBad = stepBad || Bad(r.verdict);
    }
    std::string o = "<tbody class=\"step" + std::string(stepBad ? " bad" : "") + "\" id=\"s" +
                    std::to_string(si) + "\"><tr class=\"step\"><th colspan=\"6\">" + StepTitle(s) +
                    "</th></tr>\n";
    for (std::size_t ri = 0; ri < s.results.size(); ++ri) {
        o += HtmlResultRows(s, si, ri);
    }
    return o + "</tbody>\n";
}

std::string HtmlReport(const ReportView& v) {
    std::ostringstream o;
    o << "<header><h1>" << EscapeHtml(v.program) << " <span class=\"verdict " << v.verdict
      << "\" id=\"verdict\">" << EscapeHtml(v.verdict) << "</span></h1>\n<table class=\"meta\">";
    const auto meta = [&](const char* name, const std::string& value) {
        if (!value.empty()) {
            o << "<tr><th>" << name << "</th><td>" << EscapeHtml(value) << "</td></tr>";
        }
    };
    meta("UUT", v.uutSerial.empty() ? "-" : v.uutSerial);
    meta("Part", v.uutPart);
    meta("Station", v.station.name);
    meta("Station id", v.station.id ? std::to_string(v.station.id) : "");
    meta("Panel", v.station.panel ? std::to_string(v.station.panel) : "");
    meta("Host", v.station.host);
    meta("Program file", v.programFile);
    meta("Started", v.startedAt);
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f s%s", v.seconds, v.stopped ? " (stopped)" : "");
    meta("Duration", duration);
    if (v.runId) {
        meta("Stored run", std::to_string(v.runId));
    }
    o << "</table></header>\n<p class=\"counts\"><span>" << v.steps.size()
      << " steps</span><span class=\"n-pass\">" << v.passed
      << " passed</span><span class=\"n-fail\">" << v.failed
      << " failed</span><span class=\"n-done\">" << v.done << " done</span><span class=\"n-error\">"
      << v.errors << " errors</span></p>\n";

    // Failures first, each a link to its row.
    std::ostringstream failures;
    std::size_t badCount = 0;
    for (std::size_t si = 0; si < v.steps.size(); ++si) {
        const ReportStep& s = v.steps[si];
        for (std::size_t ri = 0; ri < s.results.size(); ++ri) {
            const rvo::Result& r = s.results[ri];
            if (Bad(r.verdict)) {
                ++badCount;
                failures << "<li><a href=\"#r" << si << "-" << ri << "\">" << EscapeHtml(s.name)
                         << (r.name == s.name ? "" : " / " + EscapeHtml(r.name))
                         << "</a>: " << EscapeHtml(ResultValueText(r)) << " "
                         << EscapeHtml(FormatLimits(r)) << " <b>" << rvo::verdictName(r.verdict)
                         << "</b></li>\n";
            }
        }
    }
    o << "<section id=\"failures\"><h2>Failures (" << badCount << ")</h2>";
    if (badCount) {
        o << "<ul>\n" << failures.str() << "</ul>";
    } else {
        o << "<p>None.</p>";
    }
    o << "</section>\n<h2>Results</h2>\n";
    o << "<input type=\"checkbox\" id=\"failures-only\"><label for=\"failures-only\"> Failures "
         "only</label>\n<table class=\"results\"><colgroup><col style=\"width:17%\">"
         "<col style=\"width:17%\"><col style=\"width:22%\"><col style=\"width:7%\">"
         "<col style=\"width:14%\"><col "
         "style=\"width:23%\"></colgroup><thead><tr><th>Result</th><th>Value</th>"
         "<th>Limits</th><th>Verdict</th><th>Channel</th><th>Comment</th></tr></thead>\n";
    for (std::size_t si = 0; si < v.steps.size(); ++si) {
        o << HtmlStepBody(v.steps[si], si);
    }
    o << "</table>\n";
    if (!v.alerts.empty()) {
        o << "<section id=\"alerts\"><h2>Alerts (" << v.alerts.size()
          << ")</h2><table><thead><tr><th>Title</th><th>Text</th><th>Answer</th></tr></thead>";
        for (const auto& a : v.alerts) {
            o << "<tr><td>" << EscapeHtml(a.title) << "</td><td><pre>" << EscapeHtml(a.text)
              << "</pre></td><td>" << a.answer << "</td></tr>\n";
        }
        o << "</table></section>\n";
    }
    if (!v.parameters.empty()) {
        o << "<section id=\"parameters\"><h2>System parameters</h2><table>";
        for (const auto& p : v.parameters) {
            o << "<tr><th>" << EscapeHtml(p.section + ":" + p.name) << "</th><td>"
              << EscapeHtml(p.value) << "</td></tr>\n";
        }
        o << "</table></section>\n";
    }
    o << "<section id=\"log\"><h2>Operator's log (" << v.log.size()
      << " lines)</h2><pre class=\"log\">";
    for (const auto& m : v.log) {
        std::string line = m.text;
        while (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        o << EscapeHtml(line) << '\n';
    }
    o << "</pre></section>\n";
    return HtmlPage(
        v.program + " - " + (v.uutSerial.empty() ? "-" : v.uutSerial) + " - " + v.verdict, o.str());
}

bool WriteHtml(const ReportView& view, const std::string& path, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << HtmlReport(view);
    out.close();
    if (!out) {
        error = path + ": cannot write the report";
        return false;
    }
    return true;
}

} // namespace kora::run
