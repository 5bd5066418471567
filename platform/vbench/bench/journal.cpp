#include <vbench/bench/journal.h>

#include <algorithm>
#include <charconv>

namespace kora::vbench {

void Journal::record(JournalEntry entry) {
    std::lock_guard lock(mutex_);
    ++total_;
    if (entry.result < 0) {
        ++failures_;
    }
    ++byFunction_[entry.function];
    ++byInterface_[entry.interface];
    if (!recording_) {
        return;
    }
    entry.sequence = total_;
    if (entries_.size() < capacity_) {
        entries_.push_back(std::move(entry));
    } else {
        entries_[oldest_] = std::move(entry);
        oldest_ = (oldest_ + 1) % entries_.size();
    }
}

void Journal::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    oldest_ = 0;
    byFunction_.clear();
    byInterface_.clear();
    total_ = 0;
    failures_ = 0;
}

void Journal::setRecording(bool on) {
    std::lock_guard lock(mutex_);
    recording_ = on;
}

bool Journal::recording() const {
    std::lock_guard lock(mutex_);
    return recording_;
}

void Journal::setCapacity(std::size_t entries) {
    std::lock_guard lock(mutex_);
    std::vector<JournalEntry> kept;
    capacity_ = std::max<std::size_t>(entries, 1);
    const std::size_t drop = entries_.size() > capacity_ ? entries_.size() - capacity_ : 0;
    std::size_t n = 0;
    forEach([&](const JournalEntry& e) {
        if (n++ >= drop) {
            kept.push_back(e);
        }
    });
    entries_ = std::move(kept);
    oldest_ = 0;
}

std::size_t Journal::capacity() const {
    std::lock_guard lock(mutex_);
    return capacity_;
}

std::vector<JournalEntry> Journal::entries() const {
    std::lock_guard lock(mutex_);
    std::vector<JournalEntry> out;
    out.reserve(entries_.size());
    forEach([&](const JournalEntry& e) { out.push_back(e); });
    return out;
}

std::vector<JournalEntry> Journal::calls(std::string_view function) const {
    std::lock_guard lock(mutex_);
    std::vector<JournalEntry> out;
    forEach([&](const JournalEntry& e) {
        if (e.function == function) {
            out.push_back(e);
        }
    });
    return out;
}

std::vector<JournalEntry> Journal::callsOf(std::string_view interface) const {
    std::lock_guard lock(mutex_);
    std::vector<JournalEntry> out;
    forEach([&](const JournalEntry& e) {
        if (e.interface == interface) {
            out.push_back(e);
        }
    });
    return out;
}

std::vector<std::string> Journal::sequence(std::string_view interface) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    forEach([&](const JournalEntry& e) {
        if (interface.empty() || e.interface == interface) {
            out.push_back(e.function);
        }
    });
    return out;
}

std::optional<JournalEntry> Journal::last(std::string_view function) const {
    std::lock_guard lock(mutex_);
    for (std::size_t back = 0; back < entries_.size(); ++back) {
        const JournalEntry& e = newest(back);
        if (function.empty() || e.function == function) {
            return e;
        }
    }
    return std::nullopt;
}

std::size_t Journal::count(std::string_view function) const {
    std::lock_guard lock(mutex_);
    auto it = byFunction_.find(function);
    return it == byFunction_.end() ? 0 : it->second;
}

std::size_t Journal::countOf(std::string_view interface) const {
    std::lock_guard lock(mutex_);
    auto it = byInterface_.find(interface);
    return it == byInterface_.end() ? 0 : it->second;
}

std::size_t Journal::total() const {
    std::lock_guard lock(mutex_);
    return total_;
}

std::size_t Journal::failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

std::map<std::string, std::size_t> Journal::counts() const {
    std::lock_guard lock(mutex_);
    return {byFunction_.begin(), byFunction_.end()};
}

namespace detail {

void AppendArg(std::string& out, const char* text) {
    if (!text) {
        out += "NULL";
        return;
    }
    out += '"';
    out += text;
    out += '"';
}

void AppendArg(std::string& out, double value) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 9);
    out.append(buf, ec == std::errc() ? end : buf);
}

void AppendArg(std::string& out, Hex value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value.value, 16);
    out += "0x";
    out.append(buf, ec == std::errc() ? end : buf);
}

void AppendArg(std::string& out, OutArg) {
    out += '&';
}

void AppendSigned(std::string& out, long long value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, ec == std::errc() ? end : buf);
}

void AppendUnsigned(std::string& out, unsigned long long value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, ec == std::errc() ? end : buf);
}

} // namespace detail

} // namespace kora::vbench
