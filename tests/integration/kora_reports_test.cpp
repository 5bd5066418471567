// kora-run's reports beyond the run itself: the HTML report of a stored run and the statistics
// across stored runs, checked against the database read directly.
#include "stats.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace kora::run {
namespace {

namespace fs = std::filesystem;

class KoraReports : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kora_reports_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    int Run(const std::string& args, const std::string& env = {}) {
        const std::string cmd = env + " " + KORA_RUN_PATH + " " + args + " >" +
                                (dir_ / "out.txt").string() + " 2>&1 </dev/null";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static std::string Read(const fs::path& p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static std::size_t Count(const std::string& text, const std::string& pattern) {
        const std::regex re(pattern);
        return static_cast<std::size_t>(
            std::distance(std::sregex_iterator(text.begin(), text.end(), re), {}));
    }
    fs::path dir_;
};

std::string Example(const char* path) {
    return (fs::path(KORA_EXAMPLES_DIR) / path).string();
}

TEST_F(KoraReports, StoredRunShowsAsTheRunItself) {
    const fs::path db = dir_ / "runs.db", live = dir_ / "live.html", stored = dir_ / "stored.html";
    ASSERT_EQ(
        Run(Example("programs/power.yaml") + " --db " + db.string() + " --html " + live.string()),
        0)
        << Read(dir_ / "out.txt");
    ASSERT_EQ(Run("report --db " + db.string() + " --html " + stored.string()), 0)
        << Read(dir_ / "out.txt");
    const std::string a = Read(live);
    std::string b = Read(stored);
    b = std::regex_replace(b, std::regex("<tr><th>Stored run</th><td>1</td></tr>"), "");
    EXPECT_EQ(a, b);
    // Every result a row, the acquired current a plot with its 20 samples and both limits.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(raw, "SELECT COUNT(*) FROM step_result", -1, &q, nullptr);
    ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
    const auto results = static_cast<std::size_t>(sqlite3_column_int(q, 0));
    sqlite3_finalize(q);
    sqlite3_close(raw);
    EXPECT_EQ(Count(a, "<tr class=\"result "), results);
    ASSERT_EQ(Count(a, "<svg class=\"plot\""), 1u);
    const std::string plot = a.substr(a.find("<svg class=\"plot\""));
    EXPECT_EQ(Count(plot.substr(0, plot.find("</svg>")), "class=\"limit (low|high)\""), 2u);
    const std::string points = std::regex_replace(plot.substr(0, plot.find("</svg>")),
                                                  std::regex(".*points=\"([^\"]*)\".*"), "$1");
    EXPECT_EQ(Count(points, "[0-9.]+,[0-9.]+"), 20u);

    EXPECT_EQ(Run("report --db " + db.string() + " --run 7 --html " + stored.string()), 2);
    EXPECT_NE(Read(dir_ / "out.txt").find("no run 7"), std::string::npos);
}

// The reports as a browser shows them: headless Chromium renders each example's report, and the
// rendered DOM has every result row and plot that the database holds, with nothing loaded from
// elsewhere and nothing logged to the console. The ICT report's screenshot is the README's.
TEST_F(KoraReports, ExampleReportsRenderInABrowser) {
    const char* browser = "/usr/bin/chromium-headless-shell";
    ASSERT_TRUE(fs::exists(browser)) << "scripts/setup.sh installs chromium-headless-shell";
    const std::string flags = " --no-sandbox --disable-gpu --disable-background-networking "
                              "--disable-component-update --disable-sync --no-first-run "
                              "--user-data-dir=" +
                              (dir_ / "profile").string() + " --enable-logging=stderr --v=0 ";
    for (const char* example : {"ict/ict.yaml", "programs/power.yaml"}) {
        SCOPED_TRACE(example);
        const fs::path html = dir_ / "report.html", db = dir_ / "report.db";
        fs::remove(db);
        ASSERT_LE(Run(Example(example) + " --html " + html.string() + " --db " + db.string()), 1);
        const std::string page = Read(html);
        EXPECT_EQ(Count(page, "(src|href)=\"[^#]"), 0u); // self-contained
        const fs::path dom = dir_ / "dom.html", log = dir_ / "browser.log";
        const std::string cmd = std::string("timeout 120 ") + browser + flags +
                                "--dump-dom file://" + html.string() + " >" + dom.string() + " 2>" +
                                log.string();
        ASSERT_EQ(std::system(cmd.c_str()), 0) << Read(log);
        const std::string rendered = Read(dom);
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
        const auto count = [&](const char* sql) {
            sqlite3_stmt* q = nullptr;
            sqlite3_prepare_v2(raw, sql, -1, &q, nullptr);
            const std::size_t n = sqlite3_step(q) == SQLITE_ROW
                                      ? static_cast<std::size_t>(sqlite3_column_int(q, 0))
                                      : 0;
            sqlite3_finalize(q);
            return n;
        };
        const std::size_t results = count("SELECT COUNT(*) FROM step_result");
        const std::size_t plots = count("SELECT (SELECT COUNT(*) FROM series) + "
                                        "(SELECT COUNT(*) FROM graph)");
        sqlite3_close(raw);
        EXPECT_GT(plots, 0u);
        EXPECT_EQ(Count(rendered, "<tr class=\"result "), results);
        EXPECT_EQ(Count(rendered, "<svg class=\"plot\""), plots);
        EXPECT_EQ(Count(Read(log), ":CONSOLE"), 0u) << Read(log);
        if (std::string(example) == "ict/ict.yaml") {
            const fs::path shot = fs::path(KORA_REPORT_SHOT);
            const std::string snap = std::string("timeout 120 ") + browser + flags +
                                     "--window-size=1100,1400 --screenshot=" + shot.string() +
                                     " file://" + html.string() + " >/dev/null 2>&1";
            EXPECT_EQ(std::system(snap.c_str()), 0);
            EXPECT_GT(fs::file_size(shot), 10000u);
        }
    }
}

// A database of the first kora-run versions: the first run into it adds what it lacks, and its
// old run still reads back and counts, told apart from the new one by the station.
TEST_F(KoraReports, OlderDatabaseIsMigratedOnFirstWrite) {
    const fs::path db = dir_ / "old.db";
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    const auto rows = [&](const char* sql) {
        std::string out;
        sqlite3_stmt* q = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(raw, sql, -1, &q, nullptr), SQLITE_OK) << sql;
        while (sqlite3_step(q) == SQLITE_ROW) {
            for (int i = 0; i < sqlite3_column_count(q); ++i) {
                const auto* t = sqlite3_column_text(q, i);
                out += (i ? "|" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "");
            }
            out += "\n";
        }
        sqlite3_finalize(q);
        return out;
    };
    ASSERT_EQ(
        sqlite3_exec(
            raw,
            "CREATE TABLE uut_result (id INTEGER PRIMARY KEY, program TEXT, program_file TEXT, "
            "uut_serial TEXT, uut_part TEXT, station TEXT, start_time TEXT, execution_seconds "
            "REAL, status TEXT, exit_status INTEGER, steps INTEGER, passed INTEGER, failed "
            "INTEGER, errors INTEGER);"
            "CREATE TABLE step_result (id INTEGER PRIMARY KEY, uut_result INTEGER, step_index "
            "INTEGER, execution INTEGER, step_name TEXT, method TEXT, program_line INTEGER, "
            "result_number INTEGER, result_name TEXT, status TEXT, kind TEXT, unit INTEGER, "
            "unit_text TEXT, numeric_value TEXT, text_value TEXT, channel TEXT, comment TEXT, "
            "step_return INTEGER, seconds REAL);"
            "CREATE TABLE numeric_limits (step_result INTEGER, low_limit TEXT, low_operator TEXT, "
            "high_limit TEXT, high_operator TEXT, units TEXT);"
            "INSERT INTO uut_result VALUES (1, 'Old', 'old.yaml', 'SN-1', '', 'Bench', "
            "'2020-01-01T00:00:00Z', 1.5, 'PASSED', 0, 1, 1, 0, 0);"
            "INSERT INTO step_result VALUES (1, 1, 1, 1, 'Old supply', 'COMPR_KORA', 3, 0, "
            "'Old supply', 'PASS', 'real', 0, '', '5.5', NULL, '', '', 0, 0.1);"
            "INSERT INTO numeric_limits VALUES (1, '5', '<=', '6', '<=', '');",
            nullptr, nullptr, nullptr),
        SQLITE_OK);
    ASSERT_EQ(Run(Example("programs/compare.yaml") + " --db " + db.string() + " --station-id 7"), 0)
        << Read(dir_ / "out.txt");
    EXPECT_EQ(rows("SELECT version FROM kora_schema"), "3\n");
    EXPECT_EQ(rows("SELECT id, station_id, length(run_uid) FROM uut_result ORDER BY id"),
              "1||\n2|7|36\n");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM step_result WHERE uut_result = 2 AND component IS NULL "
                   "AND step_seq > 0"),
              rows("SELECT COUNT(*) FROM step_result WHERE uut_result = 2"));
    sqlite3_close(raw);

    const fs::path html = dir_ / "old.html";
    ASSERT_EQ(Run("report --db " + db.string() + " --run 1 --html " + html.string()), 0)
        << Read(dir_ / "out.txt");
    EXPECT_EQ(Count(Read(html), "<tr class=\"result pass\" id=\"r0-0\"><td>Old supply<"), 1u);
    const struct {
        const char* filter;
        std::size_t oldRuns, newRuns;
    } filters[] = {{"", 1, 1}, {" --station 7", 0, 1}, {" --station Bench", 1, 0}};
    for (const auto& f : filters) {
        SCOPED_TRACE(f.filter);
        ASSERT_EQ(Run("stats --db " + db.string() + f.filter), 0) << Read(dir_ / "out.txt");
        const std::string table = Read(dir_ / "out.txt");
        EXPECT_EQ(Count(table, "\nOld supply +1 "), f.oldRuns) << table;
        EXPECT_EQ(Count(table, "\nSupply voltage +1 "), f.newRuns) << table;
    }
}

TEST(Statistics, CapabilityFromTheLimitsThereAre) {
    const double sigma = std::sqrt(2.0 / 3.0); // of 9, 10, 11, 10 (μ 10); NaN left out
    const struct {
        bool hasLow, hasHigh;
        double low, high, cp, cpk;
    } cases[] = {
        {true, true, 6, 12, 6 / (6 * sigma), 2 / (3 * sigma)}, // U - μ = 2 decides
        {false, true, 0, 14, NAN, 4 / (3 * sigma)},
        {true, false, 6, 0, NAN, 4 / (3 * sigma)},
        {false, false, 0, 0, NAN, NAN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.low) + " .. " + std::to_string(c.high));
        MeasurementStats m;
        m.values = {9.0, 10.0, 11.0, 10.0, NAN};
        m.hasLow = c.hasLow;
        m.hasHigh = c.hasHigh;
        m.low = c.low;
        m.high = c.high;
        ComputeStats(m);
        EXPECT_EQ(m.count, 4);
        EXPECT_DOUBLE_EQ(m.mean, 10.0);
        EXPECT_DOUBLE_EQ(m.sigma, sigma);
        EXPECT_EQ(m.min, 9.0);
        EXPECT_EQ(m.max, 11.0);
        for (auto [got, want] : {std::pair{m.cp, c.cp}, std::pair{m.cpk, c.cpk}}) {
            EXPECT_EQ(std::isnan(got), std::isnan(want));
            if (!std::isnan(want)) {
                EXPECT_DOUBLE_EQ(got, want);
            }
        }
    }
    MeasurementStats flat;
    flat.values = {5, 5, 5};
    flat.hasLow = flat.hasHigh = true;
    flat.high = 10;
    ComputeStats(flat);
    EXPECT_EQ(flat.sigma, 0.0);
    EXPECT_TRUE(std::isnan(flat.cp) && std::isnan(flat.cpk)); // no spread, no capability
}

TEST_F(KoraReports, StatisticsAcrossNoisyBoardsAgreeWithTheDatabase) {
    const fs::path db = dir_ / "lot.db";
    constexpr int kBoards = 6;
    for (int seed = 1; seed <= kBoards; ++seed) {
        ASSERT_EQ(Run(Example("ict/ict.yaml") + " --db " + db.string(),
                      "KORA_NOISE_SEED=" + std::to_string(seed)),
                  0)
            << Read(dir_ / "out.txt");
    }
    std::vector<MeasurementStats> stats;
    std::string error;
    ASSERT_TRUE(ReadStats({db.string()}, "ICT board test", "", stats, error)) << error;
    // Directly: the first ICT step's R1 over the stored runs.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(raw,
                       "SELECT numeric_value FROM step_result WHERE step_name = 'Resistors' AND "
                       "component = 'R1' AND result_name = 'R1'",
                       -1, &q, nullptr);
    std::vector<double> r1;
    while (sqlite3_step(q) == SQLITE_ROW) {
        r1.push_back(sqlite3_column_double(q, 0));
    }
    sqlite3_finalize(q);
    sqlite3_close(raw);
    ASSERT_EQ(r1.size(), static_cast<std::size_t>(kBoards));
    double mean = 0;
    for (double v : r1) {
        mean += v / kBoards;
    }
    double ss = 0;
    for (double v : r1) {
        ss += (v - mean) * (v - mean);
    }
    const double sigma = std::sqrt(ss / (kBoards - 1));
    const auto it = std::find_if(stats.begin(), stats.end(), [](const MeasurementStats& m) {
        return m.step == "Resistors" && m.component == "R1";
    });
    ASSERT_NE(it, stats.end());
    EXPECT_EQ(it->count, kBoards);
    EXPECT_NEAR(it->mean, mean, 1e-9 * mean);
    EXPECT_NEAR(it->sigma, sigma, 1e-9 * mean);
    EXPECT_GT(it->sigma, 0.0); // the boards differ
    EXPECT_NEAR(it->cpk, std::min(it->high - mean, mean - it->low) / (3 * sigma), 1e-6);

    const fs::path html = dir_ / "stats.html";
    ASSERT_EQ(
        Run("stats --db " + db.string() + " --program 'ICT board test' --html " + html.string()),
        0);
    const std::string page = Read(html);
    EXPECT_EQ(Count(page, "<svg class=\"plot histogram\""), stats.size());
    EXPECT_NE(Read(dir_ / "out.txt").find("Resistors / R1"), std::string::npos);
}

} // namespace
} // namespace kora::run
