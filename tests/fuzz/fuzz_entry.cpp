#include "fuzz_entry.h"

#include "bench/channel_table.h"
#include "frame/args.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "ictx/program/component_load.h"
#include "instruments/serial_text.h"
#include "system/data_format.h"

#include <resmgr/ini_file.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kora::fuzz {

namespace {

// Texts as a step method receives them: NUL-terminated, whatever bytes come before.
std::string AsText(const uint8_t* data, std::size_t size) {
    std::string s(reinterpret_cast<const char*>(data), size);
    s.resize(std::strlen(s.c_str()));
    return s;
}

// Splits the input at the first 0x01 bytes into up to three texts.
void SplitThree(const std::string& in, std::string out[3]) {
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        std::size_t end = i < 2 ? in.find('\x01', start) : std::string::npos;
        out[i] = in.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos) {
            start = in.size();
        } else {
            start = end + 1;
        }
    }
}

volatile double gSink;

// A bench with a few matrix channels for the component parser, built once.
const BenchRecord* ComponentBench() {
    static BenchRecord* bench = [] {
        auto* b = static_cast<BenchRecord*>(std::calloc(1, sizeof(BenchRecord)));
        const char* names[] = {"A", "B", "C", "GND", "R1_A", "R1_B", "VCC"};
        for (int32_t i = 0; i < 7; ++i) {
            ChannelRecord& ch = b->channels[i];
            ch.kind = 1;
            ch.pinIndex = i;
            ch.channelNumber = 1001 + i;
            CopyText(ch.appName, names[i]);
            CopyText(ch.deviceName, "MX1");
        }
        b->channelCount = b->matrixChannelCount = 7;
        BuildChannelList(b);
        return b;
    }();
    return bench;
}

} // namespace

void RunOne(std::string_view target, const uint8_t* data, std::size_t size) {
    if (target == "devchan") {
        std::string text = AsText(data, size);
        DevChanParts parts;
        if (SplitDevChanAttr(text.c_str(), &parts) == 0) {
            gSink = static_cast<double>(std::strlen(parts.device) + std::strlen(parts.channel) +
                                        std::strlen(parts.function) + std::strlen(parts.suffix));
        }
    } else if (target == "limits") {
        std::string parts[3];
        SplitThree(AsText(data, size), parts);
        LimitRecord r;
        ParseLimits(parts[0].c_str(), NAN, parts[1].empty() ? nullptr : parts[1].c_str(),
                    parts[2].c_str(), &r);
        gSink = r.range + r.low + r.high + std::strlen(r.lowOp) + std::strlen(r.highOp);
        gSink = ParseScaled(parts[0].c_str());
    } else if (target == "keyword") {
        std::string parts[3];
        SplitThree(AsText(data, size), parts);
        gSink = MatchKeyword(parts[0].c_str(), parts[1].c_str(), ',');
        char buffer[64] = {};
        AppendDetail(buffer, sizeof buffer, parts[2].empty() ? nullptr : parts[2].c_str(),
                     parts[0].c_str());
        gSink = static_cast<double>(std::strlen(buffer));
    } else if (target == "component") {
        // A component file as the load step reads it.
        auto* model = static_cast<ComponentModel*>(std::calloc(1, sizeof(ComponentModel)));
        std::vector<char> strings(kStringBufferSize);
        char error[kMessageSize] = {};
        const std::string_view text(reinterpret_cast<const char*>(data), size);
        int32_t n = LoadComponentProgram(ComponentBench(), model, "fuzz.ict", &text, strings.data(),
                                         strings.size(), error);
        gSink = static_cast<double>(n + std::strlen(error));
        std::free(model);
    } else if (target == "serial") {
        // A frame format as CONF_SERIAL checks it, and the bytes as the byte display shows them.
        SerialFormat format{};
        gSink = static_cast<double>(CheckSerialFormat(AsText(data, size).c_str(), &format));
        char display[kByteDisplaySize];
        FormatByteDisplay(data, size, display);
        gSink = static_cast<double>(std::strlen(display));
    } else if (target == "datafile") {
        // The first byte picks the reader; the rest is the file.
        if (size == 0) {
            return;
        }
        std::FILE* file = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
        if (!file) {
            return;
        }
        const auto format = static_cast<DataFormat>(data[0] % 3);
        int64_t count = 0;
        if (data[0] & 0x80) {
            double* values = nullptr;
            ReadAnalogData(file, format == DataFormat::Hex ? DataFormat::Ascii : format, 2.0, NAN,
                           &values, &count);
            gSink = count > 0 ? values[count - 1] : 0.0;
            std::free(values);
        } else {
            int32_t* values = nullptr;
            ReadDigitalData(file, format, &values, &count);
            gSink = count > 0 ? values[count - 1] : 0.0;
            std::free(values);
        }
        std::fclose(file);
    } else if (target == "ini") {
        std::string error;
        auto file = resmgr::IniFile::parse(
            std::string_view(reinterpret_cast<const char*>(data), size), &error);
        if (file) {
            gSink = static_cast<double>(file->sections().size());
        }
    }
}

} // namespace kora::fuzz
