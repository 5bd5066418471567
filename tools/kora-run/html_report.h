// The HTML report of a run: one self-contained file (inline styles and SVG, no script, no
// external resource) with the run's head and verdict, the failures first, every step and result,
// a plot of every series result with its limits, the alerts, the operator's log and the system
// parameters. "Failures only" is a checkbox that hides the rest by style alone.
//
// Elements a reader (or a browser check) can count: every result is a `tr.result` (with the
// class of its verdict: pass, fail, done, error), every plot an `svg.plot`, every failure a
// link in `#failures`.
#pragma once

#include "report_view.h"

#include <string>

namespace kora::run {

std::string HtmlReport(const ReportView& view);
bool WriteHtml(const ReportView& view, const std::string& path, std::string& error);

// The rows of a step's results as the report shows them, a `tbody` with the step's head; the
// step is number `si` (0-based) of its run. The rows of result `ri` alone (with the head of its
// component when it begins one) are what a live display appends as the result is recorded.
std::string HtmlStepBody(const ReportStep& step, std::size_t si);
std::string HtmlResultRows(const ReportStep& step, std::size_t si, std::size_t ri);
// The reports' style sheet.
std::string ReportStyle();

// Text made safe for HTML element content and attribute values.
std::string EscapeHtml(const std::string& text);
// The page around a body: head with title and the reports' style sheet.
std::string HtmlPage(const std::string& title, const std::string& body);

} // namespace kora::run
