#include "ictx/program/generic_step.h"

#include "frame/step_frame.h"
#include "frame/text.h"
#include "ictx/measure/ict_hardware.h"
#include "ictx/program/component_writer.h"
#include "ictx/program/ictx_pass.h"

#include <rvoapi.h>

#include <cstddef>

namespace kora {

namespace {

constexpr const char* kGenericMethod = "NO TEST";
constexpr const char* kPinGroup = "TEST PINS";
// The writer's own text for a file that stops taking data.
constexpr const char* kWriteError = "File Open Error";
constexpr long kComponentLine = 8; // or'ed into the line code: the step is a component's
constexpr std::size_t kPinNameSize = 64;

enum PinSlot { kTp1, kTp2, kTp3, kTp4, kTs1, kTs2, kGp1, kGp2, kGp3, kGp4, kGs, kPinSlots };

struct PinAttribute {
    const char* name;
    const char* category;
};
constexpr PinAttribute kPinAttributes[kPinSlots] = {
    {"TP1", "Test"},  {"TP2", "Test"},  {"TP3", "Test"},  {"TP4", "Test"},
    {"TS1", "Sense"}, {"TS2", "Sense"}, {"GP1", "Guard"}, {"GP2", "Guard"},
    {"GP3", "Guard"}, {"GP4", "Guard"}, {"GS", "Sense"},
};

// The executive keeps it per component step; the pin selections are edited in place.
struct GenericRecord {
    void* component;
    char pins[kPinSlots][kPinNameSize];
};

const char* PinText(const ComponentRecord& r, int slot) {
    if (slot <= kTp4) {
        return r.tp[slot - kTp1];
    }
    if (slot <= kTs2) {
        return r.ts[slot - kTs1];
    }
    if (slot <= kGp4) {
        return r.gp[slot - kGp1];
    }
    return r.gs;
}

// A pin is offered as a selection from the bench's channel list only when the list holds it;
// a text that names no channel is shown in the message window instead.
void DefinePins(GenericRecord& data, const BenchRecord& bench, const ComponentRecord& r) {
    for (int slot = 0; slot < kPinSlots; ++slot) {
        const char* text = PinText(r, slot);
        char error[kMessageSize] = {};
        int32_t walked = 0;
        const ChannelRecord* channel = ResolveTestPin(bench, text, &walked, error);
        if (!channel) {
            if (text && text[0]) {
                rvo_GUIMessage(1, error);
            }
            continue;
        }
        CopyText(data.pins[slot], channel->appName);
        rvo_DefineAttrSList(kPinAttributes[slot].name, kPinGroup, data.pins[slot],
                            static_cast<long>(kPinNameSize), bench.channelList,
                            kPinAttributes[slot].category);
    }
}

void Define(GenericRecord& data, const ComponentCall& call, long lineCode) {
    const ComponentRecord& r = *call.record;
    const char* group = OrEmpty(r.classText);
    data.component = rvo_GetCurrentComponent();
    rvo_DefineAttrS("NAME", group, OrEmpty(call.name), 0, OrEmpty(r.comment));
    rvo_DefineAttrS("TYPE", group, OrEmpty(r.pt), 0, nullptr);
    rvo_DefineAttrS("PART.ID", group, OrEmpty(r.pi), 0, nullptr);
    rvo_DefineAttrS("INFO", group, OrEmpty(r.info), 0, nullptr);
    rvo_DefineAttrS("VARIANT", group, r.variantText, 0, nullptr);
    if (call.bench) {
        DefinePins(data, *call.bench, r);
    }
    rvo_VerifyS(0, OrEmpty(call.name), lineCode, 0, OrEmpty(r.pi), nullptr, nullptr,
                RVO_VERDICT_EXECUTIVE, 0.0, "", OrEmpty(r.comment));
}

EN_NEV_RESULT Save(ComponentCall& call) {
    if (WriteComponentSection(call.file, call.record, call.availableVariants) != 0) {
        *call.errorCode = kErrResource;
        CopyText(call.errorText, kMessageSize, kWriteError);
        return -2;
    }
    return 0;
}

} // namespace

EN_NEV_RESULT GenericComponentStep(ComponentCall& call) {
    if (call.mode == kMethodSave) {
        return Save(call);
    }
    const long lineCode =
        (static_cast<long>(call.record->index) << 8) | kComponentLine | call.lineFlags;
    for (;;) {
        void* data = nullptr;
        uint32_t code = 0;
        const long phase =
            _EnterStep_KORA(kKindNone, lineCode, call.stepId, call.name, call.option,
                            OrEmpty(call.record->comment), kGenericMethod, nullptr,
                            static_cast<int32_t>(sizeof(GenericRecord)), &data, &code, nullptr);
        if (phase == kPhaseSkip || phase == kPhaseAbort) {
            rvo_ExitSTEP();
            return static_cast<EN_NEV_RESULT>(phase);
        }
        // Nothing is ever measured: the declaration is the whole step.
        if ((phase == RVO_PHASE_COMPILE || phase == RVO_PHASE_COMPILE_RUN) && data) {
            Define(*static_cast<GenericRecord*>(data), call, lineCode);
        }
        if (rvo_ExitSTEP() != RVO_EXIT_AGAIN) {
            return 0;
        }
    }
}

} // namespace kora
