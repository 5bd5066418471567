// One entry for every parser fuzz target; libFuzzer calls it from the fuzz build, and the
// corpus replay test calls it for each stored input under the sanitizers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kora::fuzz {

// Targets: "devchan" (SplitDevChanAttr), "limits" (ParseLimits, ParseScaled), "keyword"
// (MatchKeyword), "ini" (the resource manager's INI reader), "component" (component files as
// the load step reads them), "serial" (the serial frame format and byte display), "datafile" (the
// data-file readers).
void RunOne(std::string_view target, const uint8_t* data, std::size_t size);

} // namespace kora::fuzz
