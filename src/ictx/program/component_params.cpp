#include "ictx/program/component_params.h"

#include <cstring>

namespace kora {

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
    for (const NumericParam& p : kNumericParams) {
        if (std::strcmp(p.keyword, keyword) == 0) {
            return &p;
        }
    }
    return nullptr;
}

} // namespace kora
