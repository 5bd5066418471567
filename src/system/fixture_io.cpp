// SET_SYSTEM and GET_SYSTEM: the signal groups of the fixture control cartridges (system control,
// vacuum, pneumatic and actuator), each a bit field of a cartridge's 16-bit ports.
#include "bench/bench_setup.h"
#include "exports/export.h"
#include "system/system_step.h"

#include <kora/step_methods.h>
#include <rvoapi.h>
#include <ucm.h>

#include <cstring>

namespace kora {
namespace {

constexpr const char* kCartridges = "SSC,VPC,VCC,ACC";
constexpr CartridgeSlot kCartridgeSlotOf[] = {kCartridgeSsc, kCartridgeVpc, kCartridgeVcc,
                                              kCartridgeAcc};
constexpr const char* kChannels =
    "CH1,CH2,CH3,CH4,CH5,CH6,CH7,CH8,CH9,CH10,CH11,CH12,CH13,CH14,CH15,CH16";
constexpr const char* kSscSetGroups = "ISOOUT,HPSWITCH,GND_NO,VFSWITCH,VFENABLE";
constexpr const char* kSscGetGroups = "ISOIN,PWRFAIL";
constexpr const char* kVpcGroups = "PNEUMATIC,VACUUM,ACTUATOR";
constexpr const char* kVccGroups = "VACUUM";
constexpr const char* kAccGroups = "PNEUMATIC";
constexpr const char* kDirections = "IN,OUT";
constexpr const char* kNoPneumatic = "NO PNEUMATIC DEVICE INSTALLED => no execution";
constexpr const char* kNoVacuum = "NO VACUUM DEVICE INSTALLED => no execution";
constexpr const char* kNoActuator = "NO ACTUATOR DEVICE INSTALLED => no execution";
constexpr long kMaskUnit = 0x19;
constexpr uint32_t kVfEnableInverted = 0x0008; // the enable line of bit 3 is active low

// How a group reaches its cartridge.
enum Access : int32_t {
    kIsolatedOut,  // SSC isolated outputs
    kOpenDrainOut, // SSC open-drain outputs
    kIsolatedIn,   // SSC isolated inputs
    kStatusIn,     // SSC status inputs, inverted
    kBothOutputs,  // VPC/VCC/ACC: written to both output kinds, read IN or OUT
};

struct Group {
    int cartridge; // 1-based in kCartridges
    const char* name;
    bool forSet;
    Access access;
    uint32_t field;
    int offset;
    const char* notInstalled; // null: the SSC, which is not checked
    uint32_t inverted;        // bits of the shifted value that are active low
};

constexpr Group kGroups[] = {
    {1, "ISOOUT", true, kIsolatedOut, 0xFFFF, 0, nullptr, 0},
    {1, "HPSWITCH", true, kOpenDrainOut, 0x1FE0, 5, nullptr, 0},
    {1, "GND_NO", true, kOpenDrainOut, 0x0010, 4, nullptr, 0},
    {1, "VFSWITCH", true, kOpenDrainOut, 0xE000, 13, nullptr, 0},
    {1, "VFENABLE", true, kOpenDrainOut, 0x000E, 1, nullptr, kVfEnableInverted},
    {1, "ISOIN", false, kIsolatedIn, 0xFFFF, 0, nullptr, 0},
    {1, "PWRFAIL", false, kStatusIn, 0x00F0, 4, nullptr, 0},
    {2, "PNEUMATIC", true, kBothOutputs, 0x01FE, 1, kNoPneumatic, 0},
    {2, "VACUUM", true, kBothOutputs, 0x0001, 0, kNoVacuum, 0},
    {2, "ACTUATOR", true, kBothOutputs, 0xF700, 9, kNoActuator, 0},
    {3, "VACUUM", true, kBothOutputs, 0xFFFF, 0, kNoVacuum, 0},
    {4, "PNEUMATIC", true, kBothOutputs, 0xFFFF, 0, kNoPneumatic, 0},
};

struct FixtureRecord {
    StepHead head;   // selector: 1 + index in kGroups, 0 when not set up
    int32_t address; // field mask, or the one channel bit
    int32_t readOut; // GET_SYSTEM of VPC/VCC/ACC: 1 reads the isolated outputs
    int32_t mask;    // SetMask or CompMask
    int32_t value;   // SetValue or CompValue
};

// Finds the group of the cartridge and function parts for a set or a get; null when unknown.
const Group* FindGroup(int cartridge, const char* function, bool forSet) {
    const char* lists[] = {forSet ? kSscSetGroups : kSscGetGroups, kVpcGroups, kVccGroups,
                           kAccGroups};
    if (MatchKeyword(function, lists[cartridge - 1]) == 0) {
        return nullptr;
    }
    for (const Group& g : kGroups) {
        if (g.cartridge == cartridge && std::strcmp(g.name, function) == 0 &&
            (g.forSet == forSet || g.access == kBothOutputs)) {
            return &g;
        }
    }
    return nullptr;
}

template <typename Record>
void CompileGroup(StepPass<Record>& pass, const char* devChanAttr, long option, bool forSet,
                  long mask, long value) {
    FixtureRecord& r = *pass.record;
    r.head.selector = 0;
    const int cartridge = CompileSource(pass, devChanAttr, kCartridges, option);
    if (cartridge == 0) {
        return;
    }
    const DevChanParts& parts = r.head.parts;
    const Group* group = FindGroup(cartridge, parts.function, forSet);
    const int channel = MatchKeyword(parts.channel, kChannels);
    const int direction = MatchKeyword(parts.suffix, kDirections);
    r.address = group ? static_cast<int32_t>(group->field) : 0;
    if (group && channel > 0) {
        const uint32_t bit = 1u << (group->offset + channel - 1);
        r.address = (bit & group->field) ? static_cast<int32_t>(bit) : 0;
    }
    const bool needsDirection = !forSet && group && group->access == kBothOutputs;
    if (!group || (parts.channel[0] != 0 && channel == 0) || r.address == 0 ||
        (needsDirection && direction == 0)) {
        RefuseDevChanAttr(pass.error, devChanAttr);
        return;
    }
    r.head.selector = static_cast<int32_t>(group - kGroups) + 1;
    r.readOut = direction == 2;
    r.mask = static_cast<int32_t>(mask);
    r.value = static_cast<int32_t>(value);
    const char* m = forSet ? "SetMask" : "CompMask";
    const char* v = forSet ? "SetValue" : "CompValue";
    rvo_DefineAttrI(m, pass.call.methodName, &r.mask, kMaskUnit, nullptr);
    rvo_DefineAttrI(v, pass.call.methodName, &r.value, kMaskUnit, nullptr);
}

// The group and handle of a set-up step; null with the error set.
const Group* GroupOf(StepError& error, const FixtureRecord& r, const BenchRecord& bench,
                     UCM_HANDLE& handle) {
    if (r.head.selector < 1 || r.head.selector > static_cast<int32_t>(std::size(kGroups))) {
        error.Set(kErrFunction, kInvalidSetting);
        return nullptr;
    }
    const Group& g = kGroups[r.head.selector - 1];
    const DeviceRecord& card = bench.cartridge[kCartridgeSlotOf[g.cartridge - 1]];
    if (g.notInstalled && !card.inUse) {
        error.Set(kErrFunction, g.notInstalled);
        return nullptr;
    }
    handle = card.handle;
    return &g;
}

bool UcmFailed(StepError& error, UCM_STATUS status) {
    return status != UCM_OK && !error.Set(UcmErrorCode(status), UCM_StatusToMSG(status));
}

void PushNumbers(FixtureRecord& r, long mask, long value) {
    r.mask = static_cast<int32_t>(mask);
    r.value = static_cast<int32_t>(value);
    rvo_UpdateAttrI(r.head.component, &r.mask);
    rvo_UpdateAttrI(r.head.component, &r.value);
}

} // namespace
} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT SET_SYSTEM(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     long SetMask, long SetValue) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "SET_SYSTEM"};
    return RunStandardPass<FixtureRecord>(
        call, kKindNone, true,
        [&](auto& pass) { CompileGroup(pass, DevChanAttr, 0, true, SetMask, SetValue); },
        [&](auto& pass) -> EN_NEV_RESULT {
            FixtureRecord& r = *pass.record;
            PushNumbers(r, SetMask, SetValue);
            UCM_HANDLE handle = 0;
            const Group* g = GroupOf(pass.error, r, *pass.bench, handle);
            if (!g) {
                return -2;
            }
            const auto address = static_cast<uint32_t>(r.address);
            const uint32_t mask = (static_cast<uint32_t>(SetMask) << g->offset) & address;
            const uint32_t value =
                ((static_cast<uint32_t>(SetValue) << g->offset) & address) ^ g->inverted;
            const auto m = static_cast<uint16_t>(mask);
            const auto v = static_cast<uint16_t>(value);
            UCM_STATUS status = UCM_OK;
            switch (g->access) {
            case kIsolatedOut:
                status = UCM_SetIsolatedOUT(handle, m, v);
                break;
            case kOpenDrainOut:
                status = UCM_SetOpenDrainOUT(handle, m, v);
                break;
            default:
                status = UCM_SetOpenDrainOUT(handle, m, v);
                if (status == UCM_OK) {
                    status = UCM_SetIsolatedOUT(handle, m, v);
                }
                break;
            }
            if (UcmFailed(pass.error, status)) {
                return -2;
            }
            return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, stepName, lineCode, kMaskUnit, 0, "",
                                                          static_cast<long>(v), "", 0, 0, 0.0,
                                                          DevChanAttr, comment));
        });
}

KORA_EXPORT EN_NEV_RESULT GET_SYSTEM(long stepRef, const char* stepName, long lineCode,
                                     long stepArg, const char* comment, const char* DevChanAttr,
                                     long* Value, long CompMask, long CompValue) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "GET_SYSTEM"};
    return RunStandardPass<FixtureRecord>(
        call, kKindNone, true,
        [&](auto& pass) { CompileGroup(pass, DevChanAttr, 1, false, CompMask, CompValue); },
        [&](auto& pass) -> EN_NEV_RESULT {
            FixtureRecord& r = *pass.record;
            PushNumbers(r, CompMask, CompValue);
            UCM_HANDLE handle = 0;
            const Group* g = GroupOf(pass.error, r, *pass.bench, handle);
            if (!g) {
                return -2;
            }
            uint16_t port = 0;
            UCM_STATUS status = UCM_OK;
            uint32_t raw = 0;
            if (g->access == kStatusIn) {
                status = UCM_GetStatusIN(handle, &port);
                raw = g->field & ~static_cast<uint32_t>(port);
            } else {
                status = g->access == kBothOutputs && r.readOut ? UCM_GetIsolatedOUT(handle, &port)
                                                                : UCM_GetIsolatedIN(handle, &port);
                raw = port;
            }
            if (UcmFailed(pass.error, status)) {
                return -2;
            }
            const long value =
                static_cast<long>((raw & static_cast<uint32_t>(r.address)) >> g->offset);
            if (Value) {
                *Value = value;
            }
            if (CompMask != 0) {
                return static_cast<EN_NEV_RESULT>(rvo_VerifyI(
                    0, stepName, lineCode, kMaskUnit, 0, "", value & CompMask, "=",
                    CompValue & CompMask, RVO_VERDICT_EXECUTIVE, 0.0, DevChanAttr, comment));
            }
            return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, stepName, lineCode, kMaskUnit, 0, "",
                                                          value, "", 0, 0, 0.0, DevChanAttr,
                                                          comment));
        });
}
