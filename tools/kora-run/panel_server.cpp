#include "panel_server.h"

#include "html_report.h"
#include "json_object.h"
#include "operator_pipe.h"
#include "panel_assets.h"
#include "panel_hub.h"
#include "panel_process.h"
#include "program.h"
#include "report_view.h"

#include <httplib.h>
#include <yaml-cpp/yaml.h>

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace kora::run {

namespace {

namespace fs = std::filesystem;

constexpr int kLastRuns = 20;
constexpr auto kKeepAlive = std::chrono::seconds(15);
// Every open page holds a connection for its events.
constexpr std::size_t kServerThreads = 32;
constexpr std::size_t kSerialMax = 64;
constexpr int kEventFd = 3;
constexpr const char* kEventPrograms = "programs";
constexpr const char* kEventBusy = "busy";
constexpr const char* kEventRuns = "runs";
// Requests that change something carry this header: a page of another site cannot send it
// without the panel's consent, which it never gives.
constexpr const char* kRequestHeader = "X-Kora-Panel";
constexpr const char* kRunBusy = "a run is in progress";
constexpr const char* kNoRun = "no run in progress";
constexpr const char* kNoProgram = "no such program";
constexpr const char* kBadSerial = "the serial number is too long or holds a control character";
constexpr const char* kBadAnswer = "an answer needs a dialog id and a number";
constexpr const char* kForeignRequest = "not a request of the panel's page";
constexpr const char* kNoVerdict = "the run ended without a verdict (exit status %d)";
constexpr const char* kReportName = "report.html";
// The verdict of a run that could not give its own.
constexpr const char* kVerdictError = "ERROR";
constexpr const char* kTextType = "text/plain; charset=utf-8";

struct PanelProgram {
    std::string file, name, serial;
};

std::string SelfPath() {
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("kora-run") : exe.string();
}

// The runs of the panel: one at a time, each in a process of its own.
class Station {
  public:
    Station(const ServeOptions& options, std::vector<PanelProgram> programs)
        : options_(options), programs_(std::move(programs)), self_(SelfPath()) {
        std::string list = "[";
        for (std::size_t i = 0; i < programs_.size(); ++i) {
            list += i ? "," : "";
            list += JsonObject()
                        .Add("index", static_cast<long long>(i))
                        .Add("name", programs_[i].name)
                        .Add("file", programs_[i].file)
                        .Add("serial", programs_[i].serial)
                        .Text();
        }
        hub.SetState(kEventPrograms, list + "]");
        hub.SetState(kEventBusy, JsonObject().Add("busy", false).Text());
        PublishRuns();
    }

    bool Start(std::size_t program, const std::string& serial, std::string& error) {
        std::lock_guard lock(mutex_);
        if (busy_) {
            error = kRunBusy;
            return false;
        }
        if (program >= programs_.size()) {
            error = kNoProgram;
            return false;
        }
        if (follower_.joinable()) {
            follower_.join(); // the last run's, which has ended
        }
        const PanelProgram& p = programs_[program];
        const long long n = ++runs_;
        const fs::path dir = fs::path(options_.work) / ("run-" + std::to_string(n));
        fs::create_directories(dir);
        const std::string used = serial.empty() ? p.serial : serial;
        hub.BeginRun(JsonObject()
                         .Add("run", n)
                         .Add("program", p.name)
                         .Add("serial", used)
                         .Add("report", "runs/" + std::to_string(n) + "/report")
                         .Text());
        std::vector<std::string> argv = {self_,           p.file,
                                         "--operator-fd", std::to_string(kEventFd),
                                         "--library",     options_.library,
                                         "--json",        (dir / "run.json").string(),
                                         "--html",        (dir / kReportName).string()};
        if (!serial.empty()) {
            argv.insert(argv.end(), {"--uut-serial", serial});
        }
        if (!options_.db.empty()) {
            argv.insert(argv.end(), {"--db", options_.db});
        }
        process_ = std::make_unique<RunProcess>();
        if (!process_->Start(argv, kEventFd, (dir / "console.txt").string(), error)) {
            hub.Publish(kEventEnd,
                        JsonObject().Add("verdict", kVerdictError).Add("error", error).Text());
            return false;
        }
        busy_ = true;
        hub.SetState(kEventBusy, JsonObject().Add("busy", true).Text());
        follower_ = std::thread([this, n, p] { Follow(n, p); });
        return true;
    }

    bool Request(const std::string& line, std::string& error) {
        std::lock_guard lock(mutex_);
        if (!busy_ || !process_ || !process_->Send(line)) {
            error = kNoRun;
            return false;
        }
        return true;
    }

    std::string ReportFile(long long n) const {
        return (fs::path(options_.work) / ("run-" + std::to_string(n)) / kReportName).string();
    }

    void Shutdown() {
        {
            std::lock_guard lock(mutex_);
            if (process_) {
                process_->Terminate();
            }
        }
        if (follower_.joinable()) {
            follower_.join();
        }
    }

    PanelHub hub;

  private:
    void Follow(long long n, const PanelProgram& program) {
        bool ended = false;
        const int status = process_->Follow([&](const std::string& line) {
            const auto space = line.find(' ');
            if (space == std::string::npos) {
                return;
            }
            const std::string event = line.substr(0, space), json = line.substr(space + 1);
            if (event == kEventEnd) {
                ended = true;
                Remember(n, json);
            }
            hub.Publish(event, json);
        });
        if (!ended) {
            char why[128];
            std::snprintf(why, sizeof why, kNoVerdict, status);
            const std::string json = JsonObject()
                                         .Add("verdict", kVerdictError)
                                         .Add("program", program.name)
                                         .Add("error", why)
                                         .Text();
            Remember(n, json);
            hub.Publish(kEventEnd, json);
        }
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
        }
        hub.SetState(kEventBusy, JsonObject().Add("busy", false).Text());
        PublishRuns();
    }

    // Without a database the panel lists the runs it started itself.
    void Remember(long long n, const std::string& json) {
        if (!options_.db.empty()) {
            return;
        }
        RunSummary run;
        run.runId = n;
        try {
            const YAML::Node end = YAML::Load(json);
            run.program = end["program"].as<std::string>("");
            run.uutSerial = end["serial"].as<std::string>("");
            run.startedAt = end["started"].as<std::string>("");
            run.verdict = end["verdict"].as<std::string>("");
            run.seconds = end["seconds"].as<double>(0);
        } catch (const YAML::Exception&) {
            run.verdict = kVerdictError;
        }
        std::lock_guard lock(mutex_);
        memory_.push_front(run);
        if (memory_.size() > kLastRuns) {
            memory_.pop_back();
        }
    }

    void PublishRuns() {
        std::vector<RunSummary> runs;
        std::string link = "runs/";
        if (!options_.db.empty()) {
            std::string error;
            if (!ReadLastRuns(options_.db, kLastRuns, runs, error) && fs::exists(options_.db)) {
                std::fprintf(stderr, "kora-run serve: %s\n", error.c_str());
            }
            link = "stored/";
        } else {
            std::lock_guard lock(mutex_);
            runs.assign(memory_.begin(), memory_.end());
        }
        std::string list = "[";
        for (const RunSummary& r : runs) {
            const std::string id = std::to_string(r.runId);
            list += list.size() > 1 ? "," : "";
            list += JsonObject()
                        .Add("id", r.runId)
                        .Add("program", r.program)
                        .Add("serial", r.uutSerial)
                        .Add("started", r.startedAt)
                        .Add("verdict", r.verdict)
                        .Seconds("seconds", r.seconds)
                        .Add("report", link + id + (options_.db.empty() ? "/report" : ""))
                        .Text();
        }
        hub.SetState(kEventRuns, list + "]");
    }

    const ServeOptions& options_;
    const std::vector<PanelProgram> programs_;
    const std::string self_;
    std::mutex mutex_;
    bool busy_ = false;
    long long runs_ = 0;
    std::unique_ptr<RunProcess> process_;
    std::thread follower_;
    std::deque<RunSummary> memory_;
};

bool FromPanel(const httplib::Request& req, httplib::Response& res) {
    if (req.has_header(kRequestHeader)) {
        return true;
    }
    res.status = 403;
    res.set_content(kForeignRequest, kTextType);
    return false;
}

void Refuse(httplib::Response& res, const std::string& why) {
    res.status = 409;
    res.set_content(why, kTextType);
}

bool ParseNumber(const std::string& text, long& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return *end == 0;
}

bool GoodSerial(const std::string& serial) {
    if (serial.size() > kSerialMax) {
        return false;
    }
    for (unsigned char c : serial) {
        if (c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

void Routes(httplib::Server& server, Station& station, const ServeOptions& options) {
    for (const PanelAsset& asset : PanelAssets()) {
        const std::string path = asset.path;
        server.Get(path == "/index.html" ? "/" : path,
                   [asset](const httplib::Request&, httplib::Response& res) {
                       res.set_content(asset.text, asset.type);
                   });
    }
    server.Get("/report.css", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(ReportStyle(), "text/css; charset=utf-8");
    });
    server.Get("/events", [&station](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-cache");
        auto cursor = std::make_shared<PanelHub::Cursor>();
        res.set_chunked_content_provider(
            "text/event-stream", [&station, cursor](std::size_t, httplib::DataSink& sink) {
                std::string text = station.hub.Next(*cursor, kKeepAlive);
                if (station.hub.Closed()) {
                    return false;
                }
                if (text.empty()) {
                    text = ": keep-alive\n\n";
                }
                return sink.write(text.data(), text.size());
            });
    });
    server.Post("/start", [&station](const httplib::Request& req, httplib::Response& res) {
        if (!FromPanel(req, res)) {
            return;
        }
        long program = -1;
        const std::string serial = req.get_param_value("serial");
        std::string error;
        if (!ParseNumber(req.get_param_value("program"), program) || program < 0) {
            Refuse(res, kNoProgram);
        } else if (!GoodSerial(serial)) {
            Refuse(res, kBadSerial);
        } else if (!station.Start(static_cast<std::size_t>(program), serial, error)) {
            Refuse(res, error);
        } else {
            res.status = 204;
        }
    });
    server.Post("/answer", [&station](const httplib::Request& req, httplib::Response& res) {
        long id = 0, answer = 0;
        std::string error;
        if (!FromPanel(req, res)) {
            return;
        }
        if (!ParseNumber(req.get_param_value("id"), id) ||
            !ParseNumber(req.get_param_value("answer"), answer)) {
            Refuse(res, kBadAnswer);
        } else if (!station.Request(std::string(kRequestAnswer) + " " + std::to_string(id) + " " +
                                        std::to_string(answer),
                                    error)) {
            Refuse(res, error);
        } else {
            res.status = 204;
        }
    });
    for (const char* request : {kRequestStop, kRequestCloseProgress}) {
        server.Post(std::string("/") + request,
                    [&station, request](const httplib::Request& req, httplib::Response& res) {
                        std::string error;
                        if (!FromPanel(req, res)) {
                            return;
                        }
                        if (!station.Request(request, error)) {
                            Refuse(res, error);
                        } else {
                            res.status = 204;
                        }
                    });
    }
    server.Get(
        R"(/runs/(\d+)/report)", [&station](const httplib::Request& req, httplib::Response& res) {
            std::ifstream in(station.ReportFile(std::stoll(req.matches[1])), std::ios::binary);
            if (!in) {
                res.status = 404;
                return;
            }
            std::ostringstream text;
            text << in.rdbuf();
            res.set_content(text.str(), "text/html; charset=utf-8");
        });
    server.Get(R"(/stored/(\d+))", [&options](const httplib::Request& req, httplib::Response& res) {
        ReportView view;
        std::string error;
        if (options.db.empty() ||
            !ReadStoredRun(options.db, std::stoll(req.matches[1]), "", view, error)) {
            res.status = 404;
            res.set_content(error, kTextType);
            return;
        }
        res.set_content(HtmlReport(view), "text/html; charset=utf-8");
    });
}

} // namespace

int Serve(const ServeOptions& given) {
    ServeOptions options = given;
    std::vector<PanelProgram> programs;
    for (const auto& file : options.programs) {
        std::string error;
        const auto program = LoadProgram(file, error);
        if (!program) {
            std::fprintf(stderr, "kora-run: %s\n", error.c_str());
            return 2;
        }
        programs.push_back({file, program->name, program->uutSerial});
    }
    if (options.work.empty()) {
        std::string dir = (fs::temp_directory_path() / "kora-panel-XXXXXX").string();
        if (!::mkdtemp(dir.data())) {
            std::fprintf(stderr, "kora-run: cannot create a folder for the runs' reports\n");
            return 2;
        }
        options.work = dir;
    }
    std::error_code ec;
    fs::create_directories(options.work, ec);

    // The signals that end the panel are taken by a thread of their own; the runs get the
    // default mask back when they start.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    ::signal(SIGPIPE, SIG_IGN); // a run or a page gone while it is written to

    Station station(options, std::move(programs));
    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    Routes(server, station, options);
    const int port = options.port == 0
                         ? server.bind_to_any_port(options.listen)
                         : (server.bind_to_port(options.listen, options.port) ? options.port : -1);
    if (port < 0) {
        std::fprintf(stderr, "kora-run: cannot listen on %s port %d\n", options.listen.c_str(),
                     options.port);
        return 2;
    }
    std::printf("Operator panel on http://%s:%d/ (reports in %s)\n", options.listen.c_str(), port,
                options.work.c_str());
    std::fflush(stdout);
    std::thread signals([&] {
        int signal = 0;
        sigwait(&ending, &signal);
        station.hub.Close();
        station.Shutdown();
        server.stop();
    });
    server.listen_after_bind();
    signals.join();
    return 0;
}

} // namespace kora::run
