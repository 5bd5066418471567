#include "simulated_operator.h"

#include <vbench/bench/virtual_bench.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <locale>
#include <memory>
#include <sstream>

namespace kora::run {

namespace {

using Fixture = vbench::VirtualBench::Fixture;

// What the compensation's dialogs ask of the fixture, by the words that ask it.
struct FixtureRequest {
    const char* asks;
    Fixture fixture;
    const char* done;
};
constexpr FixtureRequest kFixtureRequests[] = {
    {"REMOVE all DUTs", Fixture::Removed, "board taken out of the fixture"},
    {"REMOVE ANY CONNECTION", Fixture::Removed, "board taken out of the fixture"},
    {"SHORT PLATE", Fixture::ShortPlate, "short plate inserted"},
    {"SHORT CIRCUIT CONNECTION", Fixture::ShortPlate, "short plate inserted"},
};
constexpr const char* kBoardBack = "board back in the fixture";
constexpr const char* kNever = "never";
// How long the operator watches the list after the last touch before closing the window.
constexpr double kCloseAfterLastTouch = 3.0;
constexpr double kDefaultTouch = 3.0;

bool ParseSeconds(std::string text, double& seconds) {
    if (!text.empty() && text.back() == 's') {
        text.pop_back();
    }
    if (text.empty()) {
        return false;
    }
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    in >> seconds;
    return in && in.eof() && seconds >= 0;
}

std::shared_ptr<vbench::VirtualBench> Bench() {
    return vbench::VirtualBench::active();
}

} // namespace

bool ParseProbes(const std::string& text, std::vector<ProbeTouch>& touches, std::string& error) {
    std::istringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        const auto at = item.find('@');
        const auto plus = item.find('+', at == std::string::npos ? 0 : at);
        ProbeTouch t;
        t.length = kDefaultTouch;
        if (at == std::string::npos || at == 0 ||
            !ParseSeconds(item.substr(at + 1, plus == std::string::npos ? plus : plus - at - 1),
                          t.at) ||
            (plus != std::string::npos && !ParseSeconds(item.substr(plus + 1), t.length))) {
            error = "--probe: '" + item + "' is not NET@START[+LENGTH] (seconds)";
            return false;
        }
        t.net = item.substr(0, at);
        touches.push_back(t);
    }
    return true;
}

bool ParseCloseAfter(const std::string& text, double& seconds, std::string& error) {
    if (text == kNever) {
        seconds = -2;
        return true;
    }
    if (!ParseSeconds(text, seconds)) {
        error = "--progress-close: '" + text + "' is neither seconds nor 'never'";
        return false;
    }
    return true;
}

long SimulatedOperator::Answer(const rvo::Alert& alert) {
    if (alert.flags == rvo::kAlertProgress) {
        if (!watching_) {
            return 0;
        }
        auto bench = Bench();
        const double now = bench ? bench->clock().seconds() : 0;
        if (!opened_) {
            opened_ = true;
            openedAt_ = now;
            for (const ProbeTouch& t : options_.probes) {
                if (!bench || !bench->scheduleProbe(t.net, now + t.at, now + t.at + t.length)) {
                    std::fprintf(stderr, "operator: the probe cannot touch '%s': no such net\n",
                                 t.net.c_str());
                }
            }
        }
        closedAt_ = now;
        return closeAt() >= 0 && now >= openedAt_ + closeAt() ? RVO_ANSWER_STOP : 0;
    }
    if (alert.flags != 0 || options_.fixture != FixtureAnswer::Follow) {
        return 0;
    }
    for (const FixtureRequest& r : kFixtureRequests) {
        if (alert.text.find(r.asks) != std::string::npos) {
            if (auto bench = Bench()) {
                bench->setFixture(r.fixture);
                fixtureChanged_ = true;
                std::fprintf(stderr, "operator: %s\n", r.done);
            }
            break;
        }
    }
    return 0;
}

double SimulatedOperator::closeAt() const {
    if (options_.closeAfter >= 0 || options_.closeAfter < -1.5) {
        return options_.closeAfter; // given, or never
    }
    double last = -1;
    for (const ProbeTouch& t : options_.probes) {
        last = std::max(last, t.at + t.length + kCloseAfterLastTouch);
    }
    return last;
}

void SimulatedOperator::StepDone() {
    if (!fixtureChanged_) {
        return;
    }
    fixtureChanged_ = false;
    if (auto bench = Bench()) {
        bench->setFixture(Fixture::Board);
        std::fprintf(stderr, "operator: %s\n", kBoardBack);
    }
}

bool SimulatedOperator::StartsPinLocationAfter(const std::string& method) {
    if (!options_.pinLocation || pinLocationStarted_ || method != "SETUP_KORA") {
        return false;
    }
    pinLocationStarted_ = true;
    return true;
}

ToolRun SimulatedOperator::RunPinLocation(rvo::Runtime& rt) {
    watching_ = true;
    opened_ = false;
    ToolRun run;
    run.result = rt.invokeCallback(RVO_CALLBACK_PINLOCATION, 0);
    watching_ = false;
    run.window = rt.progressWindow();
    if (opened_) {
        auto bench = Bench();
        run.seconds = (bench ? bench->clock().seconds() : closedAt_) - openedAt_;
    }
    return run;
}

} // namespace kora::run
