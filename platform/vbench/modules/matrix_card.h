// The 160-channel switch-matrix card (SM160) as the circuit sees it.
//
// Lines. The card has eight bus lines of its own, LABA1, LABA2, LABB1, LABB2, LABC1, LABC2,
// LABD1, LABD2 (index 0..7 here, ids 1001..1008 in the driver, bits 0..7 of a bus mask). Each is
// coupled through a coupling relay to the system's analog bus line of the same name without the
// leading L (ABA1 .. ABD2), where the source and measure modules connect. The card closes a
// line's coupling relay by itself while at least one of its pins sits on that line, and keeps it
// closed on its own after the driver's Connect of "LABA1" with "ABA1"; a line that no pin uses
// stays off the bus, so idle cards add nothing to it.
//
// The ICT attribute (1150002) is the card's "in use by the ICT" mark: the ICT setup raises it,
// the ICT cleanup and the pin-location tool lower it. It is kept and reported and switches no
// relay, so a pin connected while it is low reaches the bus all the same.
//
// Pins. Each pin P1..P160 has a crosspoint relay to each of the eight card lines and one relay to
// the card's ground reference. A pin reaches the board net that the fixture wiring gives it; a
// pin without wiring is a node of its own.
//
// Relays close with the station's relay resistance and open to its off resistance; a coupling
// relay adds the analog bus line's resistance. Every change first brings the circuit up to the
// clock with the relays as they were, so that charge stored on the board follows the switching.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kora::vbench {

class Switch;
class VirtualBench;

class MatrixCard {
  public:
    static constexpr int kPins = 160;
    static constexpr int kLines = 8;

    MatrixCard(VirtualBench& bench, std::string name);

    const std::string& name() const { return name_; }

    // pin 1..160, line 0..7.
    void setCrosspoint(int pin, int line, bool closed);
    bool crosspoint(int pin, int line) const { return crosspoints_[index(pin)][line]; }
    void setPinGround(int pin, bool closed);
    bool pinGround(int pin) const { return grounds_[index(pin)]; }
    // Opens every relay of the pin.
    void releasePin(int pin);
    void setCoupling(int line, bool closed);
    bool coupling(int line) const { return couplings_[line]; }
    void setIctMark(bool on) { ictMark_ = on; }
    bool ictMark() const { return ictMark_; }
    // Whether the line's coupling relay is closed now (by a pin on the line or by Connect).
    bool lineOnBus(int line) const;
    // Opens every relay; the ICT mark stays as it is.
    void openAll();

    // Clock time of the last relay change, for the debounce.
    int64_t lastSwitchNs() const { return lastSwitchNs_; }

    // Node names: a system analog bus line, a line of this card, the node a pin reaches.
    static std::string systemLineNet(int line);
    std::string lineNet(int line) const;
    std::string pinNet(int pin) const;
    static const char* lineName(int line); // "LABA1" .. "LABD2"

  private:
    static int index(int pin) { return pin - 1; }
    // The relay device between two nodes, created open on first use.
    Switch& relay(const std::string& id, const std::string& a, const std::string& b,
                  double extraOhms = 0);
    std::string relayName(const std::string& id) const;
    // The same by the relay's full name; `nodes` gives the two node names when it is made.
    template <typename Nodes>
    Switch& relayNamed(const std::string& name, Nodes nodes, double extraOhms);
    void changed();
    void applyCoupling(int line);

    VirtualBench& bench_;
    std::string name_;
    std::array<std::array<bool, kLines>, kPins> crosspoints_{};
    std::array<bool, kPins> grounds_{};
    std::array<bool, kLines> couplings_{};
    std::array<int, kLines> pinsOnLine_{};
    std::array<std::string, kLines> couplingRelays_; // by line
    bool ictMark_ = false;
    // Whether every relay is open since the last openAll: a large bench opens all its cards at
    // every disconnect, and most of them have not been touched since the one before.
    bool allOpen_ = false;
    int64_t lastSwitchNs_ = -1;
};

} // namespace kora::vbench
