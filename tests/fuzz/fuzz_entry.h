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
// data-file readers), "program" (kora-run's program loader, with its
// YAML subset reader checked against libyaml), "netlist" (board netlists),
// "station" (the physical layer file with its board and fixture), "routing" (routing tables and
// the routing texts of a step).
void RunOne(std::string_view target, const uint8_t* data, std::size_t size);

} // namespace kora::fuzz
