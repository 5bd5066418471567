// The inductor test: the AC method with the inductor's texts, its series and parallel
// inductance, and the system inductance subtracted.
#include "ictx/measure/ac_component_test.h"
#include "ictx/measure/component_tests.h"

namespace kora {

namespace {

// The model keywords list the series model first, the model characters the parallel one ("LP"):
// each keyword is bound to the model of its meaning, so "LP" selects IND-PAR.
constexpr AcClass kInductorClass = {
    {"INDUCTOR", "IND0", "ICTX_INDUCTOR", "ICTX_INDUCTOR[ %li ]\n\nBENCH=%s\n\n%s",
     "2-VOLTAGE,4-VSENSED,3-GUARDED,4-GUARDED,6-GUARDED", 15},
    "|OPTIONS",
    "IND-SER,IND-PAR,RES-PAR,RES-SER,IMPEDANCE,PHASE",
    {kModelSeries, kModelParallel, kModelResParallel, kModelResSeries, kModelImpedance,
     kModelPhase},
    {"IND-PAR", "IND-SER", "RES-PAR", "RES-SER", "IMP-MAG", "IMP-PHASE"},
    {"LP", "LS", "RP", "RS", "ZM", "ZP"},
    "PERIODS",
    "STAT.CMU",
    "VALIDATION|ADJUST",
    {"LSER", "LPAR", "IMP", "PHASE", "tPHASE", "ESR", "XLs", "EPR", "XLp"},
    "UI",
    ".SYSL0",
    kSysL0,
    true,
    InductorEquivalents,
};

} // namespace

EN_NEV_RESULT TestInductor(ComponentCall& call) {
    return RunAcComponent(call, kInductorClass);
}

} // namespace kora
