#include "ictx/measure/component_methods.h"

#include "ictx/measure/component_tests.h"

namespace kora {

namespace {

struct MethodEntry {
    uint32_t classCode;
    ComponentMethod method;
};

// Classes whose test method exists; every other class runs as a generic "NO TEST" step.
// clang-format off
constexpr MethodEntry kMethods[] = {
    {kClassResistor, TestResistor},
    {kClassDischarge, TestDischarge},
    {kClassContact, TestContact},
    {kClassTrack, TestTrack},
    {kClassCapacitor, TestCapacitor},
    {kClassInductor, TestInductor},
    {kClassSetup, TestSetup},
    // DIGITAL sections run by the vector interpreter
    {kClassDigital, TestDigital},
    {kClassDiode, TestDiode},
    {kClassZDiode, TestZDiode},
    {kClassNpn, TestTransistor},
    {kClassPnp, TestTransistor},
    {kClassNFet, TestTransistor},
    {kClassPFet, TestTransistor},
    {kClassShunt, TestShunt},
    {kClassRelayNo, TestRelay},
    {kClassRelayNc, TestRelay},
    {kClassPhotocoupler, TestPhotocoupler},
    {kClassVaristor, TestVaristor},
};
// clang-format on

} // namespace

ComponentMethod FindComponentMethod(uint32_t classCode) {
    for (const MethodEntry& e : kMethods) {
        if (e.classCode == classCode) {
            return e.method;
        }
    }
    return nullptr;
}

} // namespace kora
