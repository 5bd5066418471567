// What every component test method shares: the nested step with its phases, the data block head
// with the resolved pins and the attributes of the head, validation, pin and detail groups, the
// limit adjustment, the write-back of edited attributes into the component record, the
// verification and the error alert.
#pragma once

#include "bench/bench.h"
#include "frame/bench_context.h"
#include "frame/errors.h"
#include "ictx/measure/component_methods.h"
#include "ictx/measure/ict_hardware.h"
#include "ictx/program/component_model.h"

#include <rvoapi.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace kora {

// Pins of a component by role.
enum PinSlot {
    kSlotHi,
    kSlotLo,
    kSlotSenseHi,
    kSlotSenseLo,
    kSlotGp1,
    kSlotGp2,
    kSlotGp3,
    kSlotGp4,
    kSlotGs,
    kPinSlots
};

// Times of a component test, in seconds.
enum ComponentTime { kTimePrepare, kTimeSetup, kTimeMeasure, kTimeCleanup, kTimeCount };

// Measured values standing for "above what can be measured" and "below it / no measurement".
constexpr double kAboveRange = 999000000.0;
constexpr double kBelowRange = -999000000.0;

// Samples kept for the detail graph of a component (the record is thinned to fit).
constexpr int kGraphPoints = 256;

constexpr long kUnitVolt = 5;
constexpr long kUnitAmpere = 9;
constexpr long kUnitOhm = 13;
constexpr long kUnitSecond = 16;
constexpr long kUnitPercent = 19;

// The head of every component data block. Every attribute of the head is bound to a field here.
struct ComponentBlock {
    RVO_COMPONENT component;
    BenchRecord* bench;
    ComponentRecord* record;
    const char* availableVariants;
    uint32_t linkEpoch; // the bench memory epoch (frame/bench_context.h) of the pointers above
    int32_t benchIndex;
    int32_t sectionIndex;
    uint32_t classCode;
    uint32_t flags;
    const ChannelRecord* pin[kPinSlots];
    int32_t pinDefined[kPinSlots];
    BusChannelIds bus;
    uint32_t usedModules;
    int32_t valid;
    double value;
    double start;

    // Head group.
    char typeText[32];
    char nameText[128];
    char idText[128];
    char infoText[256];
    char variant[kVariantTextSize];
    int32_t enabled;
    int32_t locked;
    int32_t report;
    int32_t abortOnFail;
    // Validation.
    double ul;
    double nom;
    double ll;
    double correction;
    double compensation;
    int32_t autozero;
    double offset;
    double limitsPercent;
    int32_t adjustNom;
    int32_t adjustMeas;
    char ulHint[32];
    char llHint[32];
    // Test pins: the display text of each pin, the wire method and the swap buttons.
    char method[32];
    char pinText[kPinSlots][64];
    int32_t swap;
    int32_t senseSwap;
    // Details.
    int32_t details;
    int32_t reads;
    double measTime;
    double graph[kGraphPoints];
    double times[kTimeCount];
    char comment[128];
};

// What a class method tells the frame.
struct ClassTraits {
    const char* typeText;    // "RESISTOR"
    const char* compText;    // "RES0"
    const char* methodName;  // name of the nested step's method, "ICTX_RESISTOR"
    const char* alertFormat; // "ICTX_RESISTOR[ %li ]\n\nBENCH=%s\n\n%s"
    const char* methodList;  // wire modes of "TEST PINS" "METHOD"
    long unit;               // unit of the limits
};

// ---- entry and phases ----------------------------------------------------------------------

// Enters the component's nested step: line code = section index << 8 | 8 | caller flags.
// Returns the phase; `data` gets the block of `size` bytes kept for the step.
long EnterComponentStep(const ComponentCall& call, const ClassTraits& cls, long size, void** data,
                        StepError& error);

// Fills the head from the call: record, bench, pins (resolved with ResolveTestPin), texts, flags,
// limits. Returns false with the error when the bus channel ids cannot be fetched.
bool PrepareComponentBlock(ComponentBlock& b, const ComponentCall& call, const ClassTraits& cls,
                           StepError& error);

// Before a run pass: takes the call's bench, and when the bench memory the block's pointers were
// taken from has been allocated afresh since (a full clean-up and a new set-up) or the call brings
// another record, takes the record afresh and re-resolves the pins. True when it relinked.
bool LinkForRun(ComponentBlock& b, const ComponentCall& call);

// ---- attributes ----------------------------------------------------------------------------

// The head group (TYPE, NAME, ID, INFO, VARIANT, ENABLED, LOCKED, REPORT, ABORTONFAIL); with an
// options suffix ("|OPTIONS") the options from VARIANT on go into the head group plus the suffix.
void DefineHeadAttributes(ComponentBlock& b, const ClassTraits& cls,
                          const char* optionsSuffix = nullptr);
// UL, NOM, LL with their hints, in "VALIDATION" or the given group.
void DefineLimitAttributes(ComponentBlock& b, const ClassTraits& cls, const char* group = nullptr);
// LIMITS, NOM, MEAS in "VALIDATION|ADJUST" or the given group.
void DefineAdjustAttributes(ComponentBlock& b, const char* group = nullptr);
// "TEST PINS" METHOD (the block's `method` text), HI, LO, SWAP; "TEST PINS|SENSE"; "TEST
// PINS|GUARD".
void DefinePinAttributes(ComponentBlock& b, const ClassTraits& cls);
// "DETAILS" ENABLE, "DETAILS|MEAS" GRAPH, #READ, TIME.
void DefineDetailAttributes(ComponentBlock& b);
// "DETAILS|TIME" PREPARE, SETUP, MEASURE, CLEANUP.
void DefineTimeAttributes(ComponentBlock& b);

// Registers the method as the attribute callback of the step, with the block as context.
void RegisterAttributeCallback(ComponentBlock& b, RVO_CALLBACK callback);
// Reasons of an attribute callback: the operator edited an attribute; the executive relinked.
constexpr uint32_t kAttributeEdit = 0x80000001u;
constexpr uint32_t kRelink = 0x80000000u;
// The block that RegisterAttributeCallback gave the callback as its context; null for a context
// that is not one.
ComponentBlock* CallbackBlock(void* context, long contextSize);
// How a component's callback answers: the block for an attribute edit; a relink re-resolves the
// pins and answers 0, any other reason -1 (in *answer, with null returned).
ComponentBlock* EditedBlock(long reason, void* context, long contextSize, long* answer);

// Reads the head's attributes back after an edit: variant check, swaps, limit adjustment, flags
// and limits written into the component record; the bench is marked modified when anything of
// the record changed. False with the error for an unknown variant.
bool ReadBackHead(ComponentBlock& b, StepError& error);
// Bounds of an editable number of a component. Every class brings an edit back within them the
// same way: a value outside (or not a number) is clamped to the nearer bound (the lower one for
// not a number) and shown back in the step editor, so that it is never stored in the record nor
// written to the component file.
struct RealBounds {
    double* value;
    double low, high;
};
struct IntBounds {
    int32_t* value;
    int32_t low, high;
};
constexpr double kCorrectionBound = 1e16; // the additive "MEAS" correction, either sign
void ClampEdited(const ComponentBlock& b, std::initializer_list<RealBounds> bounds);
void ClampEdited(const ComponentBlock& b, std::initializer_list<IntBounds> bounds);

// Index of a keyword attribute's text in its comma list, 0-based; `fallback` when not in it.
int32_t KeywordIndex(const char* text, const char* list, int32_t fallback);
// The keyword of index `i` of a comma list into `out` (empty past its end).
void KeywordText(const char* list, int32_t i, char* out, std::size_t size);

// Re-resolves the pins from the record and rebuilds their display texts (relink).
void RelinkPins(ComponentBlock& b);
// Writes the pin texts of the block into the record (after a swap or a pin edit).
void WritePinsBack(ComponentBlock& b);
// One edited pin text of a block (`size` bytes) for the record's pin: an empty text clears the
// pin; a channel name makes the record point at the name in the bench's channel table and gives
// that channel in `pin`; any other text is refused (false) and shown back as the record has it.
bool TakeEditedPin(const BenchRecord& bench, char* text, std::size_t size, const char*& recordPin,
                   const ChannelRecord*& pin);

// ---- measurement ---------------------------------------------------------------------------

// Closes the time of `which`, measured from the end of the previous one.
void MarkTime(ComponentBlock& b, ComponentTime which);

// The verification of sub-test 1 against LL and UL; the step result it implies.
long VerifyComponent(ComponentBlock& b, const ClassTraits& cls, const char* comment);

// Shows a pass's error with the class's alert; returns the step result (-5 when the operator
// stops the run, else -2; an answer of 11 clears the error code).
long AlertComponentError(ComponentBlock& b, const ClassTraits& cls, StepError& error);

// Labels of the detail graph: the quantity its record holds.
constexpr const char* kGraphCurrent = "CURRENT";
constexpr const char* kGraphVoltage = "VOLTAGE";
// Copies up to kGraphPoints of a record into the detail graph, thinning it evenly, and labels it.
void SetGraph(ComponentBlock& b, const double* samples, int32_t count, const char* label);

// Helpers for the measured-value markers of a verification comment.
void AppendMarker(char* comment, std::size_t size, const char* marker);

// The bench's modified flag, on the configured bench that owns the program.
void MarkBenchModified(ComponentBlock& b);

} // namespace kora
