#include "stats.h"

#include "format.h"
#include "html_report.h"
#include "report_view.h"
#include "store.h"
#include "svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <tuple>

namespace kora::run {

namespace {

std::string Capability(double v) {
    if (!std::isfinite(v)) {
        return "-";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

std::string Name(const MeasurementStats& m) {
    if (m.component.empty() && m.result == m.step) {
        return m.step; // the step's own result
    }
    return m.component.empty()
               ? m.step + " / " + m.result
               : m.step + " / " + m.component + (m.result == m.component ? "" : " / " + m.result);
}

} // namespace

void ComputeStats(MeasurementStats& m) {
    // Summed in the order of size, so that the same runs give the same figures whichever order
    // the databases hold them in (a server's runs interleave across stations).
    std::vector<double> finite;
    std::copy_if(m.values.begin(), m.values.end(), std::back_inserter(finite),
                 [](double v) { return std::isfinite(v); });
    std::sort(finite.begin(), finite.end());
    m.count = static_cast<long>(finite.size());
    double sum = 0;
    for (double v : finite) {
        sum += v;
    }
    m.min = m.count ? finite.front() : NAN;
    m.max = m.count ? finite.back() : NAN;
    m.mean = m.count ? sum / static_cast<double>(m.count) : NAN;
    double squares = 0;
    for (double v : finite) {
        squares += (v - m.mean) * (v - m.mean);
    }
    m.sigma = m.count > 1 ? std::sqrt(squares / static_cast<double>(m.count - 1)) : NAN;
    const bool spread = std::isfinite(m.sigma) && m.sigma > 0;
    m.cp = spread && m.hasLow && m.hasHigh ? (m.high - m.low) / (6 * m.sigma) : NAN;
    if (!spread || (!m.hasLow && !m.hasHigh)) {
        m.cpk = NAN;
    } else {
        double k = INFINITY;
        if (m.hasHigh) {
            k = std::min(k, (m.high - m.mean) / (3 * m.sigma));
        }
        if (m.hasLow) {
            k = std::min(k, (m.mean - m.low) / (3 * m.sigma));
        }
        m.cpk = k;
    }
}

bool ReadStats(const std::vector<std::string>& targets, const std::string& program,
               const std::string& station, std::vector<MeasurementStats>& stats,
               std::string& error) {
    std::map<std::tuple<std::string, std::string, std::string, std::string, long>, std::size_t>
        index;
    stats.clear();
    for (const std::string& target : targets) {
        auto store = OpenStore(target, false, error);
        if (!store) {
            return false;
        }
        // Runs in the order stored; a measurement's limits are those of its latest run.
        auto q = store->Prepare(
            "SELECT u.program, s.step_name, COALESCE(s.component, ''), s.result_name, s.unit, "
            "s.numeric_value, s.status, l.low_operator, l.low_limit, l.high_operator, "
            "l.high_limit FROM step_result s JOIN uut_result u ON u.id = s.uut_result "
            "LEFT JOIN numeric_limits l ON l.step_result = s.id "
            "WHERE s.kind IN ('real', 'integer') AND s.status IN ('PASS', 'FAIL') "
            "AND (?1 = '' OR u.program = ?1) AND " +
            StationCondition(2, store->Columns("uut_result").count("station_id") != 0) +
            " ORDER BY s.id");
        if (!q) {
            error = store->Name() + ": not a kora-run database with component results (" +
                    store->Error() + ")";
            return false;
        }
        q->Text(1, program).Text(2, station);
        while (q->Next()) {
            const long unit = static_cast<long>(q->Integer(4));
            auto key =
                std::make_tuple(q->Column(0), q->Column(1), q->Column(2), q->Column(3), unit);
            auto [it, fresh] = index.emplace(key, stats.size());
            if (fresh) {
                MeasurementStats m;
                std::tie(m.program, m.step, m.component, m.result, m.unit) = key;
                stats.push_back(std::move(m));
            }
            MeasurementStats& m = stats[it->second];
            const std::string value = q->Column(5);
            m.values.push_back(value.empty() ? NAN : std::strtod(value.c_str(), nullptr));
            m.failures += q->Column(6) == "FAIL" ? 1 : 0;
            m.lowOp = q->Column(7);
            m.highOp = q->Column(9);
            m.hasLow = !m.lowOp.empty();
            m.low = m.hasLow ? std::strtod(q->Column(8).c_str(), nullptr) : 0;
            m.hasHigh = !m.highOp.empty();
            m.high = m.hasHigh ? std::strtod(q->Column(10).c_str(), nullptr) : 0;
        }
    }
    for (MeasurementStats& m : stats) {
        ComputeStats(m);
    }
    return true;
}

std::string StatsTable(const std::vector<MeasurementStats>& stats) {
    std::ostringstream o;
    char line[512];
    std::snprintf(line, sizeof line, "%-40s %6s %5s %16s %14s %16s %16s %8s %8s\n", "MEASUREMENT",
                  "N", "FAIL", "MEAN", "SIGMA", "MIN", "MAX", "CP", "CPK");
    o << line;
    for (const MeasurementStats& m : stats) {
        std::snprintf(line, sizeof line, "%-40s %6ld %5ld %16s %14s %16s %16s %8s %8s\n",
                      Name(m).c_str(), m.count, m.failures, FormatValue(m.mean, m.unit).c_str(),
                      FormatValue(m.sigma, m.unit).c_str(), FormatValue(m.min, m.unit).c_str(),
                      FormatValue(m.max, m.unit).c_str(), Capability(m.cp).c_str(),
                      Capability(m.cpk).c_str());
        o << line;
    }
    return o.str();
}

bool WriteStatsHtml(const std::vector<MeasurementStats>& stats, const std::string& title,
                    const std::string& path, std::string& error) {
    std::ostringstream o;
    o << "<h1>" << EscapeHtml(title) << "</h1>\n<p>" << stats.size()
      << " measurements. σ over n − 1; Cp = (U − L) / 6σ, Cpk = min(U − μ, μ − L) / 3σ.</p>\n"
      << "<table class=\"results stats\"><thead><tr><th>Measurement</th><th>N</th><th>Fail</th>"
         "<th>Mean</th><th>σ</th><th>Min</th><th>Max</th><th>Limits</th><th>Cp</th><th>Cpk</th>"
         "</tr></thead>\n";
    for (const MeasurementStats& m : stats) {
        rvo::Result limits;
        limits.kind = rvo::ResultKind::Real;
        limits.unit = m.unit;
        limits.low = m.low;
        limits.high = m.high;
        limits.lowOp = m.lowOp;
        limits.highOp = m.highOp;
        o << "<tbody><tr class=\"result " << (m.failures ? "fail" : "pass") << "\"><td>"
          << EscapeHtml(Name(m)) << "</td><td class=\"num\">" << m.count
          << "</td><td class=\"num\">" << m.failures << "</td><td class=\"num\">"
          << EscapeHtml(FormatValue(m.mean, m.unit)) << "</td><td class=\"num\">"
          << EscapeHtml(FormatValue(m.sigma, m.unit)) << "</td><td class=\"num\">"
          << EscapeHtml(FormatValue(m.min, m.unit)) << "</td><td class=\"num\">"
          << EscapeHtml(FormatValue(m.max, m.unit)) << "</td><td class=\"num\">"
          << EscapeHtml(FormatLimits(limits)) << "</td><td class=\"num\">" << Capability(m.cp)
          << "</td><td class=\"num\">" << Capability(m.cpk) << "</td></tr>\n"
          << "<tr class=\"plotrow\"><td colspan=\"10\">"
          << HistogramPlot(m.values, m.unit, {m.hasLow, m.hasHigh, m.low, m.high})
          << "</td></tr></tbody>\n";
    }
    o << "</table>\n";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << HtmlPage(title, o.str());
    out.close();
    if (!out) {
        error = path + ": cannot write the statistics";
        return false;
    }
    return true;
}

} // namespace kora::run
