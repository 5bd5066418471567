#include "ictx/program/component_params.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace kora {

const KeywordEntry kKeywords[kKeywordCount] = {
    {"PI", "s", 0},
    {"PT", "s", 0},
    {"TP", "P", 0},
    {"TS", "P", 0},
    {"GP", "P", 0},
    {"GS", "P", 0},
    {"NV", "R", 0},
    {"NV+", "R", 0},
    {"NV-", "R", 0},
    {"LL", "R", 0},
    {"UL", "R", 0},
    {"MC", "R", 0},
    {"V", "R", 0},
    {"VO", "R", 0},
    {"C", "R", 0},
    {"F", "R", 0},
    {"AR", "L", 0},
    {"VR", "R", 0},
    {"CR", "R", 0},
    {"MM", "s", 0},
    {"MA", "L", 0},
    {"MD", "R", 0},
    {"MT", "R", 0},
    {"MF", "L", 0},
    {"MI", "R", 0},
    {"SV", "R", 0},
    {"SC", "R", 0},
    {"SI", "L", 0},
    {"SD", "L", 0},
    {"AZ", "L", 0},
    {"TL", "s", 0},
    {"RL", "s", 0},
    {"XS", "s", 0},
    {"XO", "s", 0},
    {"DI", "v+P", kItemDi},
    {"DO", "v+P", kItemDo},
    {"STAT", "P", kItemStat},
    {"DC", "v+P?", kItemDc},
    {"VDI", "+rr", kItemVdi},
    {"VDO", "+rr", kItemVdo},
    {"VDC", "+rr", kItemVdc},
    {"ILIM", "+rrr", kItemIlim},
    {"LABEL", "s", kItemLabel},
    {"?FAIL", "ls", kItemFail},
    {"?PASS", "ls", kItemPass},
    {"?STEQ", "v+s", kItemStateEq},
    {"?STNE", "v+s", kItemStateNe},
    {"REPEAT", "ls", kItemRepeat},
    {"GOTO", "s", kItemGoto},
    {"GROUP", "S+P", kItemGroup},
    {"DTERM", "+ll", kItemDterm},
    {"?ILIM", "s", kItemIlimJump},
    {"INSERT", "+ls", kItemInsert},
    {"PART", "+v", kItemPart},
    {"TO", "r", kItemTo},
    {"?TO", "s", kItemToJump},
    {"VMIR", "+rrP", kItemVmir},
    {"VMOR", "+rrP", kItemVmor},
};

namespace {

// Keywords have at most six characters: packed into one word, they are found in a small hash
// table, mostly at the first probe; a search through the sorted words costs a mispredicted
// branch per step, which showed in the time of a load.
constexpr std::size_t kPackedLength = 8;
constexpr std::size_t kTableSize = 256; // a power of two, several times the keywords

bool Pack(const char* text, uint64_t& packed) {
    packed = 0;
    std::size_t i = 0;
    for (; i < kPackedLength && text[i]; ++i) {
        packed |= static_cast<uint64_t>(static_cast<unsigned char>(text[i]))
                  << (8 * (kPackedLength - 1 - i));
    }
    return text[i] == 0;
}

std::size_t Slot(uint64_t packed) {
    return static_cast<std::size_t>((packed * 0x9E3779B97F4A7C15ull) >> 56) & (kTableSize - 1);
}

struct KeywordIndex {
    std::array<std::pair<uint64_t, int>, kTableSize> table{};     // keyword number 0: empty
    std::array<const NumericParam*, kKeywordCount + 1> numeric{}; // by 1-based keyword number

    KeywordIndex() {
        for (int k = 0; k < kKeywordCount; ++k) {
            uint64_t packed = 0;
            Pack(kKeywords[k].keyword, packed);
            std::size_t slot = Slot(packed);
            while (table[slot].second != 0) {
                slot = (slot + 1) & (kTableSize - 1);
            }
            table[slot] = {packed, k + 1};
        }
    }

    int Find(const char* keyword) const {
        uint64_t packed = 0;
        if (!keyword || !Pack(keyword, packed)) {
            return 0;
        }
        for (std::size_t slot = Slot(packed); table[slot].second != 0;
             slot = (slot + 1) & (kTableSize - 1)) {
            if (table[slot].first == packed) {
                return table[slot].second;
            }
        }
        return 0;
    }
};

const KeywordIndex& Index() {
    static const KeywordIndex index = [] {
        KeywordIndex built;
        for (const NumericParam& p : kNumericParams) {
            built.numeric[static_cast<std::size_t>(built.Find(p.keyword))] = &p;
        }
        return built;
    }();
    return index;
}

} // namespace

int FindKeyword(const char* keyword) {
    return Index().Find(keyword);
}

const char* ItemKeyword(uint32_t type) {
    if (type == kItemComment) {
        return "//";
    }
    if (type == kItemMd) {
        return "MD"; // a parameter keyword that makes items in DIGITAL sections
    }
    for (const KeywordEntry& k : kKeywords) {
        if (k.type == type && type != 0) {
            return k.keyword;
        }
    }
    return "";
}

const NumericParam kNumericParams[kNumericParamCount] = {
    {"MC", "MC=", kParamMC, 0, &SubTest::mc, nullptr},
    {"UL", "UL=", kParamUL, 0, &SubTest::ul, nullptr},
    {"NV+", "NV+=", kParamNVPlus, 0, &SubTest::nvPlus, nullptr},
    {"NV", "NV=", kParamNV, 0, &SubTest::nv, nullptr},
    {"NV-", "NV-=", kParamNVMinus, 0, &SubTest::nvMinus, nullptr},
    {"LL", "LL=", kParamLL, 0, &SubTest::ll, nullptr},
    {"V", "V =", kParamV, 0, &SubTest::v, nullptr},
    {"VO", "VO=", kParamVO, 0, &SubTest::vo, nullptr},
    {"C", "C =", kParamC, 0, &SubTest::c, nullptr},
    {"CR", "CR=", kParamCR, 0, &SubTest::cr, nullptr},
    {"F", "F =", kParamF, 0, &SubTest::f, nullptr},
    {"SD", "SD=", kParamSD, 0, nullptr, &SubTest::sd},
    {"SV", "SV=", kParamSV, 0, &SubTest::sv, nullptr},
    {"SC", "SC=", kParamSC, 0, &SubTest::sc, nullptr},
    {"SI", "SI=", kParamSI, 0, nullptr, &SubTest::si},
    {"MD", "MD=", kParamMD, 0, &SubTest::md, nullptr},
    {"MA", "MA=", kParamMA, 0, nullptr, &SubTest::ma},
    {"MT", "MT=", kParamMT, 0, &SubTest::mt, nullptr},
    {"MI", "MI=", kParamMI, 0, &SubTest::mi, nullptr},
    {"MF", "MF=", kParamMF, 0, nullptr, &SubTest::mf},
    {"AR", "AR=", kParamAR, 0, nullptr, &SubTest::ar},
    {"AZ", "AZ=", 0, kParam2AZ, nullptr, &SubTest::az},
    {"VR", "VR=", kParamVR, 0, &SubTest::vr, nullptr},
};

const NumericParam* FindNumericParam(const char* keyword) {
    const KeywordIndex& index = Index();
    return index.numeric[static_cast<std::size_t>(index.Find(keyword))];
}

const NumericParam* NumericParamOf(int k) {
    return k > 0 && k <= kKeywordCount ? Index().numeric[static_cast<std::size_t>(k)] : nullptr;
}

} // namespace kora
