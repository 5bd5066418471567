// kora-run against a real PostgreSQL server of the test's own (tests/postgres/pg_server.sh): runs
// read back as they ran, the spool of a station while its server is away, and a line of stations
// writing one database, checked by query with libpq and against the stations' SQLite files.
#include <libpq-fe.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string Example(const char* path) {
    return (fs::path(KORA_EXAMPLES_DIR) / path).string();
}

std::string Read(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Exit status of a shell command; its output goes to `out`.
int Shell(const std::string& cmd, const fs::path& out) {
    const int status = std::system((cmd + " >" + out.string() + " 2>&1 </dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PostgresStore : public ::testing::Test {
  protected:
    void SetUp() override {
        // Short, since the server's socket lives in it (socket paths are limited to 107 bytes),
        // and under /tmp, which the server's unprivileged user can reach whatever TMPDIR says.
        static int counter = 0;
        dir_ = fs::path("/tmp") /
               ("kora_pg_" + std::to_string(::getpid()) + "_" + std::to_string(++counter));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        server_ = dir_ / "server";
        ASSERT_EQ(Server("start " KORA_PG_TEMPLATE " " + server_.string()), 0)
            << Read(dir_ / "server.txt");
        uri_ = Read(dir_ / "server.txt");
        uri_.erase(uri_.find_last_not_of('\n') + 1);
    }
    void TearDown() override {
        Server("remove " + server_.string());
        fs::remove_all(dir_);
    }
    int Server(const std::string& args) {
        return Shell(std::string("bash ") + KORA_PG_SERVER + " " + args, dir_ / "server.txt");
    }
    int Run(const std::string& args, const std::string& out = "out.txt",
            const std::string& env = {}) {
        return Shell(env + " " + KORA_RUN_PATH + " " + args, dir_ / out);
    }
    // The rows of a query, columns separated by '|'.
    std::vector<std::string> Query(const std::string& sql) {
        std::vector<std::string> rows;
        PGconn* conn = PQconnectdb(uri_.c_str());
        PGresult* r = PQexec(conn, sql.c_str());
        EXPECT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << PQerrorMessage(conn);
        for (int i = 0; i < PQntuples(r); ++i) {
            std::string row;
            for (int j = 0; j < PQnfields(r); ++j) {
                row += (j ? "|" : "") + std::string(PQgetvalue(r, i, j));
            }
            rows.push_back(row);
        }
        PQclear(r);
        PQfinish(conn);
        return rows;
    }
    fs::path dir_, server_;
    std::string uri_;
};

// The run in the server and in a file at once: both read back as the page of the run itself, and
// the server holds the station and the identifier of the run as the file does.
TEST_F(PostgresStore, StoredRunShowsAsTheRunItself) {
    const fs::path file = dir_ / "runs.db";
    ASSERT_EQ(Run(Example("programs/power.yaml") + " --db '" + uri_ + "' --db " + file.string() +
                  " --html " + (dir_ / "live.html").string() +
                  " --station 'Line 1 / 3' --station-id 3 --panel 2"),
              0)
        << Read(dir_ / "out.txt");
    const std::regex storedRun("<tr><th>Stored run</th><td>[0-9]+</td></tr>");
    const std::string live = Read(dir_ / "live.html");
    EXPECT_NE(live.find("<tr><th>Station</th><td>Line 1 / 3</td></tr><tr><th>Station id</th>"
                        "<td>3</td></tr><tr><th>Panel</th><td>2</td></tr><tr><th>Host</th>"),
              std::string::npos);
    for (const std::string& db : {"'" + uri_ + "'", file.string()}) {
        SCOPED_TRACE(db);
        ASSERT_EQ(
            Run("report --db " + db + " --station 3 --html " + (dir_ / "stored.html").string()), 0)
            << Read(dir_ / "out.txt");
        EXPECT_EQ(std::regex_replace(Read(dir_ / "stored.html"), storedRun, ""), live);
        EXPECT_EQ(Run("report --db " + db + " --station 4 --html " + (dir_ / "x.html").string()),
                  2);
        EXPECT_NE(Read(dir_ / "out.txt").find("no run stored of station 4"), std::string::npos);
    }
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const auto rows = Query("SELECT station, station_id, panel, host, run_uid, "
                            "(SELECT MAX(version) FROM kora_schema) FROM uut_result");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].substr(0, rows[0].find("|", rows[0].find(host))),
              std::string("Line 1 / 3|3|2|") + host);
    EXPECT_TRUE(std::regex_match(rows[0], std::regex(".*\\|[0-9a-f-]{36}\\|3")));
}

// A station whose server is away keeps its runs and delivers them in order, each once: by `sync`
// (twice over the same spool: the second time every run is refused as one held already) and by
// the next run that reaches the server.
TEST_F(PostgresStore, RunsWhileTheServerIsAwayAreSpooledAndDeliveredOnce) {
    const fs::path spool = dir_ / "spool.db";
    const std::string program = Example("programs/compare.yaml") + " --db '" + uri_ + "' --spool " +
                                spool.string() + " --station ";
    ASSERT_EQ(Run(program + "A"), 0) << Read(dir_ / "out.txt");
    ASSERT_EQ(Server("stop " + server_.string()), 0);
    for (const char* station : {"B", "C"}) {
        ASSERT_EQ(Run(program + station), 0) << Read(dir_ / "out.txt");
    }
    EXPECT_NE(Read(dir_ / "out.txt")
                  .find("kora-run: run kept in the spool " + spool.string() + " (2 waiting)"),
              std::string::npos)
        << Read(dir_ / "out.txt");
    fs::copy_file(spool, dir_ / "spool.copy");
    ASSERT_EQ(Server("restart " + server_.string()), 0) << Read(dir_ / "server.txt");
    const struct {
        const char* said;
    } syncs[] = {{": 2 run(s) delivered to "}, {": 0 run(s) delivered to "}};
    for (const auto& sync : syncs) {
        ASSERT_EQ(Run("sync --db '" + uri_ + "' --spool " + spool.string()), 0)
            << Read(dir_ / "out.txt");
        EXPECT_NE(Read(dir_ / "out.txt").find(sync.said), std::string::npos)
            << Read(dir_ / "out.txt");
        fs::copy_file(dir_ / "spool.copy", spool, fs::copy_options::overwrite_existing);
    }
    EXPECT_NE(Read(dir_ / "out.txt").find(", 2 already there"), std::string::npos);
    // The copy is back in the spool: the next run delivers it (refused again) before itself.
    ASSERT_EQ(Run(program + "D"), 0) << Read(dir_ / "out.txt");
    ASSERT_EQ(Server("stop " + server_.string()), 0);
    ASSERT_EQ(Run(program + "E"), 0);
    ASSERT_EQ(Server("restart " + server_.string()), 0);
    ASSERT_EQ(Run(program + "F"), 0);
    EXPECT_NE(Read(dir_ / "out.txt").find(": 1 run(s) delivered to "), std::string::npos);
    EXPECT_EQ(Query("SELECT string_agg(station, '' ORDER BY id), COUNT(DISTINCT run_uid), "
                    "SUM(passed) FROM uut_result"),
              std::vector<std::string>{"ABCDEF|6|" + std::to_string(6 * 6)});
    EXPECT_EQ(Query("SELECT COUNT(*) FROM step_result s JOIN uut_result u ON u.id = s.uut_result "
                    "WHERE u.station = 'C'"),
              Query("SELECT COUNT(*) FROM step_result s JOIN uut_result u ON u.id = s.uut_result "
                    "WHERE u.station = 'A'"));
}

// A line: stations run the ICT example at once, each its own board (meter noise), into one server
// and their own files; then the server goes away for a second round, which the stations spool
// and deliver when it is back. Every run is there once, and the statistics over the server are
// those over the stations' files, for the line and for one station.
TEST_F(PostgresStore, LineOfStationsWritesOneDatabase) {
    constexpr int kStations = 16;
    const auto round = [&](int from) {
        std::vector<std::thread> stations;
        std::vector<int> exits(kStations, -1);
        for (int i = 0; i < kStations; ++i) {
            stations.emplace_back([&, i] {
                const std::string n = std::to_string(i + 1);
                exits[static_cast<std::size_t>(i)] =
                    Run(Example("ict/ict.yaml") + " --db '" + uri_ + "' --db " +
                            (dir_ / ("station" + n + ".db")).string() + " --spool " +
                            (dir_ / ("spool" + n + ".db")).string() + " --station S" + n +
                            " --station-id " + n,
                        "out" + n + ".txt", "KORA_NOISE_SEED=" + std::to_string(from + i));
            });
        }
        for (auto& t : stations) {
            t.join();
        }
        for (int i = 0; i < kStations; ++i) {
            EXPECT_EQ(exits[static_cast<std::size_t>(i)], 0)
                << Read(dir_ / ("out" + std::to_string(i + 1) + ".txt"));
        }
    };
    round(1);
    ASSERT_EQ(Server("stop " + server_.string()), 0);
    round(kStations + 1);
    EXPECT_NE(Read(dir_ / "out1.txt").find("run kept in the spool"), std::string::npos);
    ASSERT_EQ(Server("restart " + server_.string()), 0);
    for (int i = 1; i <= kStations; ++i) {
        EXPECT_EQ(Run("sync --db '" + uri_ + "' --spool " +
                      (dir_ / ("spool" + std::to_string(i) + ".db")).string()),
                  0)
            << Read(dir_ / "out.txt");
    }
    std::vector<std::string> perStation;
    for (int i = 1; i <= kStations; ++i) {
        perStation.push_back("S" + std::to_string(i) + "|" + std::to_string(i) + "|2");
    }
    EXPECT_EQ(Query("SELECT station, station_id, COUNT(DISTINCT run_uid) FROM uut_result "
                    "GROUP BY station, station_id ORDER BY station_id"),
              perStation);

    std::string files;
    for (int i = 1; i <= kStations; ++i) {
        files += " --db " + (dir_ / ("station" + std::to_string(i) + ".db")).string();
    }
    const struct {
        std::string server, files;
    } views[] = {
        {"", files},
        {" --station S2", " --db " + (dir_ / "station2.db").string()},
        {" --station 5", " --db " + (dir_ / "station5.db").string()},
    };
    for (const auto& v : views) {
        SCOPED_TRACE(v.server);
        ASSERT_EQ(Run("stats --db '" + uri_ + "'" + v.server, "server.stats"), 0);
        ASSERT_EQ(Run("stats" + v.files, "files.stats"), 0);
        const std::string table = Read(dir_ / "server.stats");
        EXPECT_EQ(table, Read(dir_ / "files.stats"));
        const std::string n = v.server.empty() ? std::to_string(2 * kStations) : "2";
        EXPECT_TRUE(std::regex_search(table, std::regex("\nResistors / R1 +" + n + " "))) << table;
    }
}

} // namespace
