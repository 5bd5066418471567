// CONTACT_ICTX, TRACK_ICTX and DISCHARGE_ICTX: the fixture tests of a component file as step
// methods of their own, each building its one component from the step's arguments.
#include "exports/export.h"
#include "frame/args.h"
#include "frame/text.h"
#include "ictx/measure/component_tests.h"
#include "ictx/program/component_step.h"

#include <kora/step_methods.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

namespace kora {

namespace {

constexpr const char* kContactMethod = "CONTACT_ICTX";
constexpr const char* kTrackMethod = "TRACK_ICTX";
constexpr const char* kDischargeMethod = "DISCHARGE_ICTX";
constexpr const char* kContactOptions = "SHORT,SHORT_FAST,OPEN,OPEN_FAST,ALL_RESULTS";
constexpr const char* kTrackOptions = "TRACK_FAST";
enum ContactOption { kShort = 1, kShortFast, kOpen, kOpenFast, kAllResults };

// The keywords of a comma list of options, each matched in `list` (1-based; 0 unknown).
template <typename Each> void ForEachOption(const char* options, const char* list, Each each) {
    std::string_view rest = OrEmpty(options);
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        std::string word(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        word.erase(0, word.find_first_not_of(" \t"));
        word.erase(word.find_last_not_of(" \t") + 1);
        each(MatchKeyword(word.c_str(), list));
    }
}

// The modes of a component record as a file's MM text gives them.
void SetModes(KeptComponent& kept, const char* modes) {
    kept.record.mm = kept.Keep(modes);
    kept.record.paramMask |= kParamMM;
}

} // namespace

} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT CONTACT_ICTX(long stepRef, const char* stepName, long lineCode,
                                       long stepArg, const char* comment, const char* Options,
                                       long RunFlags, double ShortVoltage, double ContactVoltage,
                                       const char* Selected, const char* ExcludeFromShort,
                                       const char* ExcludeFromOpen, double ShortCurrentRange,
                                       double ShortCurrentLimit, double ContactCurrentRange,
                                       double ContactCurrentLimit) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kContactMethod};
    const long bench = std::max(1, std::atoi(OrEmpty(Options)));
    ComponentStepPlan plan;
    plan.classCode = kClassContact;
    plan.bench = bench;
    plan.reportLevel = RunFlags;
    plan.method = TestContact;
    plan.build = [&](KeptComponent& kept) {
        char modes[4] = {'-', '-', '-', 0};
        ForEachOption(Options, kContactOptions, [&](int option) {
            switch (option) {
            case kShort:
            case kShortFast:
                modes[0] = option == kShort ? 'N' : 'F';
                break;
            case kOpen:
            case kOpenFast:
                modes[1] = option == kOpen ? 'N' : 'F';
                break;
            case kAllResults:
                modes[2] = 'A';
                break;
            default:
                break;
            }
        });
        SetModes(kept, modes);
        ComponentRecord& r = kept.record;
        kept.SetText(r.tl, Selected, kParamTL);
        kept.SetText(r.rl, ExcludeFromShort, kParamRL);
        kept.SetText(r.xo, ExcludeFromOpen, kParamXO);
    };
    plan.takeReals = [&](ComponentRecord& r) {
        // A voltage given keeps the compile step's bounds and moves the test current with it.
        const double voltages[2] = {ShortVoltage, ContactVoltage};
        const double bounds[2][2] = {{0.2, 5.0}, {1.0, 5.0}};
        const double ranges[2] = {ShortCurrentRange, ContactCurrentRange};
        const double limits[2] = {ShortCurrentLimit, ContactCurrentLimit};
        for (int k = 0; k < 2; ++k) {
            SubTest& s = r.sub[k];
            if (TakeReal(s.v, voltages[k])) {
                s.v = std::clamp(s.v, bounds[k][0], bounds[k][1]);
                s.c = s.v / s.nv;
            }
            TakeReal(s.cr, ranges[k]);
            TakeReal(s.c, limits[k]);
        }
    };
    return RunComponentStep(call, plan);
}

KORA_EXPORT EN_NEV_RESULT TRACK_ICTX(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* Options,
                                     long BenchIndex, double Voltage, const char* Selected,
                                     double CurrentRange, double CurrentLimit) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kTrackMethod};
    ComponentStepPlan plan;
    plan.classCode = kClassTrack;
    plan.bench = BenchIndex;
    plan.method = TestTrack;
    plan.build = [&](KeptComponent& kept) {
        bool fast = false;
        ForEachOption(Options, kTrackOptions, [&](int option) { fast = fast || option == 1; });
        SetModes(kept, fast ? "F" : "N");
        kept.SetText(kept.record.tl, Selected, kParamTL);
    };
    plan.takeReals = [&](ComponentRecord& r) {
        SubTest& s = r.sub[0];
        if (TakeReal(s.v, Voltage)) {
            s.v = std::clamp(s.v, 0.2, 5.0);
            s.c = s.v / s.nv;
        }
        TakeReal(s.cr, CurrentRange);
        TakeReal(s.c, CurrentLimit);
    };
    return RunComponentStep(call, plan);
}

KORA_EXPORT EN_NEV_RESULT DISCHARGE_ICTX(long stepRef, const char* stepName, long lineCode,
                                         long stepArg, const char* comment, const char* Options,
                                         long BenchIndex, const char* Selected,
                                         const char* Reference, long Timeout) {
    (void)Options; // the discharge has no options of its own
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, kDischargeMethod};
    ComponentStepPlan plan;
    plan.classCode = kClassDischarge;
    plan.bench = BenchIndex;
    plan.method = TestDischarge;
    plan.build = [&](KeptComponent& kept) {
        kept.SetText(kept.record.tl, Selected, kParamTL);
        kept.SetText(kept.record.rl, Reference, kParamRL);
    };
    plan.takeReals = [&](ComponentRecord& r) {
        if (Timeout > 0) {
            r.sub[2].mt = static_cast<double>(Timeout) / 1000.0;
        }
    };
    return RunComponentStep(call, plan);
}
