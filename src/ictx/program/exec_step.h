// What EXEC_ICTX shares with the save of a component program: the way to a class's test method.
#pragma once

#include "ictx/measure/component_methods.h"

#include <cstdint>

namespace kora {

// The test method of a class code: FindComponentMethod's answer unless a test has put another
// lookup in its place (null restores FindComponentMethod). Null for classes without a method.
ComponentMethod ComponentMethodOf(uint32_t classCode);

using ComponentMethodLookup = ComponentMethod (*)(uint32_t classCode);
void SetComponentMethodLookup(ComponentMethodLookup lookup);

} // namespace kora
