#include "stats.h"

#include "format.h"
#include "html_report.h"
#include "svg_plot.h"

#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

namespace kora::run {

namespace {

std::string Column(sqlite3_stmt* s, int i) {
    const auto* t = sqlite3_column_text(s, i);
    return t ? reinterpret_cast<const char*>(t) : "";
}

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
    m.count = 0;
    double sum = 0;
    m.min = INFINITY;
    m.max = -INFINITY;
    for (double v : m.values) {
        if (std::isfinite(v)) {
            ++m.count;
            sum += v;
            m.min = std::min(m.min, v);
            m.max = std::max(m.max, v);
        }
    }
    m.mean = m.count ? sum / static_cast<double>(m.count) : NAN;
    double squares = 0;
    for (double v : m.values) {
        if (std::isfinite(v)) {
            squares += (v - m.mean) * (v - m.mean);
        }
    }
    m.sigma = m.count > 1 ? std::sqrt(squares / static_cast<double>(m.count - 1)) : NAN;
    if (m.count == 0) {
        m.min = m.max = NAN;
    }
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

bool ReadStats(const std::string& path, const std::string& program,
               std::vector<MeasurementStats>& stats, std::string& error) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot open the database");
        sqlite3_close_v2(db);
        return false;
    }
    // Runs in the order stored; a measurement's limits are those of its latest run.
    const char* sql =
        "SELECT u.program, s.step_name, COALESCE(s.component, ''), s.result_name, s.unit, "
        "s.numeric_value, s.status, l.low_operator, l.low_limit, l.high_operator, l.high_limit "
        "FROM step_result s JOIN uut_result u ON u.id = s.uut_result "
        "LEFT JOIN numeric_limits l ON l.step_result = s.id "
        "WHERE s.kind IN ('real', 'integer') AND s.status IN ('PASS', 'FAIL') "
        "AND (?1 = '' OR u.program = ?1) ORDER BY s.id";
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
        error =
            path + ": not a kora-run database with component results (" + sqlite3_errmsg(db) + ")";
        sqlite3_close_v2(db);
        return false;
    }
    sqlite3_bind_text(s, 1, program.c_str(), -1, SQLITE_TRANSIENT);
    std::map<std::tuple<std::string, std::string, std::string, std::string, long>, std::size_t>
        index;
    stats.clear();
    while (sqlite3_step(s) == SQLITE_ROW) {
        const long unit = sqlite3_column_int(s, 4);
        auto key = std::make_tuple(Column(s, 0), Column(s, 1), Column(s, 2), Column(s, 3), unit);
        auto [it, fresh] = index.emplace(key, stats.size());
        if (fresh) {
            MeasurementStats m;
            std::tie(m.program, m.step, m.component, m.result, m.unit) = key;
            stats.push_back(std::move(m));
        }
        MeasurementStats& m = stats[it->second];
        const std::string value = Column(s, 5);
        m.values.push_back(value.empty() ? NAN : std::strtod(value.c_str(), nullptr));
        m.failures += Column(s, 6) == "FAIL" ? 1 : 0;
        m.lowOp = Column(s, 7);
        m.highOp = Column(s, 9);
        m.hasLow = !m.lowOp.empty();
        m.low = m.hasLow ? std::strtod(Column(s, 8).c_str(), nullptr) : 0;
        m.hasHigh = !m.highOp.empty();
        m.high = m.hasHigh ? std::strtod(Column(s, 10).c_str(), nullptr) : 0;
    }
    sqlite3_finalize(s);
    sqlite3_close_v2(db);
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
