// Numbers as an operator reads them: values with SI prefixes and units, limits with operators.
#pragma once

#include <executive/rvo_runtime.h>

#include <string>

namespace kora::run {

// Unit text of a unit code ("V", "A", "Ohm", ...); empty for plain numbers and counts.
std::string UnitText(long unit);
// "1.500 kOhm", "-3.300 mV", "NaN V", "12" (counts); integers keep their digits.
std::string FormatValue(double value, long unit, bool integer = false);
// "4.750 V <= x <= 5.250 V", "x < 10", "" for unchecked values.
std::string FormatLimits(const rvo::Result& r);
// The value of a result of any kind as a display text.
std::string ResultValueText(const rvo::Result& r);
// A number that survives a round trip through text, NaN and infinity included.
std::string ExactNumber(double value);

} // namespace kora::run
