// Headless Chromium driven through the DevTools protocol over a pipe (--remote-debugging-pipe):
// JSON messages ending in a NUL byte, commands on the browser's descriptor 3 and answers and
// events on its descriptor 4. Enough for a test to open pages, type, click through script and
// wait on what the page shows.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace kora::test {

class DevToolsBrowser {
  public:
    // A browser failing to start or to answer in `answerMs` throws std::runtime_error.
    DevToolsBrowser(const std::string& binary, const std::string& profile, int answerMs = 90000)
        : answerMs_(answerMs) {
        int commands[2], answers[2];
        if (!Pipe(commands) || !Pipe(answers)) {
            throw std::runtime_error("no pipe for the browser");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, commands[0], 3);
        posix_spawn_file_actions_adddup2(&actions, answers[1], 4);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const std::string dataDir = "--user-data-dir=" + profile;
        std::vector<std::string> args = {binary,
                                         "--remote-debugging-pipe",
                                         "--no-sandbox",
                                         "--disable-gpu",
                                         "--disable-background-networking",
                                         "--disable-component-update",
                                         "--disable-sync",
                                         "--no-first-run",
                                         dataDir,
                                         "about:blank"};
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(commands[0]);
        ::close(answers[1]);
        out_ = commands[1];
        in_ = answers[0];
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + binary);
        }
    }
    // The browser closes itself (its helpers and profile writes included) before it is reaped.
    ~DevToolsBrowser() {
        try {
            Call("Browser.close");
        } catch (const std::runtime_error&) {
            if (pid_ > 0) {
                ::kill(pid_, SIGTERM);
            }
        }
        ::close(out_);
        ::close(in_);
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    DevToolsBrowser(const DevToolsBrowser&) = delete;
    DevToolsBrowser& operator=(const DevToolsBrowser&) = delete;

    // Sends a command and returns its result; an error answer throws.
    QJsonObject Call(const QString& method, const QJsonObject& params = {},
                     const QString& session = {}) {
        QJsonObject message{{"id", ++lastId_}, {"method", method}, {"params", params}};
        if (!session.isEmpty()) {
            message["sessionId"] = session;
        }
        QByteArray text = QJsonDocument(message).toJson(QJsonDocument::Compact);
        text.append('\0');
        for (qsizetype done = 0; done < text.size();) {
            const ssize_t n = ::write(out_, text.constData() + done, text.size() - done);
            if (n <= 0) {
                throw std::runtime_error("the browser is gone");
            }
            done += n;
        }
        for (;;) {
            const QJsonObject answer = Receive();
            if (answer.value("id").toInt() == lastId_) {
                if (answer.contains("error")) {
                    throw std::runtime_error(method.toStdString() + ": " +
                                             QJsonDocument(answer["error"].toObject())
                                                 .toJson(QJsonDocument::Compact)
                                                 .toStdString());
                }
                return answer["result"].toObject();
            }
            if (answer.contains("method")) {
                events_.push_back(answer);
            }
        }
    }

    // Waits for the event `method` of `session`, dropping the events before it.
    QJsonObject WaitEvent(const QString& method, const QString& session) {
        for (;;) {
            while (!events_.empty()) {
                QJsonObject e = events_.front();
                events_.pop_front();
                if (e["method"].toString() == method && e["sessionId"].toString() == session) {
                    return e["params"].toObject();
                }
            }
            const QJsonObject message = Receive();
            if (message.contains("method")) {
                events_.push_back(message);
            }
        }
    }

    // A new page showing `url`, loaded; returns its target and session ids.
    std::pair<QString, QString> Open(const QString& url, int width = 1200, int height = 900) {
        const QString target =
            Call("Target.createTarget", {{"url", "about:blank"}})["targetId"].toString();
        const QString session =
            Call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}})["sessionId"]
                .toString();
        Call("Emulation.setDeviceMetricsOverride",
             {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}},
             session);
        Call("Page.enable", {}, session);
        Call("Page.navigate", {{"url", url}}, session);
        WaitEvent("Page.loadEventFired", session);
        return {target, session};
    }

    void Close(const QString& target) { Call("Target.closeTarget", {{"targetId", target}}); }

    // The value of `expression` (a promise is awaited); a thrown error or rejection throws.
    QJsonValue Evaluate(const QString& session, const QString& expression) {
        const QJsonObject r = Call(
            "Runtime.evaluate",
            {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}}, session);
        if (r.contains("exceptionDetails")) {
            throw std::runtime_error(QJsonDocument(r["exceptionDetails"].toObject())
                                         .toJson(QJsonDocument::Compact)
                                         .toStdString());
        }
        return r["result"].toObject()["value"];
    }

    // The first truthy value of `condition`, checked whenever the page's document changes; the
    // page gives up after `timeoutMs`.
    QJsonValue WaitFor(const QString& session, const QString& condition, int timeoutMs = 60000) {
        return Evaluate(
            session,
            QString(R"(new Promise((resolve, reject) => {
  const test = () => { try { return (%1); } catch (e) { return null; } };
  let observer = null;
  const timer = setTimeout(() => { observer.disconnect(); reject(new Error('waited in vain for: ' + %2)); }, %3);
  const check = () => { const v = test(); if (v) { observer.disconnect(); clearTimeout(timer); resolve(v); } };
  observer = new MutationObserver(check);
  observer.observe(document, {subtree: true, childList: true, attributes: true, characterData: true});
  check();
}))")
                .arg(condition,
                     QString::fromUtf8(
                         QJsonDocument(QJsonArray{condition}).toJson(QJsonDocument::Compact))
                         .mid(1)
                         .chopped(1),
                     QString::number(timeoutMs)));
    }

    QByteArray Screenshot(const QString& session) {
        return QByteArray::fromBase64(
            Call("Page.captureScreenshot", {{"format", "png"}}, session)["data"]
                .toString()
                .toLatin1());
    }

  private:
    // Both ends close on exec and lie above 4, so that the browser gets exactly its two.
    static bool Pipe(int fds[2]) {
        int raw[2];
        if (::pipe2(raw, O_CLOEXEC) != 0) {
            return false;
        }
        for (int i = 0; i < 2; ++i) {
            fds[i] = ::fcntl(raw[i], F_DUPFD_CLOEXEC, 10);
            ::close(raw[i]);
        }
        return fds[0] >= 0 && fds[1] >= 0;
    }

    QJsonObject Receive() {
        for (;;) {
            const auto end = buffer_.indexOf('\0');
            if (end >= 0) {
                const QByteArray message = buffer_.left(end);
                buffer_.remove(0, end + 1);
                return QJsonDocument::fromJson(message).object();
            }
            pollfd p{in_, POLLIN, 0};
            const int ready = ::poll(&p, 1, answerMs_);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            char chunk[65536];
            const ssize_t n = ready > 0 ? ::read(in_, chunk, sizeof chunk) : 0;
            if (n <= 0) {
                throw std::runtime_error(ready == 0 ? "the browser did not answer"
                                                    : "the browser is gone");
            }
            buffer_.append(chunk, n);
        }
    }

    int answerMs_;
    pid_t pid_ = -1;
    int out_ = -1, in_ = -1;
    int lastId_ = 0;
    QByteArray buffer_;
    std::deque<QJsonObject> events_;
};

} // namespace kora::test
