// A circuit: named nodes, the elements between them, the MNA system they stamp into, and the
// solution and time that the analyses leave behind. Elements come from a board netlist
// (AddNetlist) and from the bench (relays, bus lines, instrument terminals), which adds, finds and
// removes them by name. Adding or removing an element changes the topology: the next analysis
// sets the matrix up again, except for elements that can join a set-up matrix (relays), so that a
// bench creating its relays as they are first used keeps its factorisation. Changing values (a
// relay closing, a source level) does not; an element whose stamp changes tells the circuit
// (Device::stampChanged), which keeps the stamps that stay the same loaded between solves.
#pragma once

#include <vbench/circuit/device.h>
#include <vbench/circuit/mna.h>
#include <vbench/netlist/netlist.h>

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace kora::vbench {

class Circuit {
  public:
    Circuit();
    ~Circuit();
    Circuit(const Circuit&) = delete;
    Circuit& operator=(const Circuit&) = delete;

    // Index of the named node, created when new; "0" and "gnd" (any case) are ground.
    int node(const std::string& name);
    std::optional<int> findNode(const std::string& name) const;
    const std::string& nodeName(int index) const;
    int nodeCount() const { return static_cast<int>(nodeNames_.size()); }

    // Adds an element; its name must be new.
    template <typename T, typename... Args> T& add(Args&&... args) {
        auto device = std::make_unique<T>(std::forward<Args>(args)...);
        T& ref = *device;
        insert(std::move(device));
        return ref;
    }
    Device* find(const std::string& name) const;
    template <typename T> T* findAs(const std::string& name) const {
        return dynamic_cast<T*>(find(name));
    }
    bool remove(const std::string& name);
    const std::vector<std::unique_ptr<Device>>& devices() const { return devices_; }
    bool hasNonlinear() const;
    bool hasMemory() const;
    // An element's nonlinear() or hasMemory() answer changed: taken again at the next question,
    // without a new topology.
    void kindsChanged() { kindsKnown_ = false; }

    // Sets the topology up when it changed; afterwards unknowns() and the slots are valid.
    void prepare();
    MnaSystem& system() { return system_; }
    int unknowns() const { return unknowns_; }
    // Whether unknown i is a branch current (else a node voltage).
    bool isCurrent(int i) const { return isCurrent_[static_cast<std::size_t>(i)]; }
    // Slot of the diagonal of node i, for conductances from every node to ground.
    int nodeDiagonal(int i) const { return nodeDiagonal_[static_cast<std::size_t>(i)]; }
    // The elements whose updateRegime can change their state, as of the last setup.
    const std::vector<Device*>& regimeDevices() const { return regimeDevices_; }
    // Loads the real matrix at ctx.x into system().realValues() and the right-hand side into
    // ctx.b (cleared by the caller), with `shunt` from every node to ground. The elements with a
    // held stamp (a board's resistors) and the shunts stay loaded in a copy from one call to the
    // next: a large board's solve after a relay change loads the relays and sources alone.
    void loadReal(LoadContext& ctx, double shunt);
    // Incremented at every new setup.
    unsigned topologyVersion() const { return topologyVersion_; }

    // The last solution: unknowns() + 1 entries, the last being ground (0).
    std::vector<double>& solution() { return x_; }
    const std::vector<double>& solution() const { return x_; }
    double voltage(int node) const;
    double voltage(const std::string& node) const; // 0 for an unknown name
    bool solved() const { return solved_; }
    void setSolved(bool solved) { solved_ = solved; }

    // Time of the last transient point (seconds).
    double time() const { return time_; }
    void setTime(double t) { time_ = t; }
    // Whether element memory (capacitor charge, inductor current) has been started.
    bool stateStarted() const { return stateStarted_; }
    void setStateStarted(bool on) { stateStarted_ = on; }

  private:
    void insert(std::unique_ptr<Device> device);
    void setUp();
    // Lets the elements added since the last setup join its matrix; false when one cannot.
    bool join();

    std::vector<std::string> nodeNames_;
    std::unordered_map<std::string, int> nodeIndex_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::unordered_map<std::string, Device*> byName_;
    MnaSystem system_;
    bool dirty_ = true;
    mutable bool kindsKnown_ = false; // hasNonlinear_ and hasMemory_ are up to date
    mutable bool hasNonlinear_ = false;
    mutable bool hasMemory_ = false;
    int unknowns_ = 0;
    std::vector<bool> isCurrent_;
    std::vector<int> nodeDiagonal_;
    std::vector<Device*> regimeDevices_;
    unsigned topologyVersion_ = 0;
    std::vector<Device*> joining_; // added since the last setup, to join without a new one
    // Sets an element up and notes the matrix positions it asked for.
    void setUpDevice(Device* d, SetupContext& setup);
    // Starts loadReal's copy afresh.
    void forgetHeld(double shunt);
    // Sorts an element into the copy, the each-time list or neither, by its stamp; `first` when
    // the copy has not met it yet, so that its held part goes in.
    void sortForLoad(Device* d, LoadContext& heldCtx, bool first);
    // loadReal's copy: the held stamps and the shunts, the elements loaded at every call (in the
    // order they were added, so that the same elements give the same sums), how many elements
    // are sorted, the elements whose stamp changed since, and what the copy was made for.
    std::vector<double> held_;
    std::vector<Device*> loadedEachTime_;
    // Adds or takes away an each-time element's offsets.
    void countOffsets(Device* d, int by);
    // The offsets the each-time elements write, each once, with the number of them writing each
    // and its place in the list; the offsets no longer written since the last call; and whether
    // the whole copy must reach the matrix at the next call.
    std::vector<int> eachTimeOffsets_, dropped_;
    std::vector<int> offsetWriters_, offsetAt_;
    bool fullCopy_ = true;
    std::size_t sorted_ = 0;
    std::vector<Device*> stampChanged_;
    bool heldKnown_ = false;
    double heldShunt_ = 0;
    unsigned heldLayout_ = 0;
    std::vector<double> x_{0.0};
    bool solved_ = false;
    double time_ = 0;
    bool stateStarted_ = false;
};

// Adds the elements of a netlist; element and node names get `prefix` in front (nodes only when
// not ground). Throws NetlistError when an element name is taken already.
void AddNetlist(Circuit& circuit, const Netlist& netlist, const std::string& prefix = "");

} // namespace kora::vbench
