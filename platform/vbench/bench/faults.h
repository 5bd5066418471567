// Fault injection for the driver stand-ins: any driver function can be made to fail at its Nth
// call (counted from the bench's start or the last reset), once or from then on, with a status
// code and a message. The driver then returns the code without doing anything, and its
// `_error_message` hands back the message for that code, so that the library's error paths can be
// tested end to end.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kora::vbench {

struct FaultRule {
    std::string function;    // e.g. "ZQsm160_quickConnect"; empty: any driver call
    uint64_t occurrence = 1; // the call that fails first (1 = the next call after a reset)
    bool persistent = false; // fail every call from then on, not just that one
    int32_t code = 0;        // the status to return
    std::string message;     // its text
};

struct InjectedFault {
    int32_t code;
    std::string message;
};

class FaultInjector {
  public:
    // Adds a rule; returns an id for remove().
    int add(FaultRule rule);
    void remove(int id);
    // Drops every rule and the call counters.
    void reset();

    // Counts a call of `function` and returns the fault it must report, if any.
    std::optional<InjectedFault> onCall(std::string_view function);
    // Calls of `function` counted so far; of every function for an empty name.
    uint64_t calls(std::string_view function) const;
    // Message of a code that an injected fault returned (the newest such rule).
    std::optional<std::string> messageFor(int32_t code) const;

  private:
    struct Rule {
        int id;
        FaultRule rule;
        bool spent = false;
    };
    mutable std::mutex mutex_;
    std::vector<Rule> rules_;
    std::map<std::string, uint64_t, std::less<>> calls_;
    uint64_t total_ = 0;
    std::map<int32_t, std::string> messages_;
    int nextId_ = 1;
};

} // namespace kora::vbench
