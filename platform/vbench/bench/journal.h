// The journal of driver calls: every call of a driver stand-in with its interface ("rspsam"), its
// function ("rspsam_cnx_Matrix"), its arguments as text, its result and the bench clock when it
// returned. Tests assert call sequences on it; benchmarks count driver traffic. Counting goes on
// when recording is switched off, so a benchmark pays only for the counters.
//
// The entries are a ring of the newest calls (kDefaultCapacity, many times what one test program
// makes), so that a station running for a shift keeps its memory flat; the counters count every
// call since the last clear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kora::vbench {

struct JournalEntry {
    uint64_t sequence = 0; // 1, 2, ... since the last clear
    std::string interface;
    std::string function;
    std::string arguments;
    int32_t result = 0;
    int64_t timeNs = 0;
    bool injected = false; // the result came from fault injection
};

class Journal {
  public:
    static constexpr std::size_t kDefaultCapacity = 4096;

    void record(JournalEntry entry);
    void clear();
    // Off: calls are counted but not kept.
    void setRecording(bool on);
    bool recording() const;
    // How many of the newest entries are kept (at least 1); the oldest go first.
    void setCapacity(std::size_t entries);
    std::size_t capacity() const;

    std::vector<JournalEntry> entries() const;
    // Entries of one function, or of one interface, in call order.
    std::vector<JournalEntry> calls(std::string_view function) const;
    std::vector<JournalEntry> callsOf(std::string_view interface) const;
    // Function names in call order, optionally of one interface only.
    std::vector<std::string> sequence(std::string_view interface = {}) const;
    std::optional<JournalEntry> last(std::string_view function = {}) const;

    std::size_t count(std::string_view function) const;
    std::size_t countOf(std::string_view interface) const;
    std::size_t total() const;
    std::size_t failures() const; // calls that returned a negative status
    std::map<std::string, std::size_t> counts() const;

  private:
    // Calls f on each kept entry, oldest first; the lock is held.
    template <typename F> void forEach(F&& f) const {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            f(entries_[(oldest_ + i) % entries_.size()]);
        }
    }
    const JournalEntry& newest(std::size_t back) const {
        return entries_[(oldest_ + entries_.size() - 1 - back) % entries_.size()];
    }

    mutable std::mutex mutex_;
    bool recording_ = true;
    std::size_t capacity_ = kDefaultCapacity;
    std::vector<JournalEntry> entries_; // a ring once full: entries_[oldest_] is the oldest
    std::size_t oldest_ = 0;
    std::map<std::string, std::size_t, std::less<>> byFunction_;
    std::map<std::string, std::size_t, std::less<>> byInterface_;
    std::size_t total_ = 0;
    std::size_t failures_ = 0;
};

// Argument texts for the journal: numbers in C-locale form, texts quoted, masks in hex, out
// pointers as "&".
struct Hex {
    uint64_t value;
};
struct OutArg {};
inline constexpr OutArg kOut{};

namespace detail {
void AppendArg(std::string& out, const char* text);
void AppendArg(std::string& out, double value);
void AppendArg(std::string& out, Hex value);
void AppendArg(std::string& out, OutArg);
void AppendSigned(std::string& out, long long value);
void AppendUnsigned(std::string& out, unsigned long long value);
template <typename T> void AppendAny(std::string& out, const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        AppendSigned(out, value ? 1 : 0);
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        AppendSigned(out, value);
    } else if constexpr (std::is_integral_v<T>) {
        AppendUnsigned(out, value);
    } else if constexpr (std::is_floating_point_v<T>) {
        AppendArg(out, static_cast<double>(value));
    } else if constexpr (std::is_convertible_v<T, const char*>) {
        AppendArg(out, static_cast<const char*>(value));
    } else if constexpr (std::is_pointer_v<T>) {
        AppendArg(out, kOut);
    } else {
        AppendArg(out, value);
    }
}
} // namespace detail

template <typename... Ts> std::string FormatArgs(const Ts&... args) {
    std::string out;
    bool first = true;
    auto one = [&](const auto& a) {
        if (!first) {
            out += ", ";
        }
        first = false;
        detail::AppendAny(out, a);
    };
    (one(args), ...);
    return out;
}

} // namespace kora::vbench
