// The description of a virtual station, named by the physical layer file of the resource manager
// in its section [VirtualBench]:
//
//   [VirtualBench]
//   Board = board.cir          ; the board under test, a SPICE-subset netlist (relative paths are
//                              ; taken from the physical layer file's folder)
//   Fixture = fixture.txt      ; the fixture wiring: which board net each matrix card pin reaches
//   RelayResistance = 0.15     ; ohms of a closed matrix or module relay
//   RelayOffResistance = 1e12  ; ohms of an open one
//   BusResistance = 0.05       ; ohms of an analog bus line from end to end
//   DebounceTime = 500u        ; seconds a matrix relay needs to settle after switching
//   SettlingTime = 2m          ; seconds the guard and source circuits need to settle
//   MeterNoise = 1             ; 0: meters read the exact solution
//   NoiseSeed = 12345          ; seed of the meters' noise, so every run reads the same numbers
//                              ; (the environment's KORA_NOISE_SEED, when set, stands for it)
//   Cartridges = SSC, VPC      ; the fixture cartridge cards present, in bus order (default none)
//   ChargedCapacitors = C1 60, C2 5  ; capacitors of the board that hold a charge when the
//                              ; station starts (name and volts, positive node against negative)
//   NeedleCapacitance = 30p    ; stray capacitance of every fixture needle to the fixture's body,
//                              ; which couples the needles to each other (default 0)
//   NeedleInductance = 1u      ; stray inductance of every fixture needle, in series (default 0)
//                              ; Either gives the needles of their own: the fixture can then be
//                              ; set to the board removed or a short plate (VirtualBench)
//   PsamCurrentOffsets = 20n, 20n, 25n ; amperes every PSAM ammeter reads with nothing connected,
//                              ; per current range from 1 uA up (the last value holds for the
//                              ; ranges above it; default none)
//
// Numbers are SPICE numbers (C locale, scale suffixes). Only Board is required.
//
// The devices of the station are the [device->NAME] sections of the same file: a driver opened
// with a resource descriptor reaches the device whose ResourceDesc it is (without regard to
// case). Their resource descriptors say where they sit:
// - Modules of the module buses (the Type is a module code such as PSAM, PICT, PSU, PIO2, PMB,
//   PSM1..PSM5): "CAN<n>::<m>::<slot>", on bus "CAN<n>::<m>" in slot <slot> (1..16);
//   "CAN0::0::5" is slot 5 of bus "CAN0::0". The module search of the utility library finds them
//   there.
// - Relay modules (Type URM): "<interface><frame>::<slot>[::...]", e.g. "PXI1::14::INSTR" is
//   slot 14 of frame 1.
// - Cartridge cards are not devices: the Cartridges key lists them by card name ("SSC", "SCC",
//   "VPC", "VCC", "ACC").
//
// The fixture wiring is a text file of lines "CARD PIN NET" (white space between; '#' or ';'
// starts a comment): CARD is the device name of a matrix card in the physical layer file (the
// NAME of [device->NAME], whose ResourceDesc its driver is opened with), PIN is "P1".."P160", NET
// a net of the board. A pin may be listed once;
// a net may be reached by several pins.
#pragma once

#include <vbench/netlist/netlist.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kora::vbench {

// A station description that cannot be used; the text names the file (and line where there is
// one).
class StationError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct FixturePin {
    std::string card; // as written in the physical layer file
    int pin = 0;      // 1..160
    std::string net;  // folded, as in the netlist
    SourceLocation where;
};

// A device of the physical layer file ([device->NAME] with Type and ResourceDesc).
struct StationDevice {
    std::string name;
    std::string type;
    std::string resource;
    // Every key of the device's section as written, in file order, for the models that take
    // more from it than Type and ResourceDesc (the relay contacts of a URM).
    std::vector<std::pair<std::string, std::string>> keys;
};

// Where a device sits, read from its resource descriptor (see above).
struct DeviceAddress {
    std::string bus; // "CAN0::1" of a module ("CAN0::1::9"); "PXI1" of a relay module
    int frame = 0;   // the number after the interface letters: 0 of "CAN0::1::9", 1 of "PXI1::14"
    int slot = 0;    // 9 of "CAN0::1::9", 14 of "PXI1::14::INSTR"
};

// The address of a module, "<letters><n>::<m>::<slot>"; nothing for any other descriptor.
std::optional<DeviceAddress> ModuleAddress(const std::string& resource);
// The address of a relay module, "<letters><frame>::<slot>" with anything after a further "::";
// nothing for any other descriptor.
std::optional<DeviceAddress> FrameSlotAddress(const std::string& resource);

// Where each card pin sits in a fixture's wiring, built on first use: a board of thousands of
// pins asks for a pin's net on every relay it switches. A copy starts empty, and the table is
// built again whenever the wiring it was built from has been replaced.
class FixtureLookup {
  public:
    FixtureLookup() = default;
    FixtureLookup(const FixtureLookup&) {}
    FixtureLookup& operator=(const FixtureLookup&) { return *this; }

    // The entry of `fixture` for the folded card name and pin, or null.
    const FixturePin* find(const std::vector<FixturePin>& fixture, const std::string& foldedCard,
                           int pin) const;

  private:
    void build(const std::vector<FixturePin>& fixture) const;

    mutable std::mutex mutex_;
    mutable const FixturePin* builtFrom_ = nullptr;
    mutable std::size_t builtSize_ = 0;
    // Folded card name -> entry index per pin (index 0 unused), -1 where the pin is not wired.
    mutable std::unordered_map<std::string, std::vector<int>> pins_;
};

struct Station {
    std::string physicalLayerFile;
    std::vector<StationDevice> devices;
    std::vector<std::string> cartridges; // card names in bus order, as written
    // What the fixture drives onto a card's isolated and status inputs, by upper-case card name,
    // from the keys "<CARD>Inputs = ISOLATED, STATUS" (numbers in C notation, 0x... for hex).
    struct CartridgeInputs {
        uint16_t isolated = 0x0000;
        uint16_t status = 0xFFFF;
    };
    std::map<std::string, CartridgeInputs> cartridgeInputs;
    std::vector<std::pair<std::string, double>> chargedCapacitors; // folded names, volts
    std::string boardFile;
    Netlist board;
    std::string fixtureFile;
    std::vector<FixturePin> fixture;
    double relayResistance = 0.15;
    double relayOffResistance = 1e12;
    double busResistance = 0.05;
    double debounceTime = 500e-6;
    double settlingTime = 2e-3;
    bool meterNoise = true;
    uint64_t noiseSeed = 1;
    std::vector<double> psamCurrentOffsets; // by current range, 1 uA first
    double needleCapacitance = 0;
    double needleInductance = 0;
    FixtureLookup fixtureLookup;

    // The net wired to a card's pin, if any (card names match without regard to case).
    std::optional<std::string> netOf(const std::string& card, int pin) const;
    // The pins that reach a net.
    std::vector<const FixturePin*> pinsOf(const std::string& net) const;
    // The name of the device opened with this resource descriptor; the descriptor itself when no
    // device has it (drivers see only descriptors, the fixture names devices).
    std::string deviceForResource(const std::string& resource) const;
};

// The station a bench without one works with: every setting at its default.
const Station& DefaultStation();

// Section of the physical layer file that describes the virtual station.
inline constexpr const char* kStationSection = "VirtualBench";

// Reads the station named by a physical layer file. Throws StationError, with the netlist's own
// file and line for an error in the board.
Station LoadStation(const std::string& physicalLayerFile);

// The same from keys already read (name, value pairs of the section); relative file names are
// taken from baseDir, and `source` names the section in messages. Throws StationError, or
// NetlistError for an error in the board.
Station StationFromKeys(const std::vector<std::pair<std::string, std::string>>& keys,
                        const std::string& baseDir, const std::string& source);

// Parses fixture wiring text against a board; file names the text in messages.
std::vector<FixturePin> ParseFixture(const std::string& text, const std::string& file,
                                     const Netlist& board);

} // namespace kora::vbench
