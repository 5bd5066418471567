// The AC method that the capacitor and the inductor tests share: a sine from the PICT's output
// source, the PSAM's voltage record and the CMU's current record started by one trigger, the
// single-frequency analysis of both, and the series and parallel equivalents of the part. The
// two classes differ only in texts, in the equivalents and in what they subtract; AcClass
// carries the difference.
#pragma once

#include "ictx/measure/component_frame.h"
#include "ictx/measure/sine_analysis.h"

namespace kora {

// The verified quantity, in the order of the model characters of the component file
// ("CP,CS,RP,RS,ZM,ZP" / "LP,LS,RP,RS,ZM,ZP").
enum AcModel : int32_t {
    kModelParallel,
    kModelSeries,
    kModelResParallel,
    kModelResSeries,
    kModelImpedance,
    kModelPhase,
    kAcModels
};

struct AcClass {
    ClassTraits traits;
    const char* optionsSuffix;         // head options in a group of their own ("|OPTIONS"), or null
    const char* modelList;             // "MODEL" keywords, in the order the step editor shows them
    AcModel listModel[kAcModels];      // the model of each keyword of modelList
    const char* modelNames[kAcModels]; // comment names by model ("CAP-PAR", ...)
    const char* modelChars[kAcModels]; // MM by model ("CP", ...)
    const char* averageName;           // "AVERAGE" / "PERIODS"
    const char* stateName;             // "CMU.STAT" / "STAT.CMU"
    const char* adjustGroup;           // limit adjustment group
    const char* calcNames[9];          // DETAILS|CALC: series, parallel, IMP, PHASE, PHASE.T,
                                       // ESR, Xs, EPR, Xp
    const char* impHint;               // "U-I" / "UI"
    const char* systemMarker;          // of the system compensation component, or null
    Compensation system;               // the bench's system value subtracted (kSysC0, kSysL0)
    bool pinConfigurationCheck;        // "Invalid test pin configuration" for unknown pin sets
    Equivalents (*equivalents)(double imp, double phase, double frequency);
};

EN_NEV_RESULT RunAcComponent(ComponentCall& call, const AcClass& cls);

} // namespace kora
