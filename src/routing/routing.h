// Routing lists: the pre- and post-routing texts of the measuring steps, their execution on the
// active bench's routing, the rewrite of routing failures into application channel names, and
// the routing display of a bench.
#pragma once

#include "bench/bench.h"
#include "frame/errors.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kora {

constexpr std::size_t kRoutingTextSize = 256;

// Prepares the two routing texts of a step: copies them (null gives "") into the outputs of
// `size` bytes; a post-routing text that begins with "#|" becomes the pre-routing text with every
// ">" turned into "|", undoing its connections. 0, or 1 with `message` set when a text does not
// fit (a text of size - 1 characters or more).
int32_t _CompileRouting(const char* preText, const char* postText, char* preOut, char* postOut,
                        std::size_t size, char* message);

// ROUTE_Execute on the bench's routing handle. On a connection failure (-37005) each "A > B"
// line of the message is rewritten to "A (appA) > B (appB)" with the bench's application channel
// names. Returns what ROUTE_Execute returned.
int32_t RouteExecute(const BenchRecord* bench, const char* command, int32_t* status,
                     int32_t* errorCode, char* message);

// The application channel name of a physical channel name ("DEVICE!PIN") in the channel table of
// the bench, compared without regard to case; "" when there is none. `out` holds 64 bytes.
void ResolveChannelName(const char* physicalName, const char* benchName, char* out,
                        std::size_t size);

// Runs a routing list of a measuring step ("PreRoute" or "PostRoute" as `source`). An empty text
// runs nothing; on a bench without routing the list fails on the invalid handle. A positive result
// of the switching library is a warning the step carries on after: its warning line goes to
// `warning` (kWarningSize bytes). A negative one is the step's error: false.
bool RunRoutingList(const BenchRecord* bench, const char* text, const char* source, char* warning,
                    StepError& error);

// The routing command that disconnects every connected first-level entry of the bench's routing
// display: "%,A||,B||", and "%," when nothing is connected.
std::string DisconnectAllCommand(const BenchRecord* bench);

// Shows the bench's present connections in the message window (level 1).
void ShowRouting(const BenchRecord* bench, const char* stepName);

} // namespace kora
