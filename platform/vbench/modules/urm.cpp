#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/module_registry.h>
#include <vbench/modules/urm.h>
#include <vbench/netlist/spice_number.h>

#include <algorithm>
#include <cctype>

namespace kora::vbench {

namespace {

constexpr const char* kContactPrefix = "contact";
constexpr const char* kResistanceKey = "contactresistance";
constexpr const char* kOperateTimeKey = "operatetime";

std::string Fold(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

} // namespace

UrmModule::UrmModule(VirtualBench& bench, std::string name)
    : bench_(&bench), name_(std::move(name)), circuit_(&bench.circuit()) {
    readContacts();
}

UrmModule::UrmModule(std::string name) : bench_(nullptr), name_(std::move(name)) {}

bool UrmModule::attachedTo(VirtualBench& bench) const {
    if (&bench != bench_ || circuit_ != &bench.circuit()) {
        return false;
    }
    // A new circuit may sit where the old one was: a contact of ours must still be in it.
    for (Switch* s : contacts_) {
        if (s) {
            return bench.circuit().find(s->name()) == s;
        }
    }
    return true;
}

void UrmModule::readContacts() {
    const Station* station = bench_->station();
    if (!station) {
        return;
    }
    const auto device =
        std::find_if(station->devices.begin(), station->devices.end(),
                     [&](const StationDevice& d) { return Fold(d.name) == Fold(name_); });
    if (device == station->devices.end()) {
        return;
    }
    const std::string where = "[device->" + device->name + "] ";
    auto number = [&](const std::string& key, const std::string& value, bool positive) {
        const auto v = ParseSpiceNumber(Trim(value));
        if (!v || *v < 0 || (positive && *v == 0)) {
            throw std::invalid_argument(where + key + " = '" + value + "' is not a usable number");
        }
        return *v;
    };
    struct Wanted {
        std::size_t place;
        std::string a, b, key;
    };
    std::vector<Wanted> wanted;
    const auto nets = station->board.nets();
    auto known = [&](const std::string& net) {
        return IsGroundName(net) || std::find(nets.begin(), nets.end(), net) != nets.end();
    };
    for (const auto& [key, value] : device->keys) {
        const std::string k = Fold(key);
        if (k == kResistanceKey) {
            contactOhms_ = number(key, value, true);
        } else if (k == kOperateTimeKey) {
            operateTime_ = number(key, value, false);
        } else if (k.rfind(kContactPrefix, 0) == 0) {
            const std::string bit = k.substr(std::string(kContactPrefix).size());
            const auto comma = value.find(',');
            const std::string a = Fold(Trim(value.substr(0, comma)));
            const std::string b =
                comma == std::string::npos ? "" : Fold(Trim(value.substr(comma + 1)));
            if (bit.size() != 2 || bit[0] < 'a' || bit[0] > 'd' || bit[1] < '0' || bit[1] > '7') {
                throw std::invalid_argument(where + key + ": a contact is Contact<A..D><0..7>");
            }
            if (a.empty() || b.empty() || a == b || !known(a) || !known(b)) {
                throw std::invalid_argument(where + key + " = '" + value +
                                            "' does not name two different nets of the board");
            }
            wanted.push_back({at(bit[0] - 'a', bit[1] - '0'), a, b, k});
        }
    }
    Circuit& c = bench_->circuit();
    for (const Wanted& w : wanted) {
        // Bench elements carry the module's name, so two modules never share one.
        contacts_[w.place] =
            &c.add<Switch>("vb:" + Fold(name_) + ":" + w.key, c.node(w.a), c.node(w.b),
                           contactOhms_, station->relayOffResistance, false);
    }
}

bool UrmModule::contactClosed(int bank, int bit) const {
    const Switch* s = contacts_[at(bank, bit)];
    return s && s->closed();
}

void UrmModule::setMode(int bank, int bit, int mode) {
    modes_[at(bank, bit)] = mode;
    follow(bank, bit);
}

void UrmModule::set(int bank, int bit, bool on) {
    states_[at(bank, bit)] = on;
    follow(bank, bit);
}

void UrmModule::reset() {
    const bool moves = std::any_of(contacts_.begin(), contacts_.end(),
                                   [](const Switch* s) { return s && s->closed(); });
    modes_.fill(kInput);
    states_.fill(false);
    if (!moves) {
        return;
    }
    bench_->clock().waitSeconds(operateTime_);
    bench_->beforeChange();
    for (Switch* s : contacts_) {
        if (s) {
            s->setClosed(false);
        }
    }
}

void UrmModule::follow(int bank, int bit) {
    Switch* s = contacts_[at(bank, bit)];
    const bool closed = modes_[at(bank, bit)] == kOutput && states_[at(bank, bit)];
    if (!s || s->closed() == closed) {
        return;
    }
    // The board sees the old contact until the armature has moved.
    bench_->clock().waitSeconds(operateTime_);
    bench_->beforeChange();
    s->setClosed(closed);
}

UrmModule& UrmOf(VirtualBench& bench, const std::string& name) {
    static ModuleRegistry<UrmModule> registry;
    std::lock_guard lock(bench.mutex());
    return registry.get(bench, name);
}

} // namespace kora::vbench
