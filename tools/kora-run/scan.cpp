#include "scan.h"

#include "reports.h"

#include <executive/rvo_runtime.h>
#include <kora/step_methods.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

namespace kora::run {

namespace {

using ScanFunction = long (*)(int32_t, uint32_t*, KoraScanRecord*);
using ResmgrSetup = int32_t (*)(long, const char*, const char*, int32_t*, int32_t*, char*);

// Bus modules of four buses of 16 slots, and the relay modules after them.
constexpr int32_t kMaxRecords = 4 * 16 + 16;

// The record's texts under the names that the table and the JSON give them (number from 1).
struct Column {
    const char* json;
    int text;
};
constexpr Column kColumns[] = {
    {"code", 1},     {"name", 2},     {"device", 5},         {"revision", 7},
    {"resource", 8}, {"slotName", 9}, {"driverLibrary", 10}, {"driverPrefix", 11},
    {"options", 12}, {"serial", 13},  {"hardware", 14},
};

std::string Text(const KoraScanRecord& r, int number) {
    return std::string(r.text[number - 1], strnlen(r.text[number - 1], sizeof r.text[0]));
}

void PrintTable(const std::vector<KoraScanRecord>& records) {
    std::printf("%-7s %-16s %-5s %-14s %-22s %-44s %s\n", "CODE", "DEVICE", "SLOT", "RESOURCE",
                "DRIVER", "FIRMWARE, DRIVER REVISION", "DESCRIPTION");
    for (const auto& r : records) {
        std::printf("%-7s %-16s %-5s %-14s %-22s %-44s %s\n", Text(r, 1).c_str(),
                    Text(r, 5).c_str(), Text(r, 9).c_str(), Text(r, 8).c_str(), Text(r, 10).c_str(),
                    Text(r, 7).c_str(), Text(r, 2).c_str());
    }
    std::printf("%zu devices\n", records.size());
}

void PrintJson(const std::vector<KoraScanRecord>& records) {
    std::printf("[");
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        std::printf("%s\n  {", i ? "," : "");
        for (const auto& c : kColumns) {
            std::printf("\"%s\": %s, ", c.json, JsonString(Text(r, c.text)).c_str());
        }
        std::printf("\"slot\": %ld, \"busAddress\": %ld,\n   \"texts\": [",
                    static_cast<long>(r.value[0]), static_cast<long>(r.value[1]));
        for (int t = 1; t <= 16; ++t) {
            std::printf("%s%s", t > 1 ? ", " : "", JsonString(Text(r, t)).c_str());
        }
        std::printf("]}");
    }
    std::printf("\n]\n");
}

} // namespace

std::string ExampleStationFile(const char* name) {
    return std::string(KORA_EXAMPLES_DIR) + "/station/" + name;
}

int ScanStation(const ScanOptions& options) {
    void* lib = dlopen(options.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = dlerror();
        std::fprintf(stderr, "kora-run: cannot load %s: %s\n", options.library.c_str(),
                     why ? why : "?");
        return 2;
    }
    auto scan = reinterpret_cast<ScanFunction>(dlsym(lib, "SCAN_FOR_KORA_DEVICES"));
    // The resource manager comes with libkora: the scan finds the station its set-up names.
    auto setup = reinterpret_cast<ResmgrSetup>(dlsym(lib, "RESMGR_Setup"));
    if (!scan || !setup) {
        std::fprintf(stderr, "kora-run: %s has no %s\n", options.library.c_str(),
                     scan ? "resource manager" : "SCAN_FOR_KORA_DEVICES");
        return 2;
    }
    int32_t warning = 0, error = 0;
    char message[1024] = {};
    if (setup(0, options.hardware.c_str(), options.software.c_str(), &warning, &error, message) <
        0) {
        std::fprintf(stderr, "kora-run: %s\n", message);
        return 2;
    }
    auto& rt = rvo::Runtime::instance();
    rt.reset();
    rt.setDeviceNaming(options.naming);
    std::ofstream log;
    if (options.logFile == "-") {
        rt.setMessageSink(
            [](long, const std::string& line) { std::fprintf(stderr, "  | %s\n", line.c_str()); });
    } else if (!options.logFile.empty()) {
        log.open(options.logFile, std::ios::app);
        if (!log) {
            std::fprintf(stderr, "kora-run: cannot write the log %s\n", options.logFile.c_str());
            return 2;
        }
        rt.setMessageSink([&](long, const std::string& line) { log << line << '\n'; });
    }
    std::vector<KoraScanRecord> records(kMaxRecords);
    uint32_t found = 0;
    scan(kMaxRecords, &found, records.data());
    rt.setMessageSink(nullptr);
    records.resize(found);
    if (options.json) {
        PrintJson(records);
    } else {
        PrintTable(records);
    }
    return 0;
}

} // namespace kora::run
