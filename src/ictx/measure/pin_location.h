// The pin location tool: an operator touches fixture needles with a probe on system ground and
// the tool lists every matrix pin that shows contact. It runs as a station callback of the
// executive, which SETUP_KORA registers; the step method PINTEST_ICT does not run it.
#pragma once

namespace kora {

// Registers "CALLBACK PINLOCATION" with the executive (replacing an older registration), with the
// bus channel ids fetched into its data block.
void RegisterPinLocationCallback();

} // namespace kora
