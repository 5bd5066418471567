// The compensation component of a class: a record flagged COMPENSATION, LOCKED and NOREPORT,
// compiled with its class's compensation settings, which the class's test method measures in
// compensation mode. For the system compensation it stands on two given pins; for the fixture
// compensation it is a copy of a component on that component's own pins.
#pragma once

#include "ictx/program/component_model.h"

namespace kora {

// A record of class `classText` ("CAPACITOR", "INDUCTOR", "RESISTOR") named `name` on the pins
// `hi` and `lo`. False with the compile's message in `error` (kMessageSize bytes).
bool BuildSystemCompensation(ComponentRecord& out, const char* classText, const char* name,
                             const char* hi, const char* lo, char* error);

// A copy of `component` made into its compensation component.
bool BuildFixtureCompensation(ComponentRecord& out, const ComponentRecord& component, char* error);

} // namespace kora
