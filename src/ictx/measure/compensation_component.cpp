#include "ictx/measure/compensation_component.h"

#include "ictx/program/component_classes.h"
#include "ictx/program/component_compile.h"

#include <cstring>

namespace kora {

namespace {

constexpr uint32_t kCompensationFlags = kFlagCompensation | kFlagLocked | kFlagNoReport;

bool Compile(ComponentRecord& out, char* error) {
    out.flags = (out.flags & ~kFlagSelected) | kCompensationFlags;
    out.reportOption = kReportOff | kReportLocked;
    out.compensation = 0;
    return CompileComponent(&out, error) == 0;
}

} // namespace

bool BuildSystemCompensation(ComponentRecord& out, const char* classText, const char* name,
                             const char* hi, const char* lo, char* error) {
    std::memset(&out, 0, sizeof out);
    out.name = name;
    out.classText = classText;
    LookupComponentClass(classText, &out.classCode, &out.subTestCount);
    for (uint32_t k = 0; k < out.subTestCount && k < kSubTests; ++k) {
        out.sub[k].enable = 1;
        out.sub[k].mode = '1';
    }
    out.tp[0] = hi;
    out.tp[1] = lo;
    out.paramMask = kParamTP;
    std::memset(out.variantSet, 0xFF, sizeof out.variantSet);
    return Compile(out, error);
}

bool BuildFixtureCompensation(ComponentRecord& out, const ComponentRecord& component, char* error) {
    out = component;
    // The compensation settings replace what the file gave for the part itself.
    out.paramMask &= ~(kParamNV | kParamNVPlus | kParamNVMinus | kParamLL | kParamUL | kParamV |
                       kParamF | kParamCR | kParamMM | kParamVO | kParamVR);
    for (SubTest& s : out.sub) {
        s.mode = '1';
    }
    out.pt = nullptr;
    out.mm = nullptr;
    return Compile(out, error);
}

} // namespace kora
