#include "panel_hub.h"

namespace kora::run {

std::string PanelHub::Format(const std::string& event, const std::string& json) {
    return "event: " + event + "\ndata: " + json + "\n\n";
}

void PanelHub::BeginRun(const std::string& json) {
    std::lock_guard lock(mutex_);
    ++run_;
    reset_ = json;
    events_.clear();
    changed_.notify_all();
}

void PanelHub::Publish(const std::string& event, const std::string& json) {
    std::lock_guard lock(mutex_);
    events_.push_back(Format(event, json));
    changed_.notify_all();
}

void PanelHub::SetState(const std::string& event, const std::string& json) {
    std::lock_guard lock(mutex_);
    states_[event] = json;
    ++state_;
    changed_.notify_all();
}

std::string PanelHub::Next(Cursor& cursor, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    const auto ready = [&] {
        return closed_ || cursor.run != run_ || cursor.state != state_ ||
               cursor.next < events_.size();
    };
    // A page that waits this long gets an empty answer, which keeps its connection checked.
    changed_.wait_for(lock, wait, ready);
    if (closed_) {
        return {};
    }
    std::string out;
    if (cursor.state != state_) {
        for (const auto& [event, json] : states_) {
            out += Format(event, json);
        }
        cursor.state = state_;
    }
    if (cursor.run != run_) {
        out += Format(kEventReset, reset_);
        cursor.run = run_;
        cursor.next = 0;
    }
    for (; cursor.next < events_.size(); ++cursor.next) {
        out += events_[cursor.next];
    }
    return out;
}

bool PanelHub::Closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

void PanelHub::Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

} // namespace kora::run
