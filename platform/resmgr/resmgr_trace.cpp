// The trace switches and RESMGR_Trace.
#include "resmgr_state.h"

using kora::resmgr::GlobalState;
using kora::resmgr::State;

extern "C" {

int32_t RESMGR_Enable_Tracing(long on) {
    State& state = GlobalState();
    const std::lock_guard lock(state.mutex);
    state.tracing = on != 0;
    state.anyTraced = state.tracing && !state.tracedSessions.empty();
    return 0;
}

int32_t RESMGR_Set_Trace_Flag(long session, long on) {
    try {
        State& state = GlobalState();
        const std::lock_guard lock(state.mutex);
        if (on != 0) {
            state.tracedSessions.insert(session);
        } else {
            state.tracedSessions.erase(session);
        }
        state.anyTraced = state.tracing && !state.tracedSessions.empty();
        return 0;
    } catch (...) {
        return RESMGR_ERR_INTERNAL;
    }
}

int32_t RESMGR_Trace(const char* text) {
    if (text == nullptr) {
        return RESMGR_ERR_INVALID_ARGUMENT;
    }
    try {
        State& state = GlobalState();
        const std::lock_guard lock(state.mutex);
        if (!state.tracing) {
            return RESMGR_WARN_TRACING_OFF;
        }
        // One trace line per line of the text; a final line end adds no empty line.
        std::string_view rest(text);
        do {
            const std::size_t end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            if (const int32_t result = kora::resmgr::WriteTraceLine(state, line); result != 0) {
                return result;
            }
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        } while (!rest.empty());
        return 0;
    } catch (...) {
        return RESMGR_ERR_INTERNAL;
    }
}

} // extern "C"
