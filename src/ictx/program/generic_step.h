// The step of a component whose class has no test method ("NO TEST" parts, failed compiles,
// unknown class texts): shown to the operator like any component, never measured.
#pragma once

#include "ictx/measure/component_methods.h"

namespace kora {

// Called as a component method. In the define call it enters the component's step, declares
// the component's texts and test pins and records the PI text as the step's result; in save
// mode (kMethodSave) it writes the section into `call.file`.
EN_NEV_RESULT GenericComponentStep(ComponentCall& call);

} // namespace kora
