// Prints the export lists of libkora from the step-method table:
//   map   the ELF linker version script
//   def   the module-definition file of the target platform
//   list  one exported name per line (read by the symbol test)
#include <kora/step_methods.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Export {
    std::string name;
    std::string target; // the function behind an alias, or empty
};

std::vector<Export> Exports() {
    std::vector<Export> out;
#define KORA_GEN_ARG(name, ctype, type, dir)
#define KORA_GEN_STEP(NAME, CLASS, KIND, IMPL, ARGS)                                               \
    if (IMPL) {                                                                                    \
        out.push_back({#NAME, ""});                                                                \
    }
    KORA_STEP_TABLE(KORA_GEN_STEP, KORA_GEN_ARG)
#undef KORA_GEN_STEP
#undef KORA_GEN_ARG
#define KORA_GEN_LABVIEW(NAME) out.push_back({#NAME, "kora_LabviewRefused"});
    KORA_LABVIEW_TABLE(KORA_GEN_LABVIEW)
#undef KORA_GEN_LABVIEW
    if (KORA_SCAN_IMPLEMENTED) {
        out.push_back({"SCAN_FOR_KORA_DEVICES", ""});
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    const char* what = argc > 1 ? argv[1] : "list";
    const auto exports = Exports();
    if (std::strcmp(what, "map") == 0) {
        std::printf("{\n  global:\n");
        for (const auto& e : exports) {
            std::printf("    %s;\n", e.name.c_str());
        }
        std::printf("  local:\n    *;\n};\n");
    } else if (std::strcmp(what, "def") == 0) {
        std::printf("LIBRARY kora\nEXPORTS\n");
        for (const auto& e : exports) {
            if (e.target.empty()) {
                std::printf("    %s\n", e.name.c_str());
            } else {
                std::printf("    %s=%s\n", e.name.c_str(), e.target.c_str());
            }
        }
    } else if (std::strcmp(what, "list") == 0) {
        for (const auto& e : exports) {
            std::printf("%s\n", e.name.c_str());
        }
    } else {
        std::fprintf(stderr, "usage: %s map|def|list\n", argv[0]);
        return 2;
    }
    return 0;
}
