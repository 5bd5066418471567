// What a program declares of the executive around it: system parameters with their types and
// units, station id, item index, fixture position and device-naming mode. kora-run hands
// them to the executive runtime before the first step; `--set` overrides a parameter's value.
#pragma once

#include <executive/rvo_runtime.h>

#include <optional>
#include <string>
#include <vector>

namespace kora::run::yaml {
class Node;
}

namespace kora::run {

struct ParameterDecl {
    rvo::SysPara para;
    char type = 'S'; // 'I', 'R' or 'S' as the value was declared
    int line = 0;
};

// The station id of a program that declares none.
constexpr long kDefaultStationId = 1;

struct ExecutiveDecl {
    std::optional<long> stationId, itemIndex, fixturePosition, deviceNaming;
    std::vector<ParameterDecl> parameters;
};

// A mistake in the declarations, at a line of the program file.
struct DeclError {
    int line;
    std::string text;
};

// Reads the 'executive' mapping; throws DeclError on a mistake.
ExecutiveDecl LoadExecutiveDecl(const yaml::Node& node);

// Applies "SECTION:NAME=VALUE" to the declarations: the declared parameter gets the value in its
// type; an undeclared one is added with the type the value reads as. False with `error` set.
bool ApplySetOption(ExecutiveDecl& decl, const std::string& option, std::string& error);

// Hands the declarations to the runtime.
void ApplyExecutiveDecl(const ExecutiveDecl& decl, rvo::Runtime& rt);

// The value of a parameter as text, in the type it was last written or declared in.
std::string ParameterValueText(const rvo::SysPara& p, char type);
// "int", "real" or "text" for the type letter.
const char* ParameterTypeName(char type);

} // namespace kora::run
