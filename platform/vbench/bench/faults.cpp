#include <vbench/bench/faults.h>

#include <algorithm>

namespace kora::vbench {

int FaultInjector::add(FaultRule rule) {
    std::lock_guard lock(mutex_);
    const int id = nextId_++;
    if (rule.occurrence == 0) {
        rule.occurrence = 1;
    }
    rules_.push_back({id, std::move(rule)});
    return id;
}

void FaultInjector::remove(int id) {
    std::lock_guard lock(mutex_);
    rules_.erase(
        std::remove_if(rules_.begin(), rules_.end(), [id](const Rule& r) { return r.id == id; }),
        rules_.end());
}

void FaultInjector::reset() {
    std::lock_guard lock(mutex_);
    rules_.clear();
    calls_.clear();
    total_ = 0;
    messages_.clear();
}

std::optional<InjectedFault> FaultInjector::onCall(std::string_view function) {
    std::lock_guard lock(mutex_);
    auto it = calls_.find(function);
    if (it == calls_.end()) {
        it = calls_.emplace(std::string(function), 0).first;
    }
    const uint64_t own = ++it->second;
    const uint64_t any = ++total_;
    for (auto& r : rules_) {
        const bool anyCall = r.rule.function.empty();
        if (r.spent || (!anyCall && r.rule.function != function)) {
            continue;
        }
        const uint64_t n = anyCall ? any : own;
        const bool hit = r.rule.persistent ? n >= r.rule.occurrence : n == r.rule.occurrence;
        if (!hit) {
            continue;
        }
        r.spent = !r.rule.persistent;
        messages_[r.rule.code] = r.rule.message;
        return InjectedFault{r.rule.code, r.rule.message};
    }
    return std::nullopt;
}

uint64_t FaultInjector::calls(std::string_view function) const {
    std::lock_guard lock(mutex_);
    if (function.empty()) {
        return total_;
    }
    auto it = calls_.find(function);
    return it == calls_.end() ? 0 : it->second;
}

std::optional<std::string> FaultInjector::messageFor(int32_t code) const {
    std::lock_guard lock(mutex_);
    auto it = messages_.find(code);
    if (it == messages_.end()) {
        return std::nullopt;
    }
    return it->second;
}

} // namespace kora::vbench
