// What the pin-at-a-time tests (contact and short, track, discharge) share: their hardware
// checks, the units they keep off the bus, pin lists of names, the matrix module table walked
// module by module, moves of one pin between the bus groups, the set-up and release of the ICT
// hardware when a step method runs the test on its own, and their error alert.
#pragma once

#include "ictx/measure/component_frame.h"
#include "ictx/measure/ict_hardware.h"

#include <zqsm160.h>

#include <array>
#include <cstdint>
#include <vector>

namespace kora {

constexpr const char* kNoIctPsam = "No ICT DEVICE of Type PSAM defined";
constexpr const char* kNoIctMatrix = "No ICT MATRIX of Type SM160 defined";

// Sub-result numbers of the set-up and release around a test run by its own step.
constexpr long kOwnSetupResults = 100;
constexpr long kOwnCleanupResults = 200;

constexpr long kUnitFailCount = 4;
constexpr int32_t kPinReadTimeoutMs = 1000;
constexpr int32_t kDebounceMs = 1000;
constexpr double kNoContact = 9.99e8;

// The PSAM and at least one SM160 module; false with the message set.
bool CheckPinTestHardware(const BenchRecord& bench, StepError& error);

// The PICT's switches opened and the PSU's coupling off, where those modules are present.
bool ReleaseOtherUnits(BenchRecord& bench, ModuleErrors& errors);

// The matrix modules of the bench: the table up to the first entry not in use.
int32_t MatrixModuleCount(const BenchRecord& bench);
inline ViSession ModuleHandle(const BenchRecord& bench, int32_t card) {
    return static_cast<ViSession>(bench.switchCards[card].handle);
}

// The channel-table entries of a module's pins, by pin index (null where the table has none).
using ModulePins = std::array<const ChannelRecord*, kCardPins>;
ModulePins PinsOfModule(const BenchRecord& bench, int32_t card);

// A comma list of pin names resolved against the channel table, in list order. An unknown name
// is "<listName> pin '<name>' not defined".
bool ResolvePinNames(const BenchRecord& bench, const char* text, const char* listName,
                     std::vector<const ChannelRecord*>& pins, StepError& error);

// The matrix pins of one module as a 160-bit mask (bit p % 32 of word p / 32 = pin index p).
using PinMask = std::array<ViUInt32, ZQSM160_MASK_WORDS>;
inline void SetPin(PinMask& mask, int32_t pinIndex) {
    mask[static_cast<std::size_t>(pinIndex / 32)] |= 1u << (pinIndex % 32);
}
inline bool HasPin(const PinMask& mask, int32_t pinIndex) {
    return (mask[static_cast<std::size_t>(pinIndex / 32)] >> (pinIndex % 32)) & 1u;
}

// A pin moved onto the bus groups' role lines (0 none, 1 or 2; 3 and 4 the card's ground),
// followed by the module's debounce. Notes the module as used.
bool MovePin(const BenchRecord& bench, const ChannelRecord& pin, int32_t a, int32_t b, int32_t c,
             int32_t d, uint32_t& usedModules, ModuleErrors& errors);

// Every module's pins of `masks` onto the two card lines, module by module with its debounce;
// stops at the first error.
bool ConnectPinArrays(const BenchRecord& bench, const std::vector<PinMask>& masks,
                      const BusChannelIds& bus, BusLine first, BusLine second,
                      uint32_t& usedModules, ModuleErrors& errors);

// hscDisconnectAll on each used module (all are tried, the first failure kept).
void DisconnectModules(const BenchRecord& bench, uint32_t usedModules, ModuleErrors& errors);

// The ICT set-up before and the release after a test that its own step method runs; the
// driver's text becomes the error. No-ops for a component of the execute step.
bool OwnSetup(ComponentBlock& b, const ComponentCall& call, StepError& error);
void OwnCleanup(ComponentBlock& b, const ComponentCall& call, StepError& error);
// "RESET: ICTX" after an ICT step, else "RESET: ROUTE,ICTX"; empty for an execute-step call.
const char* OwnResetText(const ComponentCall& call);

// The head of these tests' attribute trees: TYPE, NAME, the identification text under
// `idName`, INFO and VARIANT in `group`; ENABLED, LOCKED, REPORT and the abort flag under
// `abortName` in `flagGroup`.
struct PinTestHead {
    const char* group;
    const char* flagGroup;
    const char* idName;
    const char* abortName;
};
void DefinePinTestHead(ComponentBlock& b, const PinTestHead& head);

// Texts of a keyword attribute for a mode character: 'N' the first mode, 'F' the second, any
// other "NO" (list "NO,<first>,<second>"); and back.
void ModeText(char mode, const char* list, char* out, std::size_t size);
char ModeChar(const char* text, const char* list);

// A text attribute's edit written into a record text field; the block's buffer outlives the
// record's use of it. True when it changed.
bool StoreRecordText(ComponentBlock& b, const char*& field, const char* text, uint32_t bit);

// The alert of these tests: "<head>" then "\nATTR=%s\n", "\nBENCH=%s\n" and "\n%s".
long AlertPinTestError(ComponentBlock& b, const char* head, StepError& error);

// The step loop of a pin test method: save mode, entry, define, run, exit (as every component
// method). `define` and `run` get the block.
template <typename Block, typename Define, typename Run>
EN_NEV_RESULT RunPinTestMethod(ComponentCall& call, const ClassTraits& cls, Define define, Run run);

// The save mode of a component method: writes the record into the file.
EN_NEV_RESULT SaveComponent(ComponentCall& call);

} // namespace kora

#include "ictx/measure/pin_test_loop.h"
