// The universal relay/IO module behind VX_Urm: four banks A..D of eight bits, each an input or a
// relay output, and the relay contacts that the station wires into the board's circuit.
//
// Contacts. The module's section of the physical layer file ties relay bits to board nets:
//     [device->URM_1]
//     Type = URM
//     ResourceDesc = URM0::1
//     ContactA0 = reg, load_a        ; bank A bit 0 joins the nets reg and load_a
//     ContactResistance = 0.08       ; ohms of a closed contact (default 0.1)
//     OperateTime = 4m               ; seconds a contact takes to move (default 5 ms)
// Keys are "Contact<bank><bit>" (bank A..D, bit 0..7, any case) with two different nets of the
// board; numbers are SPICE numbers. An open contact has the station's RelayOffResistance.
//
// A contact is closed while its bit is an output and switched on. A change that moves a contact
// takes the operate time on the bench clock, with the circuit as it was until the contact moves;
// a change that moves none takes no time. Bits without a contact only keep their state.
#pragma once

#include <array>
#include <stdexcept>
#include <string>

namespace kora::vbench {

class Switch;
class VirtualBench;

class UrmModule {
  public:
    static constexpr int kBanks = 4;
    static constexpr int kBits = 8;
    static constexpr int kInput = 0;
    static constexpr int kOutput = 1;

    // The module of that device name; its contacts from the station's device of that name.
    // Throws std::invalid_argument for a contact key that cannot be used.
    UrmModule(VirtualBench& bench, std::string name);
    // A module without a bench (a simulated one opened with no bench active): bits only.
    explicit UrmModule(std::string name);
    UrmModule(const UrmModule&) = delete;
    UrmModule& operator=(const UrmModule&) = delete;

    bool attachedTo(VirtualBench& bench) const;

    void setMode(int bank, int bit, int mode);
    int mode(int bank, int bit) const { return modes_[at(bank, bit)]; }
    void set(int bank, int bit, bool on);
    // Every bit back to its power-on state, an input and off; the contacts that move take one
    // operate time together.
    void reset();
    bool state(int bank, int bit) const { return states_[at(bank, bit)]; }
    // Whether the bit has a contact, and whether it is closed now.
    bool hasContact(int bank, int bit) const { return contacts_[at(bank, bit)] != nullptr; }
    bool contactClosed(int bank, int bit) const;
    double operateTime() const { return operateTime_; }

  private:
    static std::size_t at(int bank, int bit) {
        return static_cast<std::size_t>(bank * kBits + bit);
    }
    void readContacts();
    void follow(int bank, int bit);

    VirtualBench* bench_;
    std::string name_;
    const void* circuit_ = nullptr;
    double contactOhms_ = 0.1;
    double operateTime_ = 5e-3;
    std::array<int, kBanks * kBits> modes_{}; // kInput at power-on
    std::array<bool, kBanks * kBits> states_{};
    std::array<Switch*, kBanks * kBits> contacts_{};
};

// The module of that device name on the bench, created on first use with every bit an input and
// off.
UrmModule& UrmOf(VirtualBench& bench, const std::string& name);

} // namespace kora::vbench
