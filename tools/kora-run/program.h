// Test programs of kora-run: a YAML file with UUT data, variables and a list of steps, each
// naming a step method of the table and giving its arguments by name.
#pragma once

#include "executive_decl.h"

#include <kora/step_signatures.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kora::run {

enum class VarType { Int, Real, Text, Reals, Ints, Buffer };
const char* VarTypeName(VarType t);

// A program variable; its storage stays at one address for the whole run, so methods can keep
// pointers into it between steps.
struct Variable {
    std::string name;
    VarType type = VarType::Int;
    int line = 0;
    long intValue = 0;
    double realValue = 0;
    std::string text;
    std::vector<double> reals;
    std::vector<long> ints;
    std::vector<char> buffer;    // zero-terminated text of a fixed size
    std::size_t size() const;    // elements of an array, bytes of a buffer, 1 otherwise
    std::string display() const; // the current value as text (arrays: first elements)
};

// One argument as the program gives it: a literal, a variable, or nothing (the neutral value).
struct ArgBinding {
    const ArgInfo* info = nullptr;
    bool given = false;
    bool null = false; // an explicit null (~) for a text or pointer
    std::string literal;
    long intValue = 0;
    double realValue = 0;
    Variable* variable = nullptr;
};

struct ProgramStep {
    int index = 0; // 1-based position in the program
    int line = 0;  // line of the step in the file
    const StepInfo* method = nullptr;
    std::string name;
    std::string comment;
    int repeat = 1;
    std::vector<ArgBinding> args; // in the order of the method's arguments
    // Step attributes as the step editor keeps them ("DATA": "YES"), by name or "GROUP|NAME".
    std::vector<std::pair<std::string, std::string>> attributes;
};

struct Program {
    std::string file;
    std::string folder;
    std::string name;
    std::string uutSerial, uutPart;
    std::string station;
    std::map<std::string, std::string> settings;
    ExecutiveDecl executive;
    std::map<std::string, std::unique_ptr<Variable>> variables;
    std::vector<ProgramStep> steps;
};

// Loads and checks a program. On failure returns nothing and sets `error` to one message that
// names the file and line.
std::optional<Program> LoadProgram(const std::string& path, std::string& error);
std::optional<Program> ParseProgram(const std::string& text, const std::string& path,
                                    std::string& error);

// The argument values of a step for one call. Texts live in `program` (literals) or in the
// variables, so the pointers stay valid while the step runs.
std::vector<ArgValue> BuildArgValues(const ProgramStep& step);

} // namespace kora::run
