// Numbers as SPICE writes them: a decimal number in C-locale form followed by an optional scale
// factor (T G MEG K MIL M U N P F, any case) and optional unit letters that are ignored, so
// "4.7k", "10Meg", "2.2uF" and "1e-3" all read. Note that "F" alone is femto, as in SPICE.
#pragma once

#include <optional>
#include <string_view>

namespace kora::vbench {

// The value of the whole text, or nothing when it does not start with a number. The process
// locale plays no part.
std::optional<double> ParseSpiceNumber(std::string_view text);

} // namespace kora::vbench
