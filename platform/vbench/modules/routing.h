// The switching system behind the ROUTE class library: routing points joined by relays, the
// connections made between points, and the relays as switches of the bench's circuit.
//
// Routing table. A section of the software configuration (named by the bench section's key
// "RoutingTable") lists the relays, one key per relay:
//     [ROUTING_LINE]
//     K_HI_L1 = DMM_A!HI, RBUS!L1
//     K_L1_P1 = RBUS!L1, MATRIX_A7!P1
// Every relay joins exactly two different points; relay names are unique (without regard to
// case). Points are written as physical channel names "DEVICE!PIN" (any text without blanks and
// without the characters , > | % ? # $ ( ) will do) and match without regard to case; the table's
// spelling of a point's first appearance is the one the display shows.
//
// Terminals and internal points. A point whose device part (the text before "!") names a device
// of the station ([device->NAME] of the physical layer file) is a terminal: an instrument
// terminal or a matrix card pin. Any other point (a bus line of the switching system such as
// RBUS!L1, a junction) is internal. A path may start or end at a terminal but never passes
// through one, so no connection ever runs through a net of the board or another instrument.
//
// Command language. A routing text is a comma list of items (blanks around names are ignored):
//     A>B     connect A and B: close the relays of the shortest path (fewest relays, breadth
//             first over the table in its order) from A to B. The path may pass only through
//             internal points that are free (no closed relay touches them) or already joined to
//             A or B; a point joined to anything else is busy. A path that exists only through
//             busy points is a conflict; no path at all makes the connection impossible.
//             Relays that are closed already may be part of the path.
//     A|B     disconnect A and B: undo the connection "A>B" (or "B>A"): its relays open unless
//             another connection still holds them.
//     A||     disconnect A from everything: undo every connection whose path touches A.
//     ||      reset: undo every connection, every relay opens.
//     %       as the first item: a disconnect list. Followed by disconnections ("%,A||,B||")
//             it does what they say; followed by nothing else (or only "?#" and "||": "%",
//             "%,?#", "%,||") it disconnects everything. A connection in such a list is refused.
//     ?#      wait until the switches have settled: the clock advances to the station's
//             DebounceTime after the last relay change (at once when that has passed). ">" and
//             "|" switch without waiting.
//     (empty) an empty item does nothing ("%," is "%").
// A point may be named by its physical name or by an application channel name of the bench
// (resolved through the aliases the caller passes); physical names are tried first.
//
// Execution. The whole text is parsed and every name resolved before anything switches: a
// syntax error or an unknown point refuses the list and leaves every relay as it was. Then the
// items run in order. A connection that is impossible or in conflict is skipped and listed; the
// items before and after it are carried out and stay in effect (the caller's post-routing or a
// "%" undoes them). Harmless oddities are listed as warnings: disconnecting points that are not
// connected, connecting points that are joined already.
//
// Circuit. Each point is a net: a pin "CARD!Pn" of a matrix card that the fixture wires is the
// board net it reaches, an unwired pin of a matrix card of the station is the card's own pin node,
// and any other point is the net of its folded text ("DMM_A!HI" is net "dmm_a!hi", as the
// instrument models name their terminals). A relay is a switch between the nets of its points,
// added to the circuit the first time it closes (and kept, open, afterwards) with the station's
// RelayResistance closed and RelayOffResistance open. Every change first brings the circuit up to
// the clock (VirtualBench::beforeChange).
//
// Display. One group per set of points joined by closed relays, in the order of their oldest
// connection; lines are separated by "\n" (no line feed after the last). A group line starts
// with "$": "$G<n> (<points of the group's connections>)". Under it, entries "name (path)
// flags" on three levels of indentation (0, 8 and 16 blanks):
//     level 1   the first point of a connection ("A" of "A>B"), path = the net it reaches
//     level 2   the point connected to it, path = its net
//     level 3   each relay of that connection's path from A to B, path = "P-Q" (the points it
//               joins), flag "O" (closed)
// Points carry no flags. After "DMM_A!HI>MATRIX_A7!P1,DMM_A!LO>MATRIX_A7!P3":
//     $G1 (DMM_A!HI MATRIX_A7!P1)
//     DMM_A!HI (dmm_a!hi)
//             MATRIX_A7!P1 (vcc)
//                     K_HI_L1 (DMM_A!HI-RBUS!L1) O
//                     K_L1_P1 (RBUS!L1-MATRIX_A7!P1) O
//     $G2 (DMM_A!LO MATRIX_A7!P3)
//     DMM_A!LO (dmm_a!lo)
//             MATRIX_A7!P3 (0)
//                     K_LO_L2 (DMM_A!LO-RBUS!L2) O
//                     K_L2_P3 (RBUS!L2-MATRIX_A7!P3) O
// Nothing connected: the display is empty. Disconnecting every level-1 point ("A||") clears it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kora::vbench {

class Switch;
class VirtualBench;

// The relays of a routing table and the points they join.
class RoutingTable {
  public:
    struct Relay {
        std::string name; // as written
        int a = 0, b = 0; // point indices
        bool operator==(const Relay&) const = default;
    };

    // The table from the keys of its section, in file order. Nothing, with the reason in
    // *problem, for a key that does not name two different points or a relay named twice.
    static std::optional<RoutingTable>
    FromKeys(const std::vector<std::pair<std::string, std::string>>& keys, std::string* problem);

    const std::vector<std::string>& points() const { return points_; }
    const std::vector<Relay>& relays() const { return relays_; }
    // The relays that touch a point, in table order.
    const std::vector<int>& relaysAt(int point) const {
        return adjacency_[static_cast<std::size_t>(point)];
    }
    std::optional<int> point(std::string_view name) const;
    std::optional<int> relay(std::string_view name) const;

    bool operator==(const RoutingTable& other) const {
        return points_ == other.points_ && relays_ == other.relays_;
    }

  private:
    int addPoint(const std::string& name);

    std::vector<std::string> points_;
    std::vector<Relay> relays_;
    std::vector<std::vector<int>> adjacency_;
    std::map<std::string, int> pointIndex_; // folded name
    std::map<std::string, int> relayIndex_; // folded name
};

// Application channel names of a bench: folded name -> physical point name.
using ChannelAliases = std::map<std::string, std::string>;

// What a routing text did.
struct RoutingOutcome {
    enum class Failure {
        None,
        Syntax,       // an item of the text is no command (detail in `problem`)
        UnknownPoint, // a name is no point of the table (names in `problem`)
        Connection,   // connections could not be made (`failed`)
    };
    Failure failure = Failure::None;
    std::string problem;
    std::vector<std::string> failed; // "A > B", the names as written, one per failed connection
    int busy = 0;                    // of them: blocked by points joined to something else
    int unreachable = 0;             // of them: no path in the table at all
    int connections = 0;             // connect items in the text
    std::vector<std::string> notConnected;     // disconnect items that found nothing to undo
    std::vector<std::string> alreadyConnected; // connect items whose points were joined already
    int switched = 0;                          // relays that changed
    double waited = 0;                         // seconds "?#" let pass
};

class RoutingModel {
  public:
    // The switching system of a routing table section on a bench.
    RoutingModel(VirtualBench& bench, std::string name);
    // The same without a bench: connections are kept, nothing reaches a circuit or a clock.
    explicit RoutingModel(std::string name);
    RoutingModel(const RoutingModel&) = delete;
    RoutingModel& operator=(const RoutingModel&) = delete;

    const std::string& name() const { return name_; }
    bool attachedTo(VirtualBench& bench) const;

    // Takes the table. When it differs from the one in use, every relay opens first.
    void configure(const RoutingTable& table);
    const RoutingTable& table() const { return table_; }

    // Executes a routing text (see above).
    RoutingOutcome execute(std::string_view text, const ChannelAliases& aliases);
    // The display of the present connections (see above).
    std::string display() const;

    bool relayClosed(int relay) const { return holds_[static_cast<std::size_t>(relay)] > 0; }
    // The net a point reaches.
    std::string netOf(int point) const;
    // Clock time of the last relay change (very early when none changed yet).
    int64_t lastSwitchNs() const { return lastSwitchNs_; }

  private:
    struct Connection {
        int a = 0, b = 0;
        std::vector<int> points; // the path from a to b
        std::vector<int> relays; // relays[i] joins points[i] and points[i + 1]
    };
    struct Path {
        std::vector<int> points, relays;
    };
    struct Item;

    bool parse(std::string_view text, const ChannelAliases& aliases, std::vector<Item>* items,
               RoutingOutcome* out) const;
    std::vector<int> components() const;
    bool isTerminal(int point) const;
    std::optional<Path> findPath(int from, int to, bool avoidBusy) const;
    void connect(const Item& item, RoutingOutcome* out);
    // Undoes the connections for which `pick` is true; returns how many.
    template <typename Pick> int undo(Pick&& pick, RoutingOutcome* out);
    void hold(const std::vector<int>& relays, int delta, RoutingOutcome* out);
    void setRelay(int relay, bool closed);
    void settle(RoutingOutcome* out);

    VirtualBench* bench_ = nullptr;
    std::string name_;
    RoutingTable table_;
    std::vector<int> holds_; // per relay: connections whose path uses it
    std::vector<Connection> connections_;
    std::vector<Switch*> switches_; // per relay, once added to the circuit
    const void* circuit_ = nullptr; // the circuit the switches belong to
    int64_t lastSwitchNs_;
};

// The switching system of the routing table section `table` on a bench, created on first use
// with every relay open (names match without regard to case).
RoutingModel& RoutingOf(VirtualBench& bench, const std::string& table);

} // namespace kora::vbench
