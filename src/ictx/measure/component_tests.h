// The test methods of the component classes, one per class (see FindComponentMethod).
#pragma once

#include "ictx/measure/component_methods.h"

namespace kora {

EN_NEV_RESULT TestResistor(ComponentCall& call);
EN_NEV_RESULT TestContact(ComponentCall& call);
EN_NEV_RESULT TestTrack(ComponentCall& call);
EN_NEV_RESULT TestDischarge(ComponentCall& call);
EN_NEV_RESULT TestCapacitor(ComponentCall& call);
EN_NEV_RESULT TestInductor(ComponentCall& call);
EN_NEV_RESULT TestSetup(ComponentCall& call);
EN_NEV_RESULT TestDigital(ComponentCall& call);
EN_NEV_RESULT TestDiode(ComponentCall& call);
EN_NEV_RESULT TestZDiode(ComponentCall& call);
EN_NEV_RESULT TestTransistor(ComponentCall& call);
EN_NEV_RESULT TestShunt(ComponentCall& call);
EN_NEV_RESULT TestRelay(ComponentCall& call);
EN_NEV_RESULT TestPhotocoupler(ComponentCall& call);
EN_NEV_RESULT TestVaristor(ComponentCall& call);

} // namespace kora
