// kora-ictc: checks a component definition file before it is loaded by a test program.
//   kora-ictc [--sw SW.ini --hw HW.ini --bench NAME] FILE
// Prints the number of components of each class, or the error the load step would report.
// Exit status 0 when the file loads, 2 when it does not or the station cannot be read.
#include "bench/channel_table.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "ictx/program/component_check.h"

#include <resmgr.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

namespace {

using namespace kora;

constexpr long kSoftwareConfig = 1;
constexpr const char* kLogicalNames = "LogicalNames";

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Reads the bench's channel table as the setup step does: the bench section is named under
// "LogicalNames", or is the bench name itself.
bool ReadStation(const std::string& sw, const std::string& hw, const std::string& benchName,
                 BenchRecord* bench) {
    int32_t warning = 0, code = 0, status = 0;
    char message[kMessageSize] = {};
    RESMGR_Setup(0, hw.c_str(), sw.c_str(), &warning, &code, message);
    if (code != 0) {
        std::fprintf(stderr, "kora-ictc: %s\n", message);
        return false;
    }
    char section[256] = {};
    RESMGR_Get_Key_Value(0, kSoftwareConfig, kLogicalNames, benchName.c_str(), section,
                         sizeof section, &status, &warning, &code, message);
    if (code != 0 || status != RESMGR_KEY_FOUND || section[0] == 0) {
        CopyText(section, benchName.c_str());
    }
    int32_t keys = 0;
    RESMGR_Number_Of_Keys(0, kSoftwareConfig, section, &keys, &warning, &code, message);
    if (code == RESMGR_ERR_SECTION_NOT_FOUND) {
        std::fprintf(stderr, "kora-ictc: no section [%s] for bench %s\n", section,
                     benchName.c_str());
        return false;
    }
    CopyText(bench->name, benchName.c_str());
    StepError error;
    if (!ReadAppChannelTable(bench, section, error)) {
        std::fprintf(stderr, "kora-ictc: %s\n", error.message);
        return false;
    }
    return true;
}

int Run(int argc, char** argv) {
    CLI::App app{"Checks an ICT component definition file as LOAD_ICTX would load it"};
    std::string file, sw, hw, benchName;
    app.add_option("file", file, "component definition file")->required();
    auto* swOption = app.add_option("--sw", sw, "software configuration (benches, channel tables)");
    app.add_option("--hw", hw, "physical layer file")->needs(swOption);
    app.add_option("--bench", benchName, "bench whose channel table names the pins")
        ->needs(swOption);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help succeeds; a wrong command line fails like a file that does not load.
        return app.exit(e) == 0 ? kCheckPassed : kCheckFailed;
    }

    std::unique_ptr<BenchRecord, FreeDeleter> bench(
        static_cast<BenchRecord*>(std::calloc(1, sizeof(BenchRecord))));
    if (!bench) {
        std::fprintf(stderr, "kora-ictc: out of memory\n");
        return kCheckFailed;
    }
    if (!sw.empty()) {
        if (benchName.empty()) {
            std::fprintf(stderr, "kora-ictc: --bench is needed with --sw\n");
            return kCheckFailed;
        }
        if (!ReadStation(sw, hw, benchName, bench.get())) {
            return kCheckFailed;
        }
    }
    const int status = CheckComponentFile(bench.get(), file.c_str(), stdout);
    if (!sw.empty()) {
        int32_t warning = 0, code = 0;
        char message[kMessageSize];
        RESMGR_Cleanup(0, &warning, &code, message);
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kora-ictc: %s\n", e.what());
        return kCheckFailed;
    }
}
