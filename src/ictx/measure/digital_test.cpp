// The digital vector test: a DIGITAL section's items run by the vector interpreter on the ICT
// bus, each item a sub-result of the component's step.
#include "ictx/measure/component_frame.h"
#include "ictx/measure/component_tests.h"
#include "ictx/measure/digital_bus.h"
#include "ictx/program/component_order.h"
#include "ictx/program/component_writer.h"
#include "ictx/program/vector_run.h"

#include "frame/step_frame.h"
#include "frame/text.h"

#include <rspsu.h>

#include <cstring>

namespace kora {

namespace {

constexpr long kLineMarker = 8;
constexpr const char* kGroup = "DIGITAL";
constexpr const char* kGroupOptions = "DIGITAL|OPTIONS";
constexpr const char* kMacroType = "MACRO";
constexpr const char* kMacroName = "%s.MACRO";
constexpr const char* kDetailsText = "MSGs in DEBUG WINDOW";
constexpr const char* kNoPsu = "ERROR: No PSU available";
constexpr const char* kDetailsHead = "--- DIGITAL: %s   IH/IL=%.2lf/%.2lf mA";

constexpr ClassTraits kDigitalClass = {
    "DIGITAL", "DIGITAL", "ICTX_DIGITAL", "DIGITAL_ICTX[ %li ]\n\nBENCH=%s\n\n%s", "", 0,
};

struct DigitalBlock {
    ComponentBlock head;
    char stepName[160];
    int32_t itemNumber; // where a driver error ended the run
};

// The executive's side of the interpreter: every item a numbered sub-result of the step.
class StepReport : public VectorReport {
  public:
    explicit StepReport(long lineCode) : line_(lineCode) {}
    void Text(const char* name, const char* value, const char* expected, bool failed,
              const char* comment) override {
        rvo_VerifyS(++number_, name, line_, expected ? 1 : 0, value, expected ? "==" : nullptr,
                    expected, Verdict(failed, expected != nullptr), 0.0, nullptr, comment);
    }
    void Integer(const char* name, long value, long low, long high, bool failed,
                 const char* comment) override {
        rvo_VerifyI(++number_, name, line_, 2, low, "", value, "", high, Verdict(failed, false),
                    0.0, nullptr, comment);
    }
    void Real(const char* name, double value, double low, double high, long unit, bool failed,
              const char* comment) override {
        rvo_VerifyR(++number_, name, line_, unit, low, low < high ? "<=" : "", value,
                    low < high ? "<=" : "", high, Verdict(failed, low < high), 0.0, nullptr,
                    comment);
    }
    void Debug(const char* line) override { rvo_GUIMessage(1, line); }

  private:
    // The interpreter decides every check itself (don't-care bits, wildcards): a check passes or
    // fails, anything else is only recorded.
    static long Verdict(bool failed, bool check) { return failed ? -1 : check ? 1 : 0; }
    long line_;
    long number_ = 0;
};

bool Enabled(const ComponentRecord& r) {
    return (r.reportOption & kReportDisabled) == 0 && (r.flags & kFlagDisabled) == 0;
}

void Define(DigitalBlock& d, const ComponentCall& call, StepError& error);
long DigitalCallback(long reason, void* context, long contextSize);

void Define(DigitalBlock& d, const ComponentCall& call, StepError& error) {
    ComponentBlock& b = d.head;
    if (!PrepareComponentBlock(b, call, kDigitalClass, error)) {
        return;
    }
    const ComponentRecord& r = *call.record;
    const bool macro = r.index == 0;
    CopyText(b.typeText, macro ? kMacroType : kDigitalClass.typeText);
    FormatText(d.stepName, sizeof d.stepName, macro ? kMacroName : "%s", r.name ? r.name : "");
    b.enabled = Enabled(r);
    b.locked = (r.reportOption & kReportLocked) != 0 || (r.flags & kFlagLocked) != 0;
    b.report = (r.reportOption & kReportOff) == 0 && (r.flags & kFlagNoReport) == 0;
    rvo_DefineAttrS("TYPE", kGroup, b.typeText, 0, nullptr);
    rvo_DefineAttrS("NAME", kGroup, d.stepName, 0, nullptr);
    rvo_DefineAttrS("PART.ID", kGroup, b.idText, 0, nullptr);
    rvo_DefineAttrS("INFO", kGroup, b.infoText, 0, nullptr);
    rvo_DefineAttr("VARIANT", kGroup, RVO_ATTR_TEXT, b.variant, sizeof b.variant, 0, nullptr);
    rvo_DefineAttrI("ENABLED", kGroupOptions, &b.enabled, 0, kBoolean);
    rvo_DefineAttrI("LOCKED", kGroupOptions, &b.locked, 0, kBoolean);
    rvo_DefineAttrI("REPORT", kGroupOptions, &b.report, 0, kBoolean);
    rvo_DefineAttrI("DETAILS", kGroupOptions, &b.details, 0, kDetailsText);
    RegisterAttributeCallback(b, DigitalCallback);
}

// Reads the edited attributes back into the record; the bench is marked modified on a change.
bool ReadBack(ComponentBlock& b, StepError& error) {
    ComponentRecord& r = *b.record;
    rvo_ReadAttrS(b.component, b.variant, sizeof b.variant);
    for (int32_t* flag : {&b.enabled, &b.locked, &b.report, &b.details}) {
        rvo_ReadAttrB(b.component, flag);
    }
    if (std::strcmp(b.variant, r.variantText) != 0) {
        uint32_t set[kVariantWords] = {};
        char message[kMessageSize];
        if (ParseVariantText(b.variant, b.availableVariants, set, message) < 0) {
            error.Set(kErrResource, message);
            CopyText(b.variant, r.variantText);
            rvo_UpdateAttrS(b.component, "VARIANT", b.variant);
            return false;
        }
        std::memcpy(r.variantSet, set, sizeof set);
        CopyText(r.variantText, b.variant);
        MarkBenchModified(b);
    }
    const uint32_t option = (b.enabled ? 0u : uint32_t{kReportDisabled}) |
                            (b.report ? 0u : uint32_t{kReportOff}) |
                            (b.locked ? uint32_t{kReportLocked} : 0u);
    const uint32_t flags = (b.enabled ? 0u : uint32_t{kFlagDisabled}) |
                           (b.report ? 0u : uint32_t{kFlagNoReport}) |
                           (b.locked ? uint32_t{kFlagLocked} : 0u);
    const uint32_t mask = kFlagDisabled | kFlagNoReport | kFlagLocked;
    if (r.reportOption != option || (r.flags & mask) != flags) {
        r.reportOption = option;
        r.flags = (r.flags & ~mask) | flags;
        MarkBenchModified(b);
    }
    return true;
}

long DigitalCallback(long reason, void* context, long contextSize) {
    ComponentBlock* b = CallbackBlock(context, contextSize);
    if (!b) {
        return -1;
    }
    if (static_cast<uint32_t>(reason) != kAttributeEdit) {
        return static_cast<uint32_t>(reason) == kMethodSave ? 0 : -1;
    }
    StepError error;
    const bool ok = ReadBack(*b, error);
    rvo_DeleteSubResults(b->component);
    rvo_SetAttributeCallback(1, 0);
    if (!ok) {
        rvo_Alert(nullptr, error.message, RVO_ALERT_ERROR);
        return -2;
    }
    return 0;
}

long Run(DigitalBlock& d, const ComponentCall& call, StepError& error) {
    ComponentBlock& b = d.head;
    BenchRecord& bench = *b.bench;
    ComponentRecord& r = *b.record;
    d.itemNumber = 0;
    if (!b.enabled || call.inVariant == 0 || r.index <= 0) {
        return 0;
    }
    if (!bench.ictModules[kIctPsu].inUse) {
        error.Set(kErrResource, kNoPsu);
        return AlertComponentError(b, kDigitalClass, error);
    }
    BusDigitalIo io(bench);
    VectorState state;
    state.details = b.details != 0;
    int outcome = -2;
    if (io.Prepare()) {
        if (state.details) {
            double ih = 0, il = 0;
            if (io.DriveCurrents(&ih, &il)) {
                char line[256];
                FormatText(line, sizeof line, kDetailsHead, b.nameText, ih * 1000.0, il * 1000.0);
                rvo_GUIMessage(1, line);
            }
        }
        const long lineCode = (static_cast<long>(r.index) << 8) | kLineMarker;
        StepReport report(lineCode);
        outcome = RunVectors(r.firstItem, r.itemCount, io, report, state);
    }
    io.Release();
    d.itemNumber = state.item;
    const long result = outcome == -1 ? -1 : 0;
    rvo_VerifyI(0, b.nameText, (static_cast<long>(r.index) << 8) | kLineMarker, 4, 0, "",
                state.failed ? 1 : 0, "<=", 0, RVO_VERDICT_EXECUTIVE, 0.0, nullptr,
                state.exitMode ? (state.exitMode == 'A' ? "EXIT A" : "EXIT T") : nullptr);
    if (ReportModuleErrors(bench, io.errors(), error)) {
        // The alert names the item that the driver error ended.
        const int32_t section = b.sectionIndex;
        b.sectionIndex = d.itemNumber;
        const long alerted = AlertComponentError(b, kDigitalClass, error);
        b.sectionIndex = section;
        return alerted;
    }
    return result;
}

} // namespace

EN_NEV_RESULT TestDigital(ComponentCall& call) {
    if (call.mode == kMethodSave) {
        if (WriteComponentSection(call.file, call.record, call.availableVariants) != 0) {
            if (call.errorCode) {
                *call.errorCode = kErrResource;
            }
            return -2;
        }
        return 0;
    }
    const double start = rvo_TSTAMP();
    long result = 0;
    // An insertion section is declared as a step of its own name with ".MACRO" behind it.
    char macroName[160];
    ComponentCall step = call;
    if (call.record->index == 0) {
        FormatText(macroName, sizeof macroName, kMacroName, call.name ? call.name : "");
        step.name = macroName;
    }
    for (;;) {
        StepError error;
        void* data = nullptr;
        const long phase =
            EnterComponentStep(step, kDigitalClass, sizeof(DigitalBlock), &data, error);
        if (phase == -4) {
            rvo_ExitSTEP();
            return 0;
        }
        auto* block = static_cast<DigitalBlock*>(data);
        if (!block && !error.failed()) {
            error.Set(kErrMemory, kDigitalClass.methodName);
        }
        const bool define = phase == RVO_PHASE_COMPILE || phase == RVO_PHASE_COMPILE_RUN;
        if (!error.failed() && define) {
            Define(*block, call, error);
        }
        if (!error.failed() && block &&
            (phase == RVO_PHASE_RUN || phase == RVO_PHASE_COMPILE_RUN)) {
            LinkForRun(block->head, call);
            result = Run(*block, call, error);
        } else if (error.failed()) {
            result = block ? AlertComponentError(block->head, kDigitalClass, error) : -2;
        }
        if (call.errorCode) {
            *call.errorCode = error.code;
        }
        if (call.errorText) {
            CopyText(call.errorText, kMessageSize, error.message);
        }
        if (rvo_ExitSTEP() != RVO_EXIT_AGAIN) {
            break;
        }
    }
    if (call.elapsed) {
        *call.elapsed = rvo_TSTAMP() - start;
    }
    return static_cast<EN_NEV_RESULT>(result);
}

} // namespace kora
