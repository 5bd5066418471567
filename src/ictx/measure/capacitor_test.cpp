// The capacitor test: the AC method with the capacitor's texts, its series and parallel
// capacitance, and the system capacitance subtracted.
#include "ictx/measure/ac_component_test.h"
#include "ictx/measure/component_tests.h"

namespace kora {

namespace {

constexpr AcClass kCapacitorClass = {
    {"CAPACITOR", "CAP0", "ICTX_CAPACITOR", "ICTX_CAPACITOR[ %li ]\n\nBENCH=%s\n\n%s",
     "2-VOLTAGE,4-VSENSED,3-GUARDED,4-GUARDED,6-GUARDED", 14},
    nullptr,
    "CAP-PAR,CAP-SER,RES-PAR,RES-SER,IMPEDANCE,PHASE",
    {kModelParallel, kModelSeries, kModelResParallel, kModelResSeries, kModelImpedance,
     kModelPhase},
    {"CAP-PAR", "CAP-SER", "RES-PAR", "RES-SER", "IMP-MAG", "IMP-PHASE"},
    {"CP", "CS", "RP", "RS", "ZM", "ZP"},
    "AVERAGE",
    "CMU.STAT",
    "VALIDATION|LIMITS|ADJUST",
    {"CSER", "CPAR", "IMP", "PHASE", "PHASE.T", "ESR", "XCs", "EPR", "XCp"},
    "U-I",
    nullptr,
    kSysC0,
    false,
    CapacitorEquivalents,
};

} // namespace

EN_NEV_RESULT TestCapacitor(ComponentCall& call) {
    return RunAcComponent(call, kCapacitorClass);
}

} // namespace kora
