// One JSON object built member by member, for the panel's events.
#pragma once

#include "reports.h"

#include <cstdio>
#include <string>

namespace kora::run {

class JsonObject {
  public:
    JsonObject& Add(const char* name, const std::string& text) {
        return Raw(name, JsonString(text));
    }
    JsonObject& Add(const char* name, const char* text) { return Raw(name, JsonString(text)); }
    JsonObject& Add(const char* name, long long value) { return Raw(name, std::to_string(value)); }
    JsonObject& Add(const char* name, bool value) { return Raw(name, value ? "true" : "false"); }
    JsonObject& Seconds(const char* name, double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", value);
        return Raw(name, text);
    }
    // `json` is a JSON value already.
    JsonObject& Raw(const char* name, const std::string& json) {
        text_ += text_.size() > 1 ? "," : "";
        text_ += JsonString(name) + ":" + json;
        return *this;
    }
    std::string Text() const { return text_ + "}"; }

  private:
    std::string text_ = "{";
};

} // namespace kora::run
