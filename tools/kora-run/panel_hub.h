// The events of the operator panel on their way to the browsers: the events of the current run
// in order, kept so that a page that connects (or connects again) in the middle of a run or after
// it sees all of it, and the station's state (programs, busy, last runs), of which each page gets
// the latest. A page reads them as server-sent events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kora::run {

inline constexpr const char* kEventReset = "reset"; // a new run: forget the last one

class PanelHub {
  public:
    // Where a page is in the stream; a fresh cursor gets everything there is.
    struct Cursor {
        long long run = -1;
        std::size_t next = 0;
        long long state = -1;
    };

    // A new run begins; `json` describes it (the reset event).
    void BeginRun(const std::string& json);
    void Publish(const std::string& event, const std::string& json);
    // The latest value of a state event.
    void SetState(const std::string& event, const std::string& json);
    // The events after `cursor` as server-sent event text, waiting up to `wait` for one; empty
    // when there was none. Empty at once after Close().
    std::string Next(Cursor& cursor, std::chrono::milliseconds wait);
    bool Closed() const;
    void Close();

  private:
    static std::string Format(const std::string& event, const std::string& json);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    long long run_ = 0, state_ = 0;
    std::string reset_ = "{}";
    std::vector<std::string> events_; // of the current run, formatted
    std::map<std::string, std::string> states_;
    bool closed_ = false;
};

} // namespace kora::run
