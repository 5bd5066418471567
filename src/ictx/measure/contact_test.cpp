// The contact and short test of the CONTACT component: which pins are shorted to each other
// (reported in groups) and which needles do not reach the board.
#include "ictx/measure/component_frame.h"
#include "ictx/measure/component_tests.h"
#include "ictx/measure/contact_scan.h"

#include "frame/args.h"
#include "frame/step_frame.h"
#include "frame/text.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace kora {

namespace {

constexpr const char* kModeList = "NO,RESISTOR,CURRENT-LIMIT";
constexpr const char* kResultsList = "NONE,ALL";
constexpr const char* kGroup = "CONTACT";
constexpr const char* kGroupShort = "SETTINGS|SHORT";
constexpr const char* kGroupContact = "SETTINGS|CONTACT";
constexpr const char* kGroupValidation = "VALIDATION";
constexpr const char* kGroupValShort = "VALIDATION|SHORT";
constexpr const char* kGroupValContact = "VALIDATION|CONTACT";
constexpr const char* kGroupCorrection = "VALIDATION|CORRECTION";
constexpr const char* kGroupPins = "TEST PINS";
constexpr const char* kGroupDetails = "DETAILS";
constexpr const char* kGroupDetailShort = "DETAILS|MEASURE|SHORT";
constexpr const char* kGroupDetailContact = "DETAILS|MEASURE|CONTACT";
constexpr const char* kGroupTimes = "DETAILS|TIME";
constexpr const char* kSelectedHint =
    "List of test pins to check in short/contact test (empty = all test pins)";
constexpr const char* kExcludeShortHint = "List of test pins to ignore in short test";
constexpr const char* kExcludeContactHint = "List of test pins to ignore in contact test";
constexpr const char* kListSelected = "SELECTED";
constexpr const char* kListExcludeShort = "EXCLUDE FROM SHORT";
constexpr const char* kListExcludeOpen = "EXCLUDE FROM OPEN";
constexpr const char* kDetailNames[kScanDetails] = {"CURRENT 0", "CURRENT +", "RESISTOR +",
                                                    "CURRENT -", "RESISTOR -"};
constexpr const char* kTimeNames[3] = {"PREPARE", "SETUP", "MEASURE"};
constexpr const char* kShortName = "Short";
constexpr const char* kNoContactName = "No Contact";
constexpr const char* kMemberJoin = " - ";
constexpr const char* kPartnerAll = "ALL";
constexpr const char* kPinPlace = "%s.%s";
constexpr long kFirstShortResult = 30000;
constexpr long kFirstContactResult = 40000;
constexpr long kFirstPinResult = 10000;
constexpr long kVerdictPassed = 1;
constexpr long kVerdictFailed = -1;
constexpr long kLineMarker = 8;
constexpr std::size_t kListSize = 1024;

constexpr ClassTraits kContactClass = {
    "CONTACT", "CONTACT", "ICTX_CONTACT", "ICTX_CONTACT[ %li ]\n", kModeList, kUnitOhm};
constexpr PinTestHead kContactHead = {kGroup, kGroup, "ATTRIBUTE", "ABORT ON FAIL"};

struct ContactBlock {
    ComponentBlock head;
    double shortVoltage, shortRange, shortLimit;
    double openVoltage, openRange, openLimit;
    char results[8];
    char shortMode[16];
    char openMode[16];
    double shortUpper, openLower;
    char selected[kListSize];
    char excludeShort[kListSize];
    char excludeOpen[kListSize];
    char debugPin[64];
    double details[2][kScanDetails];
};

void LoadSettings(ContactBlock& c) {
    const ComponentRecord& r = *c.head.record;
    c.shortVoltage = r.sub[0].v;
    c.shortRange = r.sub[0].cr;
    c.shortLimit = r.sub[0].c;
    c.openVoltage = r.sub[1].v;
    c.openRange = r.sub[1].cr;
    c.openLimit = r.sub[1].c;
    c.shortUpper = r.sub[0].nv;
    c.openLower = r.sub[1].nv;
    c.head.compensation = r.sub[0].mc;
    ModeText(r.sub[0].mode, kModeList, c.shortMode, sizeof c.shortMode);
    ModeText(r.sub[1].mode, kModeList, c.openMode, sizeof c.openMode);
    CopyText(c.results, r.sub[2].mode == 'A' ? "ALL" : "NONE");
    CopyText(c.selected, OrEmpty(r.tl));
    CopyText(c.excludeShort, OrEmpty(r.rl));
    CopyText(c.excludeOpen, OrEmpty(r.xo));
}

void DefineAttributes(ContactBlock& c) {
    ComponentBlock& b = c.head;
    DefinePinTestHead(b, kContactHead);
    rvo_DefineAttrR("VOLTAGE", kGroupShort, &c.shortVoltage, kUnitVolt, "DCS");
    rvo_DefineAttrR("CURRENT RANGE", kGroupShort, &c.shortRange, kUnitAmpere, "MU");
    rvo_DefineAttrR("CURRENT LIMIT", kGroupShort, &c.shortLimit, kUnitAmpere, "DCS");
    rvo_DefineAttrR("VOLTAGE", kGroupContact, &c.openVoltage, kUnitVolt, "DCS");
    rvo_DefineAttrR("CURRENT RANGE", kGroupContact, &c.openRange, kUnitAmpere, "MU");
    rvo_DefineAttrR("CURRENT LIMIT", kGroupContact, &c.openLimit, kUnitAmpere, "DCS");
    for (double* derived : {&c.shortRange, &c.shortLimit, &c.openRange, &c.openLimit}) {
        rvo_SetAttrEnabled(b.component, derived, 0);
    }
    rvo_DefineAttrSList("RESULTS", kGroupValidation, c.results, sizeof c.results, kResultsList,
                        nullptr);
    rvo_DefineAttrSList("ENABLED", kGroupValShort, c.shortMode, sizeof c.shortMode, kModeList,
                        nullptr);
    rvo_DefineAttrR("UPPER LIMIT", kGroupValShort, &c.shortUpper, kUnitOhm, nullptr);
    rvo_DefineAttrSList("ENABLED", kGroupValContact, c.openMode, sizeof c.openMode, kModeList,
                        nullptr);
    rvo_DefineAttrR("LOWER LIMIT", kGroupValContact, &c.openLower, kUnitOhm, nullptr);
    rvo_DefineAttrR("COMPENSATION", kGroupCorrection, &b.compensation, kUnitOhm, nullptr);
    rvo_DefineAttr("SELECTED", kGroupPins, RVO_ATTR_TEXT, c.selected, sizeof c.selected, 0,
                   kSelectedHint);
    rvo_DefineAttr("EXCLUDE FROM SHORT", kGroupPins, RVO_ATTR_TEXT, c.excludeShort,
                   sizeof c.excludeShort, 0, kExcludeShortHint);
    rvo_DefineAttr("EXCLUDE FROM CONTACT", kGroupPins, RVO_ATTR_TEXT, c.excludeOpen,
                   sizeof c.excludeOpen, 0, kExcludeContactHint);
    rvo_DefineAttrSList("DEBUG PIN", kGroupDetails, c.debugPin, sizeof c.debugPin,
                        b.bench->channelListPtr ? b.bench->channelListPtr : "", nullptr);
    for (int k = 0; k < kScanDetails; ++k) {
        const long unit = k == kResistorPlus || k == kResistorMinus ? kUnitOhm : kUnitAmpere;
        rvo_DefineAttrR(kDetailNames[k], kGroupDetailShort, &c.details[0][k], unit, kShown);
        rvo_DefineAttrR(kDetailNames[k], kGroupDetailContact, &c.details[1][k], unit, kShown);
    }
    for (int t = 0; t < 3; ++t) {
        rvo_DefineAttrR(kTimeNames[t], kGroupTimes, &b.times[t], kUnitSecond, kShown);
    }
}

long ContactCallback(long reason, void* context, long contextSize);

void Define(ContactBlock& c, const ComponentCall& call, StepError& error) {
    if (!PrepareComponentBlock(c.head, call, kContactClass, error)) {
        return;
    }
    LoadSettings(c);
    DefineAttributes(c);
    RegisterAttributeCallback(c.head, ContactCallback);
}

ScanMode ModeOf(char mode) {
    return mode == 'N' ? ScanMode::Resistor : mode == 'F' ? ScanMode::CurrentLimit : ScanMode::Off;
}

ScanSettings SettingsOf(const ContactBlock& c, int test) {
    const SubTest& s = c.head.record->sub[test];
    ScanSettings out;
    out.mode = ModeOf(ModeChar(test == 0 ? c.shortMode : c.openMode, kModeList));
    out.voltage = test == 0 ? c.shortVoltage : c.openVoltage;
    out.range = test == 0 ? c.shortRange : c.openRange;
    out.limit = test == 0 ? c.shortLimit : c.openLimit;
    out.ohms = test == 0 ? c.shortUpper : c.openLower;
    out.bound = s.ul;
    out.filter = s.mf;
    out.samples = std::max(1, s.ma);
    out.interval = s.mi > 0 ? s.mi : 5e-6;
    out.delay = s.md;
    return out;
}

// The pins of the selection, and of the short and contact tests, as one mask per module.
struct PinMasks {
    std::vector<PinMask> selected, shortTest, contactTest;
};

bool BuildMasks(const ContactBlock& c, PinMasks& masks, StepError& error) {
    const BenchRecord& bench = *c.head.bench;
    std::vector<const ChannelRecord*> selected, noShort, noContact;
    if (!ResolvePinNames(bench, c.selected, kListSelected, selected, error) ||
        !ResolvePinNames(bench, c.excludeShort, kListExcludeShort, noShort, error) ||
        !ResolvePinNames(bench, c.excludeOpen, kListExcludeOpen, noContact, error)) {
        return false;
    }
    const auto modules = static_cast<std::size_t>(MatrixModuleCount(bench));
    masks.selected.assign(modules, PinMask{});
    std::vector<PinMask> xs(modules), xo(modules);
    auto mark = [&](std::vector<PinMask>& into, const std::vector<const ChannelRecord*>& pins) {
        for (const ChannelRecord* p : pins) {
            if (static_cast<std::size_t>(p->cardIndex) < modules) {
                SetPin(into[static_cast<std::size_t>(p->cardIndex)], p->pinIndex);
            }
        }
    };
    mark(masks.selected, selected);
    mark(xs, noShort);
    mark(xo, noContact);
    for (std::size_t m = 0; m < modules; ++m) {
        if (selected.empty()) {
            const ModulePins pins = PinsOfModule(bench, static_cast<int32_t>(m));
            for (int32_t p = 0; p < kCardPins; ++p) {
                if (pins[p]) {
                    SetPin(masks.selected[m], p);
                }
            }
        }
    }
    masks.shortTest = masks.selected;
    masks.contactTest = masks.selected;
    for (std::size_t m = 0; m < modules; ++m) {
        for (std::size_t w = 0; w < ZQSM160_MASK_WORDS; ++w) {
            masks.shortTest[m][w] &= ~xs[m][w];
            masks.contactTest[m][w] &= ~xo[m][w];
        }
    }
    return true;
}

// Joins the pins' names and their places with " - ".
void GroupTexts(const BenchRecord& bench, const std::vector<const ChannelRecord*>& group,
                std::string& names, std::string& places) {
    char place[160];
    for (const ChannelRecord* p : group) {
        if (!names.empty()) {
            names += kMemberJoin;
            places += kMemberJoin;
        }
        names += p->appName;
        FormatText(place, sizeof place, kPinPlace, bench.switchCards[p->cardIndex].name,
                   p->pinName);
        places += place;
    }
    if (group.size() == 1) {
        names += kMemberJoin;
        names += kPartnerAll;
    }
}

// The per-pin results and the failure count; the step result of the count's verification.
long ReportPins(ContactBlock& c, const PinMasks& masks, std::vector<PinResult>& pins,
                const ScanSettings& shortTest, const ScanSettings& contactTest, long failures,
                const char* comment) {
    ComponentBlock& b = c.head;
    const BenchRecord& bench = *b.bench;
    const long line = (static_cast<long>(b.sectionIndex) << 8) | kLineMarker;
    const long result = rvo_VerifyI(0, b.nameText, line, kUnitFailCount, 0, "", failures, "<=", 0,
                                    RVO_VERDICT_EXECUTIVE, 0.0, b.nameText, comment);
    const bool all = std::strcmp(c.results, "ALL") == 0;
    long number = kFirstPinResult;
    for (std::size_t m = 0; m < masks.selected.size(); ++m) {
        const SwitchCardRecord& card = bench.switchCards[m];
        const ModulePins modulePins = PinsOfModule(bench, static_cast<int32_t>(m));
        for (int32_t p = 0; p < kCardPins; ++p) {
            if (!HasPin(masks.selected[m], p) || !modulePins[p]) {
                continue;
            }
            const ChannelRecord& pin = *modulePins[p];
            PinResult& r = pins[static_cast<std::size_t>(&pin - bench.channels)];
            const bool inShort = HasPin(masks.shortTest[m], p);
            const bool inContact = HasPin(masks.contactTest[m], p);
            if (!inContact && (r.state == kPinUntested || r.state == kPinOpen)) {
                r.state = kPinOpenExcluded;
            } else if (r.state == kPinUntested) {
                r.state = !inShort && !inContact ? kPinExcludedBoth
                          : !inShort             ? kPinExcludedShort
                                                 : kPinNotRun;
            }
            const bool failed =
                r.state == kPinShort || (r.state == kPinOpen && contactTest.mode != ScanMode::Off);
            ++number;
            if (!all && !failed) {
                continue;
            }
            char place[160];
            FormatText(place, sizeof place, kPinPlace, card.name, pin.pinName);
            const bool contactShown = r.state != kPinOpenExcluded && r.state != kPinShort;
            const double value = r.state == kPinShort || contactTest.mode == ScanMode::Off ||
                                         r.state == kPinCharging || r.state == kPinConductive
                                     ? r.shortOhms
                                     : r.contactOhms;
            rvo_VerifyR(number, pin.appName, line, kUnitOhm, shortTest.ohms,
                        shortTest.mode != ScanMode::Off ? "<=" : "", value,
                        contactShown && contactTest.mode != ScanMode::Off ? "<=" : "",
                        contactTest.ohms, failed ? kVerdictFailed : kVerdictPassed, r.seconds,
                        PinStateText(r.state), place);
        }
    }
    return result;
}

thread_local std::vector<PinResult> tlsPins;

long Run(ContactBlock& c, const ComponentCall& call, StepError& error) {
    ComponentBlock& b = c.head;
    BenchRecord& bench = *b.bench;
    b.start = rvo_TSTAMP();
    for (double& t : b.times) {
        t = 0;
    }
    for (auto& test : c.details) {
        std::fill(std::begin(test), std::end(test), 0.0);
    }
    if (!b.enabled || call.inVariant == 0) {
        return 0;
    }
    // The record is the settings' authority: edits write through to it, and a step method's
    // pass may have taken new values over into it since the definition.
    LoadSettings(c);
    ModuleErrors errors;
    long result = 0;
    uint32_t used = 0;
    PinMasks masks;
    const ChannelRecord* debugPin = nullptr;
    if (c.debugPin[0]) {
        int32_t count = 0;
        char ignored[kMessageSize];
        debugPin = ResolveTestPin(bench, c.debugPin, &count, ignored);
    }
    if (OwnSetup(b, call, error) && CheckPinTestHardware(bench, error) &&
        BuildMasks(c, masks, error) && ReleaseOtherUnits(bench, errors)) {
        tlsPins.assign(static_cast<std::size_t>(kMaxChannels), PinResult{});
        const ScanSettings shortTest = SettingsOf(c, 0);
        const ScanSettings contactTest = SettingsOf(c, 1);
        MarkTime(b, kTimePrepare);
        ContactScan scan(bench, b.bus, tlsPins, (static_cast<long>(b.sectionIndex) << 8) | 8,
                         debugPin);
        std::vector<std::vector<const ChannelRecord*>> groups;
        std::vector<const ChannelRecord*> open;
        bool ok = shortTest.mode == ScanMode::Off ||
                  scan.ShortTest(shortTest, b.compensation, masks.shortTest, groups, errors);
        MarkTime(b, kTimeSetup);
        ok = ok && (contactTest.mode == ScanMode::Off ||
                    scan.ContactTest(contactTest, masks.contactTest, open, errors));
        MarkTime(b, kTimeMeasure);
        used = scan.usedModules();
        for (int test = 0; test < 2; ++test) {
            std::copy(scan.details(test), scan.details(test) + kScanDetails, c.details[test]);
        }
        if (ok) {
            const long line = (static_cast<long>(b.sectionIndex) << 8) | kLineMarker;
            long number = kFirstShortResult;
            for (const auto& group : groups) {
                std::string names, places;
                GroupTexts(bench, group, names, places);
                rvo_VerifyS(number++, kShortName, line, 0, names.c_str(), nullptr, nullptr,
                            kVerdictFailed, 0.0, b.nameText, places.c_str());
            }
            number = kFirstContactResult;
            for (const ChannelRecord* pin : open) {
                char place[160];
                FormatText(place, sizeof place, kPinPlace, bench.switchCards[pin->cardIndex].name,
                           pin->pinName);
                rvo_VerifyS(number++, kNoContactName, line, 0, pin->appName, nullptr, nullptr,
                            kVerdictFailed, 0.0, b.nameText, place);
            }
            const long failures = static_cast<long>(groups.size() + open.size());
            result =
                ReportPins(c, masks, tlsPins, shortTest, contactTest, failures, OwnResetText(call));
        }
    }
    DisconnectModules(bench, used, errors);
    MarkTime(b, kTimeCleanup);
    ReportModuleErrors(bench, errors, error);
    OwnCleanup(b, call, error);
    b.usedModules = used;
    for (auto& test : c.details) {
        for (double& d : test) {
            rvo_UpdateAttrR(b.component, &d);
        }
    }
    for (int t = 0; t < 3; ++t) {
        rvo_UpdateAttrR(b.component, &b.times[t]);
    }
    if (error.failed()) {
        return AlertPinTestError(b, kContactClass.alertFormat, error);
    }
    if (result < 0 && b.abortOnFail) {
        return -3;
    }
    return result;
}

// The settings edited in the step editor, into the record.
bool StoreSettings(ContactBlock& c) {
    ComponentBlock& b = c.head;
    ComponentRecord& r = *b.record;
    bool changed = false;
    auto real = [&](double& field, double value, uint32_t bit) {
        if (field != value) {
            field = value;
            r.paramMask |= bit;
            changed = true;
        }
    };
    real(r.sub[0].v, c.shortVoltage, kParamV);
    real(r.sub[1].v, c.openVoltage, kParamV);
    real(r.sub[0].nv, c.shortUpper, kParamNV);
    real(r.sub[1].nv, c.openLower, kParamNV);
    real(r.sub[0].mc, b.compensation, kParamMC);
    // The test currents follow the voltages and limits, as the compile step derives them.
    c.shortLimit = r.sub[0].c = r.sub[0].v / r.sub[0].nv;
    c.openLimit = r.sub[1].c = r.sub[1].v / r.sub[1].nv;
    rvo_UpdateAttrR(b.component, &c.shortLimit);
    rvo_UpdateAttrR(b.component, &c.openLimit);
    const char modes[3] = {ModeChar(c.shortMode, kModeList), ModeChar(c.openMode, kModeList),
                           std::strcmp(c.results, "ALL") == 0 ? 'A' : '-'};
    for (int k = 0; k < 3; ++k) {
        if (r.sub[k].mode != modes[k]) {
            r.sub[k].mode = modes[k];
            r.sub[k].enable = modes[k] != '-' ? 1 : 0;
            r.paramMask |= kParamMM;
            changed = true;
        }
    }
    changed |= StoreRecordText(b, r.tl, c.selected, kParamTL);
    changed |= StoreRecordText(b, r.rl, c.excludeShort, kParamRL);
    changed |= StoreRecordText(b, r.xo, c.excludeOpen, kParamXO);
    return changed;
}

long ContactCallback(long reason, void* context, long contextSize) {
    long answer = -1;
    ComponentBlock* b = EditedBlock(reason, context, contextSize, &answer);
    if (!b) {
        return answer;
    }
    auto& c = *reinterpret_cast<ContactBlock*>(b);
    for (double* value :
         {&c.shortVoltage, &c.openVoltage, &c.shortUpper, &c.openLower, &b->compensation}) {
        rvo_ReadAttrR(b->component, value);
    }
    const SubTest* s = b->record->sub;
    ClampEdited(*b, {{&c.shortVoltage, 0.2, 5.0},
                     {&c.openVoltage, 1.0, 5.0},
                     {&c.shortUpper, s[0].ll, s[0].ul},
                     {&c.openLower, s[1].ll, s[1].ul},
                     {&b->compensation, -kCorrectionBound, kCorrectionBound}});
    rvo_ReadAttrSList(b->component, c.results, sizeof c.results);
    rvo_ReadAttrSList(b->component, c.shortMode, sizeof c.shortMode);
    rvo_ReadAttrSList(b->component, c.openMode, sizeof c.openMode);
    rvo_ReadAttrSList(b->component, c.debugPin, sizeof c.debugPin);
    for (char* list : {c.selected, c.excludeShort, c.excludeOpen}) {
        rvo_ReadAttrS(b->component, list, kListSize);
    }
    StepError error;
    const bool ok = ReadBackHead(*b, error);
    if (StoreSettings(c)) {
        MarkBenchModified(*b);
    }
    rvo_SetAttributeCallback(1, 0);
    if (!ok) {
        rvo_Alert(nullptr, error.message, RVO_ALERT_ERROR);
        return -2;
    }
    return 0;
}

} // namespace

EN_NEV_RESULT TestContact(ComponentCall& call) {
    return RunPinTestMethod<ContactBlock>(
        call, kContactClass, [&](ContactBlock& c, StepError& error) { Define(c, call, error); },
        [&](ContactBlock& c, StepError& error) { return Run(c, call, error); });
}

} // namespace kora
