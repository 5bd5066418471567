#include <vbench/circuit/circuit.h>
#include <vbench/circuit/elements.h>
#include <vbench/circuit/member_list.h>
#include <vbench/circuit/semiconductors.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace kora::vbench {

namespace {

std::string Fold(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

const std::string kGroundName = "0";
// loadReal goes by offsets while the each-time elements write at most one value in so many.
constexpr std::size_t kByOffsetsShare = 4;

} // namespace

Circuit::Circuit() = default;
Circuit::~Circuit() = default;

int Circuit::node(const std::string& name) {
    std::string folded = Fold(name);
    if (IsGroundName(folded)) {
        return kGround;
    }
    auto it = nodeIndex_.find(folded);
    if (it != nodeIndex_.end()) {
        return it->second;
    }
    const int index = static_cast<int>(nodeNames_.size());
    nodeNames_.push_back(folded);
    nodeIndex_.emplace(std::move(folded), index);
    dirty_ = true;
    return index;
}

std::optional<int> Circuit::findNode(const std::string& name) const {
    std::string folded = Fold(name);
    if (IsGroundName(folded)) {
        return kGround;
    }
    auto it = nodeIndex_.find(folded);
    if (it == nodeIndex_.end()) {
        return std::nullopt;
    }
    return it->second;
}

const std::string& Circuit::nodeName(int index) const {
    return index < 0 ? kGroundName : nodeNames_.at(static_cast<std::size_t>(index));
}

void Circuit::insert(std::unique_ptr<Device> device) {
    if (byName_.count(device->name())) {
        throw std::invalid_argument("element '" + device->name() + "' exists already");
    }
    byName_[device->name()] = device.get();
    device->watchStamp(&stampChanged_);
    if (!dirty_ && device->joinsLater()) {
        joining_.push_back(device.get());
    } else {
        dirty_ = true;
    }
    // A bench adds its relays one by one over a run: the kinds known stay known.
    if (kindsKnown_) {
        hasNonlinear_ |= device->nonlinear();
        hasMemory_ |= device->hasMemory();
    }
    devices_.push_back(std::move(device));
}

Device* Circuit::find(const std::string& name) const {
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : it->second;
}

bool Circuit::remove(const std::string& name) {
    auto it = byName_.find(name);
    if (it == byName_.end()) {
        return false;
    }
    Device* d = it->second;
    byName_.erase(it);
    devices_.erase(std::find_if(devices_.begin(), devices_.end(),
                                [d](const auto& p) { return p.get() == d; }));
    // The system's requests point into the elements; none may outlive its element.
    system_.begin();
    dirty_ = true;
    kindsKnown_ = false;
    heldKnown_ = false;
    loadedEachTime_.clear();
    stampChanged_.clear();
    return true;
}

bool Circuit::hasNonlinear() const {
    if (!kindsKnown_) {
        hasNonlinear_ = std::any_of(devices_.begin(), devices_.end(),
                                    [](const auto& d) { return d->nonlinear(); });
        hasMemory_ = std::any_of(devices_.begin(), devices_.end(),
                                 [](const auto& d) { return d->hasMemory(); });
        kindsKnown_ = true;
    }
    return hasNonlinear_;
}

bool Circuit::hasMemory() const {
    hasNonlinear();
    return hasMemory_;
}

void Circuit::prepare() {
    if (!dirty_ && (joining_.empty() || join())) {
        return;
    }
    setUp();
}

bool Circuit::join() {
    int count = unknowns_;
    SetupContext setup(system_, count, isCurrent_, true);
    for (Device* d : joining_) {
        setUpDevice(d, setup);
        if (setup.failed()) {
            return false;
        }
        if (d->hasRegime()) {
            regimeDevices_.push_back(d);
        }
    }
    joining_.clear();
    return true;
}

void Circuit::setUp() {
    joining_.clear();
    const int nodes = nodeCount();
    int count = nodes;
    isCurrent_.assign(static_cast<std::size_t>(nodes), false);
    system_.begin();
    SetupContext setup(system_, count, isCurrent_);
    regimeDevices_.clear();
    for (auto& d : devices_) {
        setUpDevice(d.get(), setup);
        if (d->hasRegime()) {
            regimeDevices_.push_back(d.get());
        }
    }
    nodeDiagonal_.assign(static_cast<std::size_t>(nodes), 0);
    for (int i = 0; i < nodes; ++i) {
        system_.request(i, i, &nodeDiagonal_[static_cast<std::size_t>(i)]);
    }
    system_.finish(count);
    // Node voltages carry over as the starting point of the next solve; internal unknowns and
    // branch currents start from zero.
    std::vector<double> x(static_cast<std::size_t>(count) + 1, 0.0);
    const int keep = std::min(nodes, static_cast<int>(x_.size()) - 1);
    std::copy(x_.begin(), x_.begin() + std::max(keep, 0), x.begin());
    x_ = std::move(x);
    unknowns_ = count;
    solved_ = false;
    dirty_ = false;
    heldKnown_ = false;
    ++topologyVersion_;
}

void Circuit::setUpDevice(Device* d, SetupContext& setup) {
    Device::LoadSort& sort = d->loadSort();
    sort.firstRequest = system_.requestCount();
    d->setup(setup);
    sort.endRequest = system_.requestCount();
}

void Circuit::forgetHeld(double shunt) {
    held_.assign(system_.valueCount(), 0.0);
    for (int i = 0; i < nodeCount(); ++i) {
        held_[static_cast<std::size_t>(nodeDiagonal(i))] += shunt;
    }
    loadedEachTime_.clear();
    sorted_ = 0;
    stampChanged_.clear();
    heldKnown_ = true;
    heldShunt_ = shunt;
    heldLayout_ = system_.layoutVersion();
    eachTimeOffsets_.clear();
    dropped_.clear();
    offsetWriters_.assign(held_.size(), 0);
    offsetAt_.assign(held_.size(), -1);
    fullCopy_ = true;
}

void Circuit::countOffsets(Device* d, int by) {
    const Device::LoadSort& sort = d->loadSort();
    const std::size_t end =
        sort.firstRequest + std::min(sort.endRequest - sort.firstRequest, d->loadedRequests());
    for (std::size_t i = sort.firstRequest; i < end; ++i) {
        const int k = system_.requestedOffset(i);
        const int writers = offsetWriters_[static_cast<std::size_t>(k)] += by;
        if (SetMember(eachTimeOffsets_, offsetAt_, k, writers > 0) && writers == 0) {
            dropped_.push_back(k);
        }
    }
}

void Circuit::sortForLoad(Device* d, LoadContext& heldCtx, bool first) {
    Device::LoadSort& sort = d->loadSort();
    sort.kind = d->stampKind();
    if (sort.kind == Device::Stamp::Held) {
        d->load(heldCtx);
        fullCopy_ = true;
        return;
    }
    if (first && d->loadHeld(heldCtx)) {
        fullCopy_ = true;
    }
    if (sort.kind == Device::Stamp::Varying) {
        countOffsets(d, 1);
        auto at = std::lower_bound(
            loadedEachTime_.begin(), loadedEachTime_.end(), sort.order,
            [](Device* e, std::size_t order) { return e->loadSort().order < order; });
        loadedEachTime_.insert(at, d);
    }
}

void Circuit::loadReal(LoadContext& ctx, double shunt) {
    const std::size_t size = system_.valueCount();
    if (!heldKnown_ || heldShunt_ != shunt || heldLayout_ != system_.layoutVersion() ||
        held_.size() > size) {
        forgetHeld(shunt);
    }
    // Relays that joined since have added switched positions at the end.
    held_.resize(size, 0.0);
    offsetWriters_.resize(size, 0);
    offsetAt_.resize(size, -1);
    LoadContext heldCtx = ctx;
    heldCtx.a = held_.data();
    // Elements whose stamp changed: one that was held cannot be taken out of the sums exactly, so
    // the copy is made again; the others move between the each-time list and nowhere. Elements
    // added since the last call are sorted below as they are now.
    bool again = false;
    for (Device* d : stampChanged_) {
        const Device::LoadSort sort = d->loadSort();
        if (sort.order >= sorted_) {
            continue;
        }
        if (sort.kind == Device::Stamp::Held) {
            again = true;
            break;
        }
        if (sort.kind != d->stampKind()) {
            if (sort.kind == Device::Stamp::Varying) {
                countOffsets(d, -1);
                loadedEachTime_.erase(std::find(loadedEachTime_.begin(), loadedEachTime_.end(), d));
            }
            sortForLoad(d, heldCtx, false);
        }
    }
    stampChanged_.clear();
    if (again) {
        forgetHeld(shunt);
        heldCtx.a = held_.data();
    }
    for (; sorted_ < devices_.size(); ++sorted_) {
        Device* d = devices_[sorted_].get();
        d->loadSort().order = sorted_;
        sortForLoad(d, heldCtx, true);
    }
    // Only what the each-time elements write changes from one call to the next (and what they
    // wrote before, when one left the list): that much of the copy goes back into the matrix;
    // unless that is a good part of it anyway (a board's capacitors in a transient), when one
    // copy and one comparison of the whole cost less than going by offsets.
    if (fullCopy_ || eachTimeOffsets_.size() * kByOffsetsShare > held_.size()) {
        ctx.a = system_.realValues();
        std::copy(held_.begin(), held_.end(), ctx.a);
        fullCopy_ = false;
    } else {
        ctx.a = system_.realValuesChanging(eachTimeOffsets_);
        system_.realValuesChanging(dropped_);
        for (int k : eachTimeOffsets_) {
            ctx.a[k] = held_[static_cast<std::size_t>(k)];
        }
        for (int k : dropped_) {
            ctx.a[k] = held_[static_cast<std::size_t>(k)];
        }
    }
    dropped_.clear();
    for (Device* d : loadedEachTime_) {
        d->load(ctx);
    }
}

double Circuit::voltage(int node) const {
    if (node < 0 || node >= static_cast<int>(x_.size()) - 1) {
        return 0;
    }
    return x_[static_cast<std::size_t>(node)];
}

double Circuit::voltage(const std::string& name) const {
    auto index = findNode(name);
    return index ? voltage(*index) : 0;
}

void AddNetlist(Circuit& circuit, const Netlist& netlist, const std::string& prefix) {
    auto nodeOf = [&](const std::string& n) {
        return IsGroundName(n) ? kGround : circuit.node(prefix + n);
    };
    for (const Element& e : netlist.elements) {
        const std::string name = prefix + e.name;
        if (circuit.find(name)) {
            throw NetlistError(e.where, "element '" + name + "' exists already in the circuit");
        }
        std::vector<int> n;
        for (const auto& node : e.nodes) {
            n.push_back(nodeOf(node));
        }
        const Model* model = e.model.empty() ? nullptr : netlist.findModel(e.model);
        switch (e.kind) {
        case ElementKind::Resistor:
            circuit.add<Resistor>(name, n[0], n[1], e.value);
            break;
        case ElementKind::Capacitor:
            circuit.add<Capacitor>(name, n[0], n[1], e.value);
            break;
        case ElementKind::Inductor:
            circuit.add<Inductor>(name, n[0], n[1], e.value);
            break;
        case ElementKind::Diode:
            circuit.add<Diode>(name, n[0], n[1], DiodeParams::From(*model, e.area), e.off);
            break;
        case ElementKind::Bjt:
            circuit.add<Bjt>(name, n[0], n[1], n[2], BjtParams::From(*model, e.area), e.off);
            break;
        case ElementKind::Mosfet:
            circuit.add<Mosfet>(name, n[0], n[1], n[2], n[3], MosParams::From(*model, e.w, e.l));
            break;
        case ElementKind::Switch: {
            auto& sw = circuit.add<Switch>(name, n[0], n[1], model->get("RON", 1),
                                           model->get("ROFF", 1e12), e.initialOn);
            sw.setControl(n[2], n[3], model->get("VT", 0), model->get("VH", 0));
            break;
        }
        case ElementKind::Vccs:
            circuit.add<Vccs>(name, n[0], n[1], n[2], n[3], e.value);
            break;
        case ElementKind::VSource:
            circuit.add<Source>(name, n[0], n[1], Source::Mode::Voltage, e.source);
            break;
        case ElementKind::ISource:
            // SPICE's current flows from n+ through the source to n-: it leaves at n-.
            circuit.add<Source>(name, n[1], n[0], Source::Mode::Current, e.source);
            break;
        }
    }
}

} // namespace kora::vbench
