#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/matrix_card.h>
#include <vbench/modules/module_registry.h>
#include <vbench/modules/routing.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <limits>

namespace kora::vbench {

namespace {

constexpr std::string_view kBlanks = " \t\r\n";
constexpr std::string_view kReserved = ",>|%?#$()";
constexpr std::string_view kSettle = "?#";
constexpr std::string_view kReset = "||";
constexpr std::string_view kDisconnectList = "%";
constexpr const char* kMatrixCardType = "SM160";
constexpr const char* kElementPrefix = "route:";

std::string Fold(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

// A point name: not empty, no blanks, none of the command characters.
bool IsPointName(std::string_view name) {
    return !name.empty() && name.find_first_of(kBlanks) == std::string_view::npos &&
           name.find_first_of(kReserved) == std::string_view::npos;
}

// The pin number of "CARD!Pn" (n 1..160) and the card, if the point is written so.
std::optional<std::pair<std::string, int>> MatrixPin(std::string_view point) {
    const auto bang = point.find('!');
    if (bang == std::string_view::npos || bang == 0) {
        return std::nullopt;
    }
    const std::string_view pin = point.substr(bang + 1);
    if (pin.size() < 2 || (pin[0] != 'P' && pin[0] != 'p') || pin.size() > 4) {
        return std::nullopt;
    }
    int n = 0;
    for (char c : pin.substr(1)) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > MatrixCard::kPins) {
        return std::nullopt;
    }
    return std::make_pair(std::string(point.substr(0, bang)), n);
}

const StationDevice* DeviceNamed(const Station& station, std::string_view name) {
    const std::string folded = Fold(name);
    for (const auto& d : station.devices) {
        if (Fold(d.name) == folded) {
            return &d;
        }
    }
    return nullptr;
}

} // namespace

// ---- RoutingTable ---------------------------------------------------------------------------

int RoutingTable::addPoint(const std::string& name) {
    const auto [it, added] = pointIndex_.emplace(Fold(name), static_cast<int>(points_.size()));
    if (added) {
        points_.push_back(name);
        adjacency_.emplace_back();
    }
    return it->second;
}

std::optional<RoutingTable>
RoutingTable::FromKeys(const std::vector<std::pair<std::string, std::string>>& keys,
                       std::string* problem) {
    RoutingTable t;
    for (const auto& [key, value] : keys) {
        const std::string relay(Trim(key));
        const auto comma = value.find(',');
        const std::string_view a = Trim(std::string_view(value).substr(0, comma));
        const std::string_view b = comma == std::string::npos
                                       ? std::string_view()
                                       : Trim(std::string_view(value).substr(comma + 1));
        if (!IsPointName(relay)) {
            *problem = "relay name '" + relay + "' (no blanks or , > | % ? # $ ( ) in names)";
            return std::nullopt;
        }
        if (!IsPointName(a) || !IsPointName(b)) {
            *problem =
                relay + " = " + value + " (a relay joins two points: RELAY = POINT_A, POINT_B)";
            return std::nullopt;
        }
        if (Fold(a) == Fold(b)) {
            *problem = relay + " = " + value + " (a relay joins two different points)";
            return std::nullopt;
        }
        if (!t.relayIndex_.emplace(Fold(relay), static_cast<int>(t.relays_.size())).second) {
            *problem = "relay " + relay + " is listed twice";
            return std::nullopt;
        }
        Relay r;
        r.name = relay;
        r.a = t.addPoint(std::string(a));
        r.b = t.addPoint(std::string(b));
        t.adjacency_[static_cast<std::size_t>(r.a)].push_back(static_cast<int>(t.relays_.size()));
        t.adjacency_[static_cast<std::size_t>(r.b)].push_back(static_cast<int>(t.relays_.size()));
        t.relays_.push_back(std::move(r));
    }
    return t;
}

std::optional<int> RoutingTable::point(std::string_view name) const {
    auto it = pointIndex_.find(Fold(name));
    return it == pointIndex_.end() ? std::nullopt : std::optional<int>(it->second);
}

std::optional<int> RoutingTable::relay(std::string_view name) const {
    auto it = relayIndex_.find(Fold(name));
    return it == relayIndex_.end() ? std::nullopt : std::optional<int>(it->second);
}

// ---- RoutingModel ---------------------------------------------------------------------------

struct RoutingModel::Item {
    enum class Kind { Nothing, DisconnectList, Settle, Reset, Connect, Disconnect, Isolate };
    Kind kind = Kind::Nothing;
    std::string text;   // the item as written (trimmed)
    std::string nameA;  // as written
    std::string nameB;  // as written
    int a = -1, b = -1; // resolved points
    bool namesPoints() const {
        return kind == Kind::Connect || kind == Kind::Disconnect || kind == Kind::Isolate;
    }
};

RoutingModel::RoutingModel(VirtualBench& bench, std::string name)
    : bench_(&bench), name_(std::move(name)), circuit_(&bench.circuit()),
      lastSwitchNs_(std::numeric_limits<int64_t>::min() / 2) {}

RoutingModel::RoutingModel(std::string name)
    : name_(std::move(name)), lastSwitchNs_(std::numeric_limits<int64_t>::min() / 2) {}

bool RoutingModel::attachedTo(VirtualBench& bench) const {
    if (&bench != bench_ || circuit_ != &bench.circuit()) {
        return false;
    }
    // A circuit that replaced ours at the same address no longer holds our switches.
    for (std::size_t i = 0; i < switches_.size(); ++i) {
        if (switches_[i]) {
            return bench.circuit().find(kElementPrefix + Fold(name_) + ":" +
                                        Fold(table_.relays()[i].name)) == switches_[i];
        }
    }
    return true;
}

void RoutingModel::configure(const RoutingTable& table) {
    if (table == table_ && holds_.size() == table.relays().size()) {
        return;
    }
    for (std::size_t i = 0; i < switches_.size(); ++i) {
        if (switches_[i] && switches_[i]->closed()) {
            setRelay(static_cast<int>(i), false);
        }
    }
    // Switches of relays of the old table stay in the circuit, open; a relay of the same name
    // finds its switch again when it first closes.
    table_ = table;
    holds_.assign(table_.relays().size(), 0);
    switches_.assign(table_.relays().size(), nullptr);
    connections_.clear();
}

std::string RoutingModel::netOf(int point) const {
    const std::string& name = table_.points()[static_cast<std::size_t>(point)];
    const Station* station = bench_ ? bench_->station() : nullptr;
    if (station) {
        if (auto pin = MatrixPin(name)) {
            if (auto net = station->netOf(pin->first, pin->second)) {
                return *net;
            }
            const StationDevice* d = DeviceNamed(*station, pin->first);
            if (d && Fold(d->type) == Fold(kMatrixCardType)) {
                return bench_->matrixCard(d->name).pinNet(pin->second);
            }
        }
    }
    return Fold(name);
}

bool RoutingModel::isTerminal(int point) const {
    const Station* station = bench_ ? bench_->station() : nullptr;
    if (!station) {
        return false;
    }
    const std::string& name = table_.points()[static_cast<std::size_t>(point)];
    const auto bang = name.find('!');
    return bang != std::string::npos && DeviceNamed(*station, name.substr(0, bang)) != nullptr;
}

bool RoutingModel::parse(std::string_view text, const ChannelAliases& aliases,
                         std::vector<Item>* items, RoutingOutcome* out) const {
    std::vector<std::string> unknown;
    auto resolve = [&](const std::string& written) -> int {
        if (auto p = table_.point(written)) {
            return *p;
        }
        auto alias = aliases.find(Fold(written));
        if (alias != aliases.end()) {
            if (auto p = table_.point(alias->second)) {
                return *p;
            }
            unknown.push_back("'" + written + "' (" + alias->second + ")");
        } else {
            unknown.push_back("'" + written + "'");
        }
        return -1;
    };
    auto syntax = [&](const std::string& item, const char* why) {
        out->failure = RoutingOutcome::Failure::Syntax;
        out->problem = "'" + item + "' (" + why + ")";
        return false;
    };
    std::size_t start = 0;
    for (bool first = true;; first = false) {
        const auto comma = text.find(',', start);
        Item item;
        item.text = std::string(Trim(text.substr(start, comma - start)));
        const std::string& t = item.text;
        const auto gt = t.find('>');
        const auto bar = t.find('|');
        if (t.empty()) {
            item.kind = Item::Kind::Nothing;
        } else if (t == kDisconnectList) {
            if (!first) {
                return syntax(t, "'%' only as the first item");
            }
            item.kind = Item::Kind::DisconnectList;
        } else if (t == kSettle) {
            item.kind = Item::Kind::Settle;
        } else if (t == kReset) {
            item.kind = Item::Kind::Reset;
        } else if (gt != std::string::npos) {
            if (!items->empty() && items->front().kind == Item::Kind::DisconnectList) {
                return syntax(t, "a list that begins with '%' only disconnects");
            }
            item.kind = Item::Kind::Connect;
            item.nameA = std::string(Trim(std::string_view(t).substr(0, gt)));
            item.nameB = std::string(Trim(std::string_view(t).substr(gt + 1)));
            if (!IsPointName(item.nameA) || !IsPointName(item.nameB)) {
                return syntax(t, "a connection is POINT>POINT");
            }
        } else if (bar != std::string::npos && t.size() > 2 && t.ends_with(kReset) &&
                   bar == t.size() - 2) {
            item.kind = Item::Kind::Isolate;
            item.nameA = std::string(Trim(std::string_view(t).substr(0, bar)));
            if (!IsPointName(item.nameA)) {
                return syntax(t, "disconnecting a point from everything is POINT||");
            }
        } else if (bar != std::string::npos) {
            item.kind = Item::Kind::Disconnect;
            item.nameA = std::string(Trim(std::string_view(t).substr(0, bar)));
            item.nameB = std::string(Trim(std::string_view(t).substr(bar + 1)));
            if (!IsPointName(item.nameA) || !IsPointName(item.nameB)) {
                return syntax(t, "a disconnection is POINT|POINT or POINT||");
            }
        } else {
            return syntax(t, "not a routing command");
        }
        if (!item.nameA.empty()) {
            item.a = resolve(item.nameA);
        }
        if (!item.nameB.empty()) {
            item.b = resolve(item.nameB);
        }
        items->push_back(std::move(item));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    if (!unknown.empty()) {
        out->failure = RoutingOutcome::Failure::UnknownPoint;
        for (std::size_t i = 0; i < unknown.size(); ++i) {
            out->problem += (i ? ", " : "") + unknown[i];
        }
        out->problem += " (not a point of routing table " + name_ + ")";
        return false;
    }
    return true;
}

// The group of each point: the smallest point index joined to it by closed relays.
std::vector<int> RoutingModel::components() const {
    std::vector<int> group(table_.points().size());
    for (std::size_t i = 0; i < group.size(); ++i) {
        group[i] = static_cast<int>(i);
    }
    auto root = [&](int p) {
        while (group[static_cast<std::size_t>(p)] != p) {
            p = group[static_cast<std::size_t>(p)];
        }
        return p;
    };
    for (std::size_t r = 0; r < table_.relays().size(); ++r) {
        if (holds_[r] > 0) {
            const int x = root(table_.relays()[r].a), y = root(table_.relays()[r].b);
            group[static_cast<std::size_t>(std::max(x, y))] = std::min(x, y);
        }
    }
    for (std::size_t i = 0; i < group.size(); ++i) {
        group[i] = root(static_cast<int>(i));
    }
    return group;
}

std::optional<RoutingModel::Path> RoutingModel::findPath(int from, int to, bool avoidBusy) const {
    const std::vector<int> group = components();
    std::vector<bool> touched(table_.points().size(), false); // a closed relay touches it
    for (std::size_t r = 0; r < table_.relays().size(); ++r) {
        if (holds_[r] > 0) {
            touched[static_cast<std::size_t>(table_.relays()[r].a)] = true;
            touched[static_cast<std::size_t>(table_.relays()[r].b)] = true;
        }
    }
    const int groupA = group[static_cast<std::size_t>(from)];
    const int groupB = group[static_cast<std::size_t>(to)];
    auto passable = [&](int p) {
        if (isTerminal(p)) {
            return false;
        }
        if (!avoidBusy || !touched[static_cast<std::size_t>(p)]) {
            return true;
        }
        const int g = group[static_cast<std::size_t>(p)];
        return g == groupA || g == groupB;
    };
    std::vector<int> via(table_.points().size(), -2); // relay that reached the point
    via[static_cast<std::size_t>(from)] = -1;
    std::deque<int> queue{from};
    while (!queue.empty()) {
        const int p = queue.front();
        queue.pop_front();
        if (p == to) {
            break;
        }
        if (p != from && !passable(p)) {
            continue;
        }
        for (int r : table_.relaysAt(p)) {
            const auto& relay = table_.relays()[static_cast<std::size_t>(r)];
            const int q = relay.a == p ? relay.b : relay.a;
            if (via[static_cast<std::size_t>(q)] == -2) {
                via[static_cast<std::size_t>(q)] = r;
                queue.push_back(q);
            }
        }
    }
    if (via[static_cast<std::size_t>(to)] == -2) {
        return std::nullopt;
    }
    Path path;
    for (int p = to; p != from;) {
        const int r = via[static_cast<std::size_t>(p)];
        const auto& relay = table_.relays()[static_cast<std::size_t>(r)];
        path.points.push_back(p);
        path.relays.push_back(r);
        p = relay.a == p ? relay.b : relay.a;
    }
    path.points.push_back(from);
    std::reverse(path.points.begin(), path.points.end());
    std::reverse(path.relays.begin(), path.relays.end());
    return path;
}

void RoutingModel::setRelay(int relay, bool closed) {
    const auto r = static_cast<std::size_t>(relay);
    Switch* sw = switches_[r];
    if (bench_ && !sw && closed) {
        const auto& t = table_.relays()[r];
        const std::string a = netOf(t.a), b = netOf(t.b);
        Circuit& c = bench_->circuit();
        if (Fold(a) != Fold(b)) { // the wiring may put both points on one net already
            const std::string element = kElementPrefix + Fold(name_) + ":" + Fold(t.name);
            sw = c.findAs<Switch>(element);
            if (!sw) {
                const Station defaults;
                const Station* st = bench_->station() ? bench_->station() : &defaults;
                sw = &c.add<Switch>(element, c.node(a), c.node(b), st->relayResistance,
                                    st->relayOffResistance, false);
            }
            switches_[r] = sw;
        }
    }
    if (bench_) {
        bench_->beforeChange();
        lastSwitchNs_ = bench_->clock().nowNs();
    }
    if (sw) {
        sw->setClosed(closed);
    }
}

void RoutingModel::hold(const std::vector<int>& relays, int delta, RoutingOutcome* out) {
    for (int r : relays) {
        int& n = holds_[static_cast<std::size_t>(r)];
        const bool before = n > 0;
        n += delta;
        if ((n > 0) != before) {
            setRelay(r, n > 0);
            ++out->switched;
        }
    }
}

void RoutingModel::connect(const Item& item, RoutingOutcome* out) {
    ++out->connections;
    if (item.a == item.b || components()[static_cast<std::size_t>(item.a)] ==
                                components()[static_cast<std::size_t>(item.b)]) {
        out->alreadyConnected.push_back(item.text);
        return;
    }
    std::optional<Path> path = findPath(item.a, item.b, true);
    if (!path) {
        (findPath(item.a, item.b, false) ? out->busy : out->unreachable) += 1;
        out->failed.push_back(item.nameA + " > " + item.nameB);
        return;
    }
    hold(path->relays, +1, out);
    connections_.push_back(Connection{item.a, item.b, path->points, path->relays});
}

template <typename Pick> int RoutingModel::undo(Pick&& pick, RoutingOutcome* out) {
    int undone = 0;
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (pick(*it)) {
            hold(it->relays, -1, out);
            it = connections_.erase(it);
            ++undone;
        } else {
            ++it;
        }
    }
    return undone;
}

void RoutingModel::settle(RoutingOutcome* out) {
    if (!bench_) {
        return;
    }
    const Station defaults;
    const Station* st = bench_->station() ? bench_->station() : &defaults;
    const int64_t settled = lastSwitchNs_ + static_cast<int64_t>(st->debounceTime * 1e9 + 0.5);
    const int64_t now = bench_->clock().nowNs();
    if (settled > now) {
        bench_->clock().wait(settled - now);
        out->waited += static_cast<double>(settled - now) * 1e-9;
    }
}

RoutingOutcome RoutingModel::execute(std::string_view text, const ChannelAliases& aliases) {
    RoutingOutcome out;
    std::vector<Item> items;
    if (!parse(text, aliases, &items, &out)) {
        return out;
    }
    const bool disconnectAll =
        !items.empty() && items.front().kind == Item::Kind::DisconnectList &&
        std::none_of(items.begin(), items.end(), [](const Item& i) { return i.namesPoints(); });
    auto everything = [](const Connection&) { return true; };
    for (const Item& item : items) {
        switch (item.kind) {
        case Item::Kind::Nothing:
            break;
        case Item::Kind::DisconnectList:
            if (disconnectAll) {
                undo(everything, &out);
            }
            break;
        case Item::Kind::Reset:
            undo(everything, &out);
            break;
        case Item::Kind::Settle:
            settle(&out);
            break;
        case Item::Kind::Connect:
            connect(item, &out);
            break;
        case Item::Kind::Disconnect: {
            const int a = item.a, b = item.b;
            if (!undo(
                    [&](const Connection& c) {
                        return (c.a == a && c.b == b) || (c.a == b && c.b == a);
                    },
                    &out)) {
                out.notConnected.push_back(item.text);
            }
            break;
        }
        case Item::Kind::Isolate: {
            const int a = item.a;
            if (!undo(
                    [&](const Connection& c) {
                        return std::find(c.points.begin(), c.points.end(), a) != c.points.end();
                    },
                    &out)) {
                out.notConnected.push_back(item.text);
            }
            break;
        }
        }
    }
    if (!out.failed.empty()) {
        out.failure = RoutingOutcome::Failure::Connection;
    }
    return out;
}

std::string RoutingModel::display() const {
    const std::vector<int> group = components();
    const auto& points = table_.points();
    const auto& relays = table_.relays();
    // Groups in the order of their oldest connection.
    std::vector<int> order;
    for (const Connection& c : connections_) {
        const int g = group[static_cast<std::size_t>(c.a)];
        if (std::find(order.begin(), order.end(), g) == order.end()) {
            order.push_back(g);
        }
    }
    std::string text;
    auto line = [&](int indent, const std::string& entry) {
        if (!text.empty()) {
            text += '\n';
        }
        text.append(static_cast<std::size_t>(indent), ' ');
        text += entry;
    };
    int number = 0;
    for (int g : order) {
        std::vector<const Connection*> members;
        std::vector<int> named; // points the group's connections name, in order
        for (const Connection& c : connections_) {
            if (group[static_cast<std::size_t>(c.a)] != g) {
                continue;
            }
            members.push_back(&c);
            for (int p : {c.a, c.b}) {
                if (std::find(named.begin(), named.end(), p) == named.end()) {
                    named.push_back(p);
                }
            }
        }
        std::string head = "$G" + std::to_string(++number) + " (";
        for (std::size_t i = 0; i < named.size(); ++i) {
            head += (i ? " " : "") + points[static_cast<std::size_t>(named[i])];
        }
        line(0, head + ")");
        std::vector<int> firsts;
        for (const Connection* c : members) {
            if (std::find(firsts.begin(), firsts.end(), c->a) != firsts.end()) {
                continue;
            }
            firsts.push_back(c->a);
            line(0, points[static_cast<std::size_t>(c->a)] + " (" + netOf(c->a) + ")");
            for (const Connection* d : members) {
                if (d->a != c->a) {
                    continue;
                }
                line(8, points[static_cast<std::size_t>(d->b)] + " (" + netOf(d->b) + ")");
                for (std::size_t i = 0; i < d->relays.size(); ++i) {
                    const auto& r = relays[static_cast<std::size_t>(d->relays[i])];
                    line(16, r.name + " (" + points[static_cast<std::size_t>(d->points[i])] + "-" +
                                 points[static_cast<std::size_t>(d->points[i + 1])] + ") O");
                }
            }
        }
    }
    return text;
}

RoutingModel& RoutingOf(VirtualBench& bench, const std::string& table) {
    static ModuleRegistry<RoutingModel> registry;
    return registry.get(bench, table);
}

} // namespace kora::vbench
