#include "responder.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace kora::responder {

namespace {

constexpr int kPollMs = 20; // how often the stop flag is looked at

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string AnswerOf(const std::string& line) {
    if (line == "*IDN?") {
        return kIdentity;
    }
    if (line == "MEAS:VOLT?") {
        return kVoltage;
    }
    return !line.empty() && line.back() == '?' ? kUnknownQuery : "";
}

} // namespace

std::unique_ptr<Responder> Responder::Open(Mode mode, std::string& error) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        error = std::string("no pseudo-terminal: ") + std::strerror(errno);
        if (master >= 0) {
            ::close(master);
        }
        return nullptr;
    }
    const char* name = ::ptsname(master);
    const int slave = name ? ::open(name, O_RDWR | O_NOCTTY) : -1;
    if (slave < 0) {
        error = std::string("cannot open the port side: ") + std::strerror(errno);
        ::close(master);
        return nullptr;
    }
    // Raw from the start: no echo, no line editing, whoever opens the port side later.
    termios settings{};
    ::tcgetattr(slave, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(slave, TCSANOW, &settings);
    return std::unique_ptr<Responder>(new Responder(mode, master, slave, name));
}

Responder::Responder(Mode mode, int master, int slave, std::string path)
    : mode_(mode), master_(master), slave_(slave), path_(std::move(path)) {}

Responder::~Responder() {
    ::close(slave_);
    ::close(master_);
}

long Responder::Serve(const std::atomic<bool>& stop, double idleSeconds) {
    using Clock = std::chrono::steady_clock;
    auto lastTraffic = Clock::now();
    long received = 0;
    std::string line;
    while (!stop.load()) {
        if (idleSeconds > 0 &&
            std::chrono::duration<double>(Clock::now() - lastTraffic).count() > idleSeconds) {
            break;
        }
        pollfd entry{master_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, kPollMs);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0 || (entry.revents & POLLIN) == 0) {
            continue;
        }
        char bytes[256];
        const ssize_t n = ::read(master_, bytes, sizeof bytes);
        if (n <= 0) {
            continue;
        }
        received += n;
        lastTraffic = Clock::now();
        switch (mode_) {
        case Mode::Silent:
            break;
        case Mode::Echo:
            WriteAll(master_, std::string_view(bytes, static_cast<std::size_t>(n)));
            break;
        case Mode::Query:
            for (ssize_t i = 0; i < n; ++i) {
                if (bytes[i] != '\r' && bytes[i] != '\n') {
                    line.push_back(bytes[i]);
                    continue;
                }
                const std::string answer = AnswerOf(line);
                line.clear();
                if (!answer.empty()) {
                    WriteAll(master_, answer + "\n");
                }
            }
            break;
        }
    }
    return received;
}

} // namespace kora::responder
