// The application channel table of a bench: application channel names mapped to device pins.
#pragma once

#include "bench/bench.h"
#include "frame/errors.h"

namespace kora {

// Reads the table named by the bench section's "AppChannelTable" key into `bench`: channel
// records (matrix channels first, sorted by name), counts and the channel keyword list. A bench
// without the key has an empty table. On failure `error` holds the code and message, with the
// bench section named at its end.
bool ReadAppChannelTable(BenchRecord* bench, const char* benchSection, StepError& error);

// Builds the channel keyword list "-,<name1>,<name2>..." of the bench's matrix channels. The
// table counts as changed (see below).
void BuildChannelList(BenchRecord* bench);

// Lookups by channel name keep a table of names beside a bench's channels; whatever rewrites
// channel records (reads, copies, the matrix set-up) says so here, and the generation tells a
// kept table that it is out of date.
void ChannelTableChanged();
uint32_t ChannelTableGeneration();

} // namespace kora
