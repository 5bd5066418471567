#include "ictx/program/component_classes.h"

#include "frame/args.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace kora {

namespace {

constexpr const char* kClassTexts = "SETUP,DISCHARGE,CONTACT,TRACK,CAPACITOR,INDUCTOR,RESISTOR,"
                                    "DIODE,PHOTOCOUPLER,TRANSISTOR,FET,SHUNT,Z-DIODE,VARISTOR,"
                                    "RELAY,DIGITAL";

struct ClassEntry {
    uint32_t code;
    uint32_t subTests;
};
// In the order of kClassTexts.
constexpr ClassEntry kClasses[] = {
    {kClassSetup, 0},        {kClassDischarge, 2},  {kClassContact, 2},  {kClassTrack, 1},
    {kClassCapacitor, 1},    {kClassInductor, 1},   {kClassResistor, 1}, {kClassDiode, 2},
    {kClassPhotocoupler, 3}, {kClassTransistor, 2}, {kClassFet, 2},      {kClassShunt, 1},
    {kClassZDiode, 1},       {kClassVaristor, 2},   {kClassRelay, 3},    {kClassDigital, 0},
};

struct CountEntry {
    int32_t id;
    const char* name;
    uint32_t codes[2]; // 0 = unused; the COMPENSATION line has none
};
constexpr CountEntry kCountLines[kClassCountLines] = {
    {1000, "COMPENSATION", {0, 0}},
    {1001, "SETUP", {kClassSetup, 0}},
    {1002, "DISCHARGE", {kClassDischarge, 0}},
    {1003, "CONTACT", {kClassContact, 0}},
    {1004, "TRACK", {kClassTrack, 0}},
    {1005, "RESISTOR", {kClassResistor, 0}},
    {1006, "CAPACITOR", {kClassCapacitor, 0}},
    {1007, "INDUCTOR", {kClassInductor, 0}},
    {1008, "DIODE", {kClassDiode, 0}},
    {1009, "Z-DIODE", {kClassZDiode, 0}},
    {1010, "NPN-TRANSISTOR", {kClassNpn, 0}},
    {1011, "PNP-TRANSISTOR", {kClassPnp, 0}},
    {1012, "N-FET-TRANSISTOR", {kClassNFet, 0}},
    {1012, "P-FET-TRANSISTOR", {kClassPFet, 0}},
    {1013, "PHOTOCOUPLER", {kClassPhotocoupler, 0}},
    {1014, "SHUNT RESISTOR", {kClassShunt, 0}},
    {1015, "RELAY", {kClassRelayNo, kClassRelayNc}},
    {1016, "VARISTOR", {kClassVaristor, 0}},
    {1099, "NO TEST", {kClassNoTest, 0}},
    {1101, "DIGITAL TEST", {kClassDigital, 0}},
};

} // namespace

// Once per section header: by hash over the class names, which hold no blanks, so an exact
// match is what MatchKeyword would find.
void LookupComponentClass(const char* classText, uint32_t* classCode, uint32_t* subTests) {
    static const auto* const index = [] {
        auto* map = new std::unordered_map<std::string_view, int>();
        const std::string_view list = kClassTexts;
        int k = 1;
        for (std::size_t from = 0; from <= list.size(); ++k) {
            const std::size_t comma = std::min(list.find(',', from), list.size());
            map->emplace(list.substr(from, comma - from), k);
            from = comma + 1;
        }
        return map;
    }();
    const auto it = classText ? index->find(classText) : index->end();
    const int k = it == index->end() ? 0 : it->second;
    if (k > 0) {
        *classCode = kClasses[k - 1].code;
        *subTests = kClasses[k - 1].subTests;
    } else {
        *classCode = kClassNoTest;
        *subTests = 3;
    }
}

const char* ComponentClassText(const ComponentRecord& record) {
    switch (record.classCode) {
    case kClassSetup:
        return "SETUP";
    case kClassDischarge:
        return "DISCHARGE";
    case kClassContact:
        return "CONTACT";
    case kClassTrack:
        return "TRACK";
    case kClassCapacitor:
        return "CAPACITOR";
    case kClassInductor:
        return "INDUCTOR";
    case kClassResistor:
        return "RESISTOR";
    case kClassDiode:
        return "DIODE";
    case kClassPhotocoupler:
        return "PHOTOCOUPLER";
    case kClassTransistor:
    case kClassNpn:
    case kClassPnp:
        return "TRANSISTOR";
    case kClassFet:
    case kClassNFet:
    case kClassPFet:
        return "FET";
    case kClassShunt:
        return "SHUNT";
    case kClassZDiode:
        return "Z-DIODE";
    case kClassRelayNo:
    case kClassRelayNc:
        return "RELAY";
    case kClassDigital:
        return "DIGITAL";
    default:
        return record.classText ? record.classText : "";
    }
}

const char* CompensationValueName(uint32_t classCode) {
    switch (classCode) {
    case kClassCapacitor:
        return "CAP0";
    case kClassInductor:
        return "IND0";
    case kClassResistor:
        return "RES0";
    default:
        return nullptr;
    }
}

int32_t CountComponentClasses(const ComponentRecord* components, int32_t count,
                              ClassCount (&lines)[kClassCountLines]) {
    for (int i = 0; i < kClassCountLines; ++i) {
        lines[i] = ClassCount{kCountLines[i].name, kCountLines[i].id, 0};
    }
    for (int32_t n = 0; n < count; ++n) {
        const ComponentRecord& c = components[n];
        if (c.flags & kFlagCompensation) {
            lines[0].count++;
            continue;
        }
        for (int i = 1; i < kClassCountLines; ++i) {
            const uint32_t* codes = kCountLines[i].codes;
            if (c.classCode == codes[0] || (codes[1] != 0 && c.classCode == codes[1])) {
                lines[i].count++;
                break;
            }
        }
    }
    return count;
}

} // namespace kora
