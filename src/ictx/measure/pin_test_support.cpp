#include "ictx/measure/pin_test_support.h"

#include "frame/args.h"
#include "frame/step_frame.h"
#include "frame/text.h"
#include "ictx/measure/unit_control.h"
#include "ictx/program/component_writer.h"
#include "ictx/program/pin_list.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace kora {

namespace {

constexpr const char* kPsamType = "PSAM";
constexpr const char* kPinNotDefined = "%s pin '%s' not defined";
constexpr const char* kResetIctx = "RESET: ICTX";
constexpr const char* kResetRouteIctx = "RESET: ROUTE,ICTX";
constexpr const char* kAlertAttr = "\nATTR=%s\n";
constexpr const char* kAlertBench = "\nBENCH=%s\n";
constexpr const char* kAlertText = "\n%s";
constexpr long kAnswerIgnore = 11;
constexpr int32_t kPsuCouplingOff = 8;
constexpr int32_t kCmuOpen = 0;
constexpr double kCmuKeep = -1.0;

} // namespace

bool CheckPinTestHardware(const BenchRecord& bench, StepError& error) {
    const IctModuleRecord& psam = bench.ictModules[kIctPsam];
    if (!psam.inUse || std::strcmp(psam.type, kPsamType) != 0) {
        return error.Set(kErrResource, kNoIctPsam);
    }
    if (MatrixModuleCount(bench) == 0) {
        return error.Set(kErrResource, kNoIctMatrix);
    }
    return true;
}

bool ReleaseOtherUnits(BenchRecord& bench, ModuleErrors& errors) {
    IctHardware& ict = bench.ict;
    if (bench.ictModules[kIctPict].inUse) {
        const ViSession pict = bench.ictModules[kIctPict].handle;
        errors.pict = ConfigureCmu(ict.cmu, pict, kCmuOpen, 0, 0, 0, 0, 0, kCmuKeep, kCmuKeep,
                                   kKeep, kCmuKeep, kCmuKeep, kKeep);
        if (errors.pict < 0) {
            return false;
        }
        errors.pict = 0;
    }
    if (bench.ictModules[kIctPsu].inUse) {
        errors.psu = ConfigurePsu(ict.psu, bench.ictModules[kIctPsu].handle, kPsuCouplingOff, kKeep,
                                  kKeep, kKeepReal, kKeepReal, kKeep, kKeep, kKeepReal, kKeepReal);
        if (errors.psu < 0) {
            return false;
        }
        errors.psu = 0;
    }
    return true;
}

int32_t MatrixModuleCount(const BenchRecord& bench) {
    int32_t n = 0;
    while (n < kSwitchCards && bench.switchCards[n].inUse) {
        ++n;
    }
    return n;
}

ModulePins PinsOfModule(const BenchRecord& bench, int32_t card) {
    ModulePins pins{};
    const SwitchCardRecord& c = bench.switchCards[card];
    for (int32_t k = 0; k < c.channelCount && k < kCardPins; ++k) {
        const ChannelRecord* ch = c.channels[k];
        if (ch && ch->pinIndex >= 0 && ch->pinIndex < kCardPins && !pins[ch->pinIndex]) {
            pins[ch->pinIndex] = ch;
        }
    }
    return pins;
}

bool ResolvePinNames(const BenchRecord& bench, const char* text, const char* listName,
                     std::vector<const ChannelRecord*>& pins, StepError& error) {
    pins.clear();
    std::string_view rest = OrEmpty(text);
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        std::string_view name = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) {
            name.remove_prefix(1);
        }
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
            name.remove_suffix(1);
        }
        if (name.empty()) {
            continue;
        }
        const ChannelRecord* pin = FindChannel(&bench, name);
        if (!pin || pin->cardIndex < 0) {
            const std::string copy(name);
            return error.SetF(kErrResource, kPinNotDefined, listName, copy.c_str());
        }
        pins.push_back(pin);
    }
    return true;
}

bool MovePin(const BenchRecord& bench, const ChannelRecord& pin, int32_t a, int32_t b, int32_t c,
             int32_t d, uint32_t& usedModules, ModuleErrors& errors) {
    const ViSession module = ModuleHandle(bench, pin.cardIndex);
    usedModules |= 1u << (pin.cardIndex & 31);
    errors.sm160 = ZQsm160_quickConnectABCD(module, pin.channelId, a, b, c, d, 0);
    if (errors.sm160 >= 0) {
        errors.sm160 = ZQsm160_WaitForDebounce(module, kDebounceMs);
    }
    if (errors.sm160 < 0) {
        return false;
    }
    errors.sm160 = 0;
    return true;
}

bool ConnectPinArrays(const BenchRecord& bench, const std::vector<PinMask>& masks,
                      const BusChannelIds& bus, BusLine first, BusLine second,
                      uint32_t& usedModules, ModuleErrors& errors) {
    const int32_t modules =
        std::min<int32_t>(MatrixModuleCount(bench), static_cast<int32_t>(masks.size()));
    for (int32_t m = 0; m < modules; ++m) {
        const ViSession module = ModuleHandle(bench, m);
        usedModules |= 1u << (m & 31);
        errors.sm160 = ZQsm160_quickConnectArray(module, masks[static_cast<std::size_t>(m)].data(),
                                                 bus[first], bus[second]);
        if (errors.sm160 >= 0) {
            errors.sm160 = ZQsm160_WaitForDebounce(module, kDebounceMs);
        }
        if (errors.sm160 < 0) {
            return false;
        }
        errors.sm160 = 0;
    }
    return true;
}

void DisconnectModules(const BenchRecord& bench, uint32_t usedModules, ModuleErrors& errors) {
    for (int32_t m = 0; m < 32; ++m) {
        if (!((usedModules >> m) & 1u)) {
            continue;
        }
        const ViStatus s = ZQsm160_hscDisconnectAll(ModuleHandle(bench, m));
        if (s < 0 && errors.sm160 == 0) {
            errors.sm160 = s;
        }
    }
}

bool OwnSetup(ComponentBlock& b, const ComponentCall& call, StepError& error) {
    if (!call.ownHardware.enabled) {
        return true;
    }
    char message[kMessageSize] = {};
    double elapsed = 0;
    const long routeMode = call.ownHardware.afterIctStep ? 0 : 1;
    const uint32_t code = IctSetup(kOwnSetupResults, *b.bench, routeMode,
                                   call.ownHardware.reportLevel, &elapsed, message);
    if (code != 0) {
        return error.Set(code, message);
    }
    return true;
}

void OwnCleanup(ComponentBlock& b, const ComponentCall& call, StepError& error) {
    if (!call.ownHardware.enabled) {
        return;
    }
    char message[kMessageSize] = {};
    double elapsed = 0;
    const uint32_t code = IctCleanup(kOwnCleanupResults, *b.bench, !call.ownHardware.afterIctStep,
                                     call.ownHardware.reportLevel, &elapsed, message);
    if (code != 0 && !error.failed()) {
        error.Set(code, message);
    }
}

const char* OwnResetText(const ComponentCall& call) {
    if (!call.ownHardware.enabled) {
        return "";
    }
    return call.ownHardware.afterIctStep ? kResetIctx : kResetRouteIctx;
}

long AlertPinTestError(ComponentBlock& b, const char* head, StepError& error) {
    char text[kReportSize];
    FormatText(text, sizeof text, head, static_cast<long>(b.sectionIndex));
    char part[kReportSize];
    FormatText(part, sizeof part, kAlertAttr, b.idText);
    AppendText(text, sizeof text, part);
    FormatText(part, sizeof part, kAlertBench, b.bench ? b.bench->name : "");
    AppendText(text, sizeof text, part);
    FormatText(part, sizeof part, kAlertText, error.message);
    AppendText(text, sizeof text, part);
    const long answer = rvo_Alert(nullptr, text, RVO_ALERT_ERROR);
    const long result = answer == RVO_ANSWER_STOP ? -5 : -2;
    rvo_SetSTEPResult(result);
    if (answer == kAnswerIgnore) {
        error.Clear();
    }
    return result;
}

void DefinePinTestHead(ComponentBlock& b, const PinTestHead& head) {
    rvo_DefineAttrS("TYPE", head.group, b.typeText, 0, nullptr);
    rvo_DefineAttrS("NAME", head.group, b.nameText, 0, nullptr);
    rvo_DefineAttrS(head.idName, head.group, b.idText, 0, nullptr);
    rvo_DefineAttrS("INFO", head.group, b.infoText, 0, nullptr);
    rvo_DefineAttr("VARIANT", head.group, RVO_ATTR_TEXT, b.variant, sizeof b.variant, 0, nullptr);
    rvo_DefineAttrI("ENABLED", head.flagGroup, &b.enabled, 0, kBoolean);
    rvo_DefineAttrI("LOCKED", head.flagGroup, &b.locked, 0, kBoolean);
    rvo_DefineAttrI("REPORT", head.flagGroup, &b.report, 0, kBoolean);
    rvo_DefineAttrI(head.abortName, head.flagGroup, &b.abortOnFail, 0, kBoolean);
}

void ModeText(char mode, const char* list, char* out, std::size_t size) {
    const int index = mode == 'N' ? 2 : mode == 'F' ? 3 : 1;
    std::string_view rest = list;
    for (int k = 1; k < index && !rest.empty(); ++k) {
        const std::size_t comma = rest.find(',');
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    CopyText(out, size, rest.substr(0, rest.find(',')));
}

char ModeChar(const char* text, const char* list) {
    switch (MatchKeyword(text, list)) {
    case 2:
        return 'N';
    case 3:
        return 'F';
    default:
        return '-';
    }
}

bool StoreRecordText(ComponentBlock& b, const char*& field, const char* text, uint32_t bit) {
    if (std::strcmp(OrEmpty(field), text) == 0) {
        return false;
    }
    field = text[0] ? text : nullptr;
    b.record->paramMask |= bit;
    MarkBenchModified(b);
    return true;
}

EN_NEV_RESULT SaveComponent(ComponentCall& call) {
    if (WriteComponentSection(call.file, call.record, call.availableVariants) != 0) {
        if (call.errorCode) {
            *call.errorCode = kErrResource;
        }
        return -2;
    }
    return 0;
}

} // namespace kora
