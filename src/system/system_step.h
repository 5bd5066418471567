// Shared pieces of the system step methods: the check of the source or cartridge named in the
// device part of DevChanAttr.
#pragma once

#include "frame/step_frame.h"
#include "frame/text.h"

namespace kora {

// DevChanAttr is the first argument of every system step (#6).
constexpr int kDevChanArgument = 6;

// Refuses a keyword of DevChanAttr: the step result -2 and 0x81000006 with the argument's text.
inline bool RefuseDevChanAttr(StepError& error, const char* devChanAttr) {
    rvo_SetSTEPResult(-2);
    return error.Set(ParamError(kDevChanArgument), OrNull(devChanAttr));
}

// Splits DevChanAttr, defines its attribute and matches the device part in `sources`; the
// 1-based index, or 0 with the error set.
template <typename Record>
int CompileSource(StepPass<Record>& pass, const char* devChanAttr, const char* sources,
                  long option) {
    if (!CompileDevChanAttr(pass.error, pass.record->head, devChanAttr, pass.call.methodName,
                            option)) {
        return 0;
    }
    const int source = MatchKeyword(pass.record->head.parts.device, sources);
    if (source == 0) {
        RefuseDevChanAttr(pass.error, devChanAttr);
    }
    return source;
}

} // namespace kora
