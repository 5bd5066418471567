// Shared helpers of the component program tests: a bench with a channel table in memory and a
// model with its string buffer, both allocated zero-filled as the library allocates them.
#pragma once

#include "bench/channel_table.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "ictx/program/component_model.h"
#include "ictx/program/component_parser.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kora::test {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using CPtr = std::unique_ptr<T, FreeDeleter>;

template <typename T> CPtr<T> Calloc() {
    return CPtr<T>(static_cast<T*>(std::calloc(1, sizeof(T))));
}

// A bench whose matrix channels carry `names` (pins P1.. of card 0), sorted as the table reader
// leaves them.
inline CPtr<BenchRecord> MakeBench(std::vector<std::string> names) {
    auto bench = Calloc<BenchRecord>();
    std::sort(names.begin(), names.end());
    int32_t n = 0;
    for (const auto& name : names) {
        ChannelRecord& ch = bench->channels[n];
        ch.kind = 1;
        ch.cardIndex = 0;
        ch.pinIndex = n;
        ch.channelNumber = 1001 + n;
        CopyText(ch.appName, name.c_str());
        CopyText(ch.deviceName, "MX1");
        ++n;
    }
    bench->channelCount = n;
    bench->matrixChannelCount = n;
    BuildChannelList(bench.get());
    return bench;
}

// A model, its string buffer and the last parse.
struct Loaded {
    CPtr<ComponentModel> model = Calloc<ComponentModel>();
    std::vector<char> strings = std::vector<char>(kStringBufferSize);
    char error[kMessageSize] = {};
    int32_t count = 0;

    int32_t Parse(const BenchRecord* bench, const std::string& text,
                  const char* name = "board.ict") {
        count = ParseComponentText(bench, model.get(), name, text, model->components,
                                   kMaxComponents, strings.data(), strings.size(), error);
        return count;
    }
    ComponentRecord& operator[](int i) { return model->components[i]; }
};

} // namespace kora::test
