// kora-run serve as an operator uses it: the real command serves the panel on the loopback
// address, headless Chromium shows it, and the test types, clicks and reads the page as a person
// would. What the page shows is checked against what the run stored and against the same program
// run from the command line.
#include "support/devtools_pipe.h"

#include <QJsonArray>
#include <sqlite3.h>
#include <yaml-cpp/yaml.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace kora::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBrowser = "/usr/bin/chromium-headless-shell";
constexpr const char* kQuestion = "Please insert a fixture SHORT PLATE";

std::string IctExample(const char* name) {
    return (fs::path(KORA_EXAMPLES_DIR) / "ict" / name).string();
}

// kora-run serve on an ephemeral loopback port, ended with SIGTERM.
class PanelServer {
  public:
    PanelServer(const std::vector<std::string>& arguments, const fs::path& log) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<std::string> args = {KORA_RUN_PATH, "serve",    "--port",
                                         "0",           "--listen", "127.0.0.1"};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, KORA_RUN_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        // The first line names the address: "Operator panel on http://127.0.0.1:PORT/ ...".
        std::string line;
        char c = 0;
        pollfd p{out[0], POLLIN, 0};
        while (pid_ > 0 && ::poll(&p, 1, 30000) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') {
            line.push_back(c);
        }
        ::close(out[0]);
        std::smatch m;
        if (std::regex_search(line, m, std::regex("http://127\\.0\\.0\\.1:[0-9]+/"))) {
            url_ = m.str();
        }
    }
    ~PanelServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    const std::string& url() const { return url_; }

  private:
    pid_t pid_ = -1;
    std::string url_;
};

class KoraPanel : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kora_panel_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ASSERT_TRUE(fs::exists(kBrowser)) << "scripts/setup.sh installs chromium-headless-shell";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string Read(const fs::path& p) const {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Types the serial into the page, chooses the program and presses Start.
    static void StartRun(DevToolsBrowser& browser, const QString& session, int program,
                         const QString& serial) {
        browser.WaitFor(session, "document.querySelectorAll('#program option').length > 0 && "
                                 "!document.getElementById('start').disabled");
        browser.Evaluate(session, QString("document.getElementById('program').value = '%1'; "
                                          "document.getElementById('serial').focus()")
                                      .arg(program));
        browser.Call("Input.insertText", {{"text", serial}}, session);
        browser.Evaluate(session, "document.getElementById('start').click()");
    }
    // The open question's text, once the page shows it.
    static std::string WaitForDialog(DevToolsBrowser& browser, const QString& session) {
        return browser
            .WaitFor(session, "!document.getElementById('dialog').hidden && "
                              "document.getElementById('dialog-text').textContent")
            .toString()
            .toStdString();
    }
    static void Answer(DevToolsBrowser& browser, const QString& session, const QString& button) {
        browser.Evaluate(session, QString("[...document.querySelectorAll('#dialog-buttons button')]"
                                          ".find(b => b.textContent === '%1').click()")
                                      .arg(button));
    }
    static std::string WaitForVerdict(DevToolsBrowser& browser, const QString& session) {
        return browser
            .WaitFor(session, "['PASSED', 'FAILED', 'ERROR'].find(v => v === "
                              "document.getElementById('verdict').textContent)")
            .toString()
            .toStdString();
    }
    // Name, value, limits and verdict of every result row the page shows.
    static std::vector<std::vector<std::string>> PageRows(DevToolsBrowser& browser,
                                                          const QString& session) {
        std::vector<std::vector<std::string>> rows;
        const QJsonArray all =
            browser
                .Evaluate(session, "[...document.querySelectorAll('#results tr.result')].map("
                                   "r => [...r.cells].slice(0, 4).map(c => c.textContent))")
                .toArray();
        for (const auto& row : all) {
            std::vector<std::string> cells;
            for (const auto& c : row.toArray()) {
                cells.push_back(c.toString().toStdString());
            }
            rows.push_back(cells);
        }
        return rows;
    }

    fs::path dir_;
};

// The same rows from an HTML report, its text unescaped.
std::vector<std::vector<std::string>> ReportRows(const std::string& html) {
    const auto unescape = [](std::string s) {
        for (const auto& [entity, c] : std::vector<std::pair<std::string, std::string>>{
                 {"&quot;", "\""}, {"&#39;", "'"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}}) {
            for (std::size_t at; (at = s.find(entity)) != std::string::npos;) {
                s.replace(at, entity.size(), c);
            }
        }
        return s;
    };
    std::vector<std::vector<std::string>> rows;
    const std::regex row("<tr class=\"result [^\"]*\" id=\"[^\"]*\"><td>([^<]*)</td><td "
                         "class=\"num\">([^<]*)</td><td class=\"num\">([^<]*)</td><td "
                         "class=\"v\"><span class=\"[A-Z]+\">([A-Z]+)</span>");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), row);
         it != std::sregex_iterator(); ++it) {
        rows.push_back({unescape((*it)[1]), unescape((*it)[2]), unescape((*it)[3]), (*it)[4]});
    }
    return rows;
}

// Every stored result of a database, in order, without times.
std::vector<std::string> StoredResults(const fs::path& db, std::string* serial = nullptr) {
    std::vector<std::string> out;
    sqlite3* raw = nullptr;
    if (sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(raw);
        return out;
    }
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(raw,
                       "SELECT step_name || '|' || result_name || '|' || status || '|' || "
                       "IFNULL(numeric_value, '') || '|' || IFNULL(text_value, '') || '|' || "
                       "(SELECT uut_serial || ' ' || status FROM uut_result WHERE "
                       "uut_result.id = step_result.uut_result) FROM step_result ORDER BY id",
                       -1, &q, nullptr);
    while (q && sqlite3_step(q) == SQLITE_ROW) {
        out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)));
    }
    sqlite3_finalize(q);
    sqlite3_close(raw);
    return out;
}

// An operator enters a serial, starts the ICT program with its fixture check, answers the
// question in the page and sees the verdict and every result: the same as the command line
// shows and stores for that program and serial.
TEST_F(KoraPanel, RunFromThePageAnswersItsDialogAndShowsEveryResult) {
    const fs::path db = dir_ / "panel.db";
    PanelServer server({"--db", db.string(), "--work", (dir_ / "runs").string(),
                        IctExample("ict.yaml"), IctExample("compensate.yaml")},
                       dir_ / "server.log");
    ASSERT_FALSE(server.url().empty()) << Read(dir_ / "server.log");
    DevToolsBrowser browser(kBrowser, (dir_ / "profile").string());
    const auto [target, page] = browser.Open(QString::fromStdString(server.url()), 1100, 1000);
    StartRun(browser, page, 1, "SN-PANEL-1");

    EXPECT_NE(WaitForDialog(browser, page).find(kQuestion), std::string::npos);
    // The run waits on the answer: its verdict is still open, the resistors already shown.
    EXPECT_EQ(browser.Evaluate(page, "document.getElementById('verdict').textContent").toString(),
              "RUNNING");
    EXPECT_EQ(
        browser.Evaluate(page, "document.getElementById('dialog-title').textContent").toString(),
        "Resistance of the fixture");
    EXPECT_EQ(browser.Evaluate(page, "document.querySelectorAll('#results tr.result.pass').length")
                  .toInt(),
              8);
    std::ofstream(KORA_PANEL_SHOT, std::ios::binary) << browser.Screenshot(page).toStdString();
    Answer(browser, page, "OK");
    EXPECT_EQ(WaitForVerdict(browser, page), "PASSED");
    const auto rows = PageRows(browser, page);

    // The command line on the same program and serial: the same rows, the same stored results.
    const fs::path cliDb = dir_ / "cli.db", cliHtml = dir_ / "cli.html";
    const std::string cmd = std::string(KORA_RUN_PATH) + " " + IctExample("compensate.yaml") +
                            " --uut-serial SN-PANEL-1 --db " + cliDb.string() + " --html " +
                            cliHtml.string() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(rows, ReportRows(Read(cliHtml)));
    EXPECT_EQ(rows.size(), 29u);
    const auto stored = StoredResults(db);
    EXPECT_EQ(stored, StoredResults(cliDb));
    ASSERT_FALSE(stored.empty());
    EXPECT_NE(stored.back().find("SN-PANEL-1 PASSED"), std::string::npos) << stored.back();

    // The station's last runs list it with its report.
    const QJsonValue listed = browser.WaitFor(
        page, "[...document.querySelectorAll('#runs tbody tr')].map(r => r.textContent).join()");
    EXPECT_TRUE(listed.toString().contains("SN-PANEL-1")) << listed.toString().toStdString();
    EXPECT_TRUE(listed.toString().contains("PASSED")) << listed.toString().toStdString();
    browser.Close(target);
}

// A page closed while the run waits on its question loses nothing: the next page shows the
// question and the results so far, and after the answer, a page opened anew finds the run
// complete.
TEST_F(KoraPanel, ClosedPageDoesNotLoseTheRun) {
    const fs::path runs = dir_ / "runs";
    PanelServer server({"--work", runs.string(), IctExample("compensate.yaml")},
                       dir_ / "server.log");
    ASSERT_FALSE(server.url().empty()) << Read(dir_ / "server.log");
    const QString url = QString::fromStdString(server.url());
    DevToolsBrowser browser(kBrowser, (dir_ / "profile").string());
    const auto [first, firstPage] = browser.Open(url);
    StartRun(browser, firstPage, 0, "SN-PANEL-2");
    const std::string question = WaitForDialog(browser, firstPage);
    const auto before = PageRows(browser, firstPage);
    browser.Close(first);

    const auto [second, secondPage] = browser.Open(url);
    EXPECT_EQ(WaitForDialog(browser, secondPage), question);
    EXPECT_EQ(PageRows(browser, secondPage), before);
    Answer(browser, secondPage, "OK");
    browser.Close(second);

    const auto [third, thirdPage] = browser.Open(url);
    EXPECT_EQ(WaitForVerdict(browser, thirdPage), "PASSED");
    const auto rows = PageRows(browser, thirdPage);
    EXPECT_GT(rows.size(), before.size());
    EXPECT_EQ(rows, ReportRows(Read(runs / "run-1" / "report.html")));
    const YAML::Node json = YAML::LoadFile((runs / "run-1" / "run.json").string());
    EXPECT_EQ(json["uut"]["serial"].as<std::string>(), "SN-PANEL-2");
    EXPECT_EQ(json["alerts"][0]["answer"].as<int>(), 0);
    EXPECT_TRUE(browser.Evaluate(thirdPage, "document.getElementById('dialog').hidden").toBool());
    browser.Close(third);
}

} // namespace
} // namespace kora::test
