#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/matrix_card.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>

namespace kora::vbench {

namespace {

constexpr const char* kLineNames[MatrixCard::kLines] = {"LABA1", "LABA2", "LABB1", "LABB2",
                                                        "LABC1", "LABC2", "LABD1", "LABD2"};

std::string Fold(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

MatrixCard::MatrixCard(VirtualBench& bench, std::string name)
    : bench_(bench), name_(std::move(name)),
      lastSwitchNs_(std::numeric_limits<int64_t>::min() / 2) {
    for (int line = 0; line < kLines; ++line) {
        couplingRelays_[static_cast<std::size_t>(line)] =
            relayName(std::string("couple:") + Fold(kLineNames[line]));
    }
}

const char* MatrixCard::lineName(int line) {
    return kLineNames[line];
}

std::string MatrixCard::systemLineNet(int line) {
    return std::string("vb:") + Fold(kLineNames[line] + 1); // "vb:aba1"
}

std::string MatrixCard::lineNet(int line) const {
    return "vb:" + Fold(name_) + ":" + Fold(kLineNames[line]);
}

std::string MatrixCard::pinNet(int pin) const {
    if (const Station* s = bench_.station()) {
        if (auto net = s->netOf(name_, pin)) {
            return bench_.needleNode(name_, pin, *net);
        }
    }
    return "vb:" + Fold(name_) + ":p" + std::to_string(pin);
}

std::string MatrixCard::relayName(const std::string& id) const {
    return "sm160:" + Fold(name_) + ":" + id;
}

Switch& MatrixCard::relay(const std::string& id, const std::string& a, const std::string& b,
                          double extraOhms) {
    return relayNamed(
        relayName(id), [&] { return std::pair(a, b); }, extraOhms);
}

template <typename Nodes>
Switch& MatrixCard::relayNamed(const std::string& name, Nodes nodes, double extraOhms) {
    Circuit& c = bench_.circuit();
    if (auto* s = c.findAs<Switch>(name)) {
        return *s;
    }
    const Station* st = bench_.station() ? bench_.station() : &DefaultStation();
    const auto [a, b] = nodes();
    return c.add<Switch>(name, c.node(a), c.node(b), st->relayResistance + extraOhms,
                         st->relayOffResistance, false);
}

void MatrixCard::changed() {
    lastSwitchNs_ = bench_.clock().nowNs();
}

void MatrixCard::setCrosspoint(int pin, int line, bool closed) {
    bool& state = crosspoints_[index(pin)][line];
    if (state == closed) {
        return;
    }
    bench_.beforeChange();
    relay("p" + std::to_string(pin) + ":" + Fold(kLineNames[line]), pinNet(pin), lineNet(line))
        .setClosed(closed);
    state = closed;
    allOpen_ = allOpen_ && !closed;
    pinsOnLine_[line] += closed ? 1 : -1;
    changed();
    applyCoupling(line);
}

void MatrixCard::setPinGround(int pin, bool closed) {
    bool& state = grounds_[index(pin)];
    if (state == closed) {
        return;
    }
    bench_.beforeChange();
    relay("p" + std::to_string(pin) + ":gnd", pinNet(pin), "0").setClosed(closed);
    state = closed;
    allOpen_ = allOpen_ && !closed;
    changed();
}

void MatrixCard::releasePin(int pin) {
    for (int line = 0; line < kLines; ++line) {
        setCrosspoint(pin, line, false);
    }
    setPinGround(pin, false);
}

// Runs for every line on every disconnect of the card: the relay's name is made once and its
// nodes only when the relay is made.
void MatrixCard::applyCoupling(int line) {
    const Station* st = bench_.station() ? bench_.station() : &DefaultStation();
    Switch& sw = relayNamed(
        couplingRelays_[static_cast<std::size_t>(line)],
        [&] { return std::pair(lineNet(line), systemLineNet(line)); }, st->busResistance);
    const bool closed = lineOnBus(line);
    if (sw.closed() != closed) {
        bench_.beforeChange();
        sw.setClosed(closed);
        changed();
    }
}

void MatrixCard::setCoupling(int line, bool closed) {
    couplings_[line] = closed;
    allOpen_ = allOpen_ && !closed;
    applyCoupling(line);
}

bool MatrixCard::lineOnBus(int line) const {
    return couplings_[line] || pinsOnLine_[line] > 0;
}

void MatrixCard::openAll() {
    if (allOpen_) {
        return;
    }
    for (int pin = 1; pin <= kPins; ++pin) {
        const auto& row = crosspoints_[index(pin)];
        if (grounds_[index(pin)] || std::find(row.begin(), row.end(), true) != row.end()) {
            releasePin(pin);
        }
    }
    for (int line = 0; line < kLines; ++line) {
        setCoupling(line, false);
    }
    allOpen_ = true;
}

} // namespace kora::vbench
