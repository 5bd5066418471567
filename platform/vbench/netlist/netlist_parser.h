// Reading board netlists (see netlist.h for the accepted subset).
//
// Cards: the first line is the title; '*' starts a comment line, ';' and " $" start a comment at
// the end of a line; a line starting with '+' continues the card above. ".model" and ".subckt"
// may come before or after their use. ".include file" reads another file (relative to the one that
// includes it). ".control" ... ".endc" blocks and the analysis and output cards (.op, .ac, .tran,
// .dc, .print, .plot, .save, .probe, .meas, .options) are ignored: which analysis runs is chosen by
// the caller. ".end" ends the file. Anything else is an error naming the file and line.
#pragma once

#include <vbench/netlist/netlist.h>

#include <string>
#include <string_view>

namespace kora::vbench {

// Parses netlist text; fileName is used in error messages and as the base of ".include" paths
// (an empty name means the working directory). Throws NetlistError.
Netlist ParseNetlist(std::string_view text, const std::string& fileName);

// Reads and parses a netlist file. Throws NetlistError (also when the file cannot be read).
Netlist LoadNetlist(const std::string& path);

} // namespace kora::vbench
