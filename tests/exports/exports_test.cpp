// libkora exports exactly the implemented entries of the step-method table, and the signature
// metadata calls them correctly through the dynamic loader, as kora-run does.
#include "support/executive.h"

#include <kora/step_signatures.h>

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>

namespace kora {
namespace {

std::set<std::string> DynamicSymbols(const std::string& library) {
    std::set<std::string> names;
    std::string command = "nm -D --defined-only " + library;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return names;
    }
    std::array<char, 512> line{};
    while (fgets(line.data(), line.size(), pipe)) {
        std::string s(line.data());
        auto last = s.find_last_of(' ');
        std::string type = s.size() > 17 ? s.substr(17, 1) : "";
        std::string name = s.substr(last + 1);
        name.erase(name.find_last_not_of("\r\n") + 1);
        if (type == "T" || type == "W" || type == "i") {
            names.insert(name);
        }
    }
    pclose(pipe);
    return names;
}

std::set<std::string> ImplementedEntries() {
    std::set<std::string> names;
    for (const auto& s : kStepMethods) {
        if (s.implemented) {
            names.insert(s.name);
        }
    }
    for (const char* n : kLabviewNames) {
        names.insert(n);
    }
    if (KORA_SCAN_IMPLEMENTED) {
        names.insert("SCAN_FOR_KORA_DEVICES");
    }
    return names;
}

TEST(Exports, DynamicSymbolsAreTheImplementedEntries) {
    auto symbols = DynamicSymbols(KORA_LIBKORA_PATH);
    ASSERT_FALSE(symbols.empty()) << "nm -D gave nothing for " << KORA_LIBKORA_PATH;
    EXPECT_EQ(symbols, ImplementedEntries());
    // The generated list that the module-definition file also comes from says the same.
    std::ifstream list(KORA_EXPORT_LIST);
    std::set<std::string> listed;
    for (std::string line; std::getline(list, line);) {
        listed.insert(line);
    }
    EXPECT_EQ(listed, ImplementedEntries());
}

TEST(Exports, TableNamesEachMethodAndArgumentOnce) {
    std::set<std::string> names;
    for (const auto& s : kStepMethods) {
        EXPECT_TRUE(names.insert(s.name).second) << "duplicate " << s.name;
        std::set<std::string> args;
        for (const auto& a : s.args) {
            EXPECT_TRUE(args.insert(a.name).second) << s.name << " repeats " << a.name;
        }
        EXPECT_TRUE(s.kind == 1 || s.kind == 2 || s.kind == -1) << s.name;
    }
    const StepInfo* comp = FindStepInfo("COMPR_KORA");
    ASSERT_NE(comp, nullptr);
    ASSERT_EQ(comp->args.size(), 5u);
    EXPECT_STREQ(comp->args[0].name, "DevChanAttr");
    EXPECT_EQ(comp->args[2].type, ArgType::DOUBLE);
    EXPECT_EQ(FindStepInfo("NOPE_KORA"), nullptr);
}

class ExportedCalls : public test::ExecutiveTest {};

TEST_F(ExportedCalls, InvokerCallsThroughTheLoadedLibrary) {
    void* lib = dlopen(KORA_LIBKORA_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    const StepInfo* info = FindStepInfo("COMPR_KORA");
    void* fn = dlsym(lib, info->name);
    ASSERT_NE(fn, nullptr);
    ArgValue v[5];
    v[0].s = "OHM";
    v[1].s = "1*k";
    v[2].d = 1500.0;
    v[3].s = "2 k";
    v[4].s = "R1";
    CommonArgs common{1, "R1 value", 0x700, 0, "via loader"};
    EXPECT_EQ(info->invoke(fn, common, v), 0);
    auto r = lastResult();
    EXPECT_EQ(r.unit, 13);
    EXPECT_EQ(r.value, 1500.0);
    EXPECT_EQ(r.low, 1000.0);
    EXPECT_EQ(r.high, 2000.0);
    EXPECT_EQ(r.channel, "R1");
    EXPECT_EQ(r.comment, "via loader");
    EXPECT_EQ(dlsym(lib, "MatchKeyword"), nullptr);
    dlclose(lib);
}

} // namespace
} // namespace kora
