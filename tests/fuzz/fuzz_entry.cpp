#include "fuzz_entry.h"

#include "yaml_check.h"

#include "bench/channel_table.h"
#include "frame/args.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "ictx/program/component_load.h"
#include "instruments/serial_text.h"
#include "routing/routing.h"
#include "system/data_format.h"

#include <program.h>
#include <resmgr/ini_file.h>
#include <vbench/bench/station.h>
#include <vbench/modules/routing.h>
#include <vbench/netlist/netlist_parser.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace kora::fuzz {

namespace {

// Texts as a step method receives them: NUL-terminated, whatever bytes come before.
std::string AsText(const uint8_t* data, std::size_t size) {
    std::string s(reinterpret_cast<const char*>(data), size);
    s.resize(std::strlen(s.c_str()));
    return s;
}

// Splits the input at the first 0x01 bytes into up to `n` texts.
template <std::size_t n> void SplitAt01(const std::string& in, std::string (&out)[n]) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t end = i + 1 < n ? in.find('\x01', start) : std::string::npos;
        out[i] = in.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos) {
            start = in.size();
        } else {
            start = end + 1;
        }
    }
}

volatile double gSink;

// Inputs that would make a reader open files of this machine (".include /dev/zero", a board named
// by an absolute path) test the machine, not the reader: they are skipped.
bool IncludesFiles(std::string_view netlist) {
    std::string folded(netlist);
    for (char& c : folded) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return folded.find(".inc") != std::string::npos;
}
bool NamesFilesElsewhere(const std::string& physicalLayer) {
    const auto file = resmgr::IniFile::parse(physicalLayer, nullptr);
    for (const char* key : {"Board", "Fixture"}) {
        const std::string* name = file ? file->findValue(vbench::kStationSection, key) : nullptr;
        if (name && (name->find_first_of("/\\") != std::string::npos ||
                     name->find("..") != std::string::npos)) {
            return true;
        }
    }
    return false;
}

// A component model and its strings, allocated once: a fresh model per input (several megabytes,
// zero-filled under the sanitizers) cost more than the parse. Only what the last input wrote is
// cleared again.
struct ComponentScratch {
    ComponentModel* model = static_cast<ComponentModel*>(std::calloc(1, sizeof(ComponentModel)));
    std::vector<char> strings = std::vector<char>(kStringBufferSize);
    void reset() {
        const auto used =
            static_cast<std::size_t>(std::min(model->componentCount + 1, kMaxComponents));
        std::memset(model->components, 0, used * sizeof(ComponentRecord));
        const auto items =
            static_cast<std::size_t>(std::min(model->itemCount + 1, kMaxVectorItems));
        std::memset(model->items, 0, items * sizeof(VectorItem));
        std::memset(model, 0, offsetof(ComponentModel, components));
        const std::size_t text = std::strlen(strings.data()) + 1;
        std::memset(strings.data(), 0, std::min(text, strings.size()));
    }
};

// A folder of this process for the files the station reader insists on reading.
const std::filesystem::path& ScratchFolder() {
    static const std::filesystem::path dir = [] {
        auto d =
            std::filesystem::temp_directory_path() / ("kora_fuzz_" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

void WriteScratch(const char* name, const std::string& text) {
    std::ofstream(ScratchFolder() / name, std::ios::binary | std::ios::trunc) << text;
}

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
        SplitAt01(AsText(data, size), parts);
        LimitRecord r;
        ParseLimits(parts[0].c_str(), NAN, parts[1].empty() ? nullptr : parts[1].c_str(),
                    parts[2].c_str(), &r);
        gSink = r.range + r.low + r.high + std::strlen(r.lowOp) + std::strlen(r.highOp);
        gSink = ParseScaled(parts[0].c_str());
    } else if (target == "keyword") {
        std::string parts[3];
        SplitAt01(AsText(data, size), parts);
        gSink = MatchKeyword(parts[0].c_str(), parts[1].c_str(), ',');
        char buffer[64] = {};
        AppendDetail(buffer, sizeof buffer, parts[2].empty() ? nullptr : parts[2].c_str(),
                     parts[0].c_str());
        gSink = static_cast<double>(std::strlen(buffer));
    } else if (target == "component") {
        // A component file as the load step reads it.
        static ComponentScratch scratch;
        char error[kMessageSize] = {};
        const std::string_view text(reinterpret_cast<const char*>(data), size);
        int32_t n = LoadComponentProgram(ComponentBench(), scratch.model, "fuzz.ict", &text,
                                         scratch.strings.data(), scratch.strings.size(), error);
        gSink = static_cast<double>(n + std::strlen(error));
        scratch.reset();
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
    } else if (target == "program") {
        // A kora-run program; its station and component files are only named, never read here.
        // Whatever the YAML subset reader accepts, libyaml must read the same.
        const std::string text = AsText(data, size);
        if (const auto c = CompareYamlReaders(text); !c.difference.empty()) {
            std::fprintf(stderr, "the YAML readers differ:\n%s", c.difference.c_str());
            std::abort();
        }
        std::string error;
        const auto program = run::ParseProgram(text, "fuzz.yaml", error);
        gSink = program ? static_cast<double>(program->steps.size()) : error.size();
    } else if (target == "netlist") {
        const std::string_view text(reinterpret_cast<const char*>(data), size);
        if (IncludesFiles(text)) {
            return;
        }
        try {
            gSink = static_cast<double>(vbench::ParseNetlist(text, "fuzz.cir").elements.size());
        } catch (const vbench::NetlistError& e) {
            gSink = static_cast<double>(std::strlen(e.what()));
        }
    } else if (target == "station") {
        // The physical layer file, the board and the fixture wiring, split at 0x01 bytes; the
        // first names the other two (Board = board.cir, Fixture = fixture.txt).
        std::string parts[3];
        SplitAt01(std::string(reinterpret_cast<const char*>(data), size), parts);
        if (NamesFilesElsewhere(parts[0]) || IncludesFiles(parts[1])) {
            return;
        }
        WriteScratch("hardware.ini", parts[0]);
        WriteScratch("board.cir", parts[1]);
        WriteScratch("fixture.txt", parts[2]);
        try {
            const auto station = vbench::LoadStation((ScratchFolder() / "hardware.ini").string());
            gSink = static_cast<double>(station.fixture.size() + station.devices.size());
        } catch (const std::exception& e) {
            gSink = static_cast<double>(std::strlen(e.what()));
        }
    } else if (target == "routing") {
        // A routing table section, the application channel names (name = point), and the
        // routing texts of a step, run as pre- and post-routing on a switching system.
        std::string parts[4];
        SplitAt01(std::string(reinterpret_cast<const char*>(data), size), parts);
        std::vector<std::pair<std::string, std::string>> keys;
        vbench::ChannelAliases aliases;
        for (int which = 0; which < 2; ++which) {
            auto file = resmgr::IniFile::parse("[S]\n" + parts[which], nullptr);
            if (!file || file->sections().empty()) {
                return;
            }
            for (const auto& e : file->sections().front().entries()) {
                if (which == 0) {
                    keys.emplace_back(e.key, e.value);
                } else {
                    aliases[e.key] = e.value;
                }
            }
        }
        std::string problem;
        const auto table = vbench::RoutingTable::FromKeys(keys, &problem);
        char pre[kRoutingTextSize], post[kRoutingTextSize], message[kMessageSize] = {};
        if (!table || _CompileRouting(parts[2].c_str(), parts[3].c_str(), pre, post,
                                      kRoutingTextSize, message) != 0) {
            gSink = static_cast<double>(problem.size() + std::strlen(message));
            return;
        }
        vbench::RoutingModel model("S");
        model.configure(*table);
        for (const char* text : {pre, post}) {
            const auto outcome = model.execute(text, aliases);
            gSink = static_cast<double>(outcome.failed.size() + outcome.switched);
        }
        gSink = static_cast<double>(model.display().size());
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
