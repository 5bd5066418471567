// kora-run's two YAML readers side by side: for a text that the subset reader accepts, libyaml
// must accept it too and give the same tree.
#pragma once

#include <yaml_tree.h>

#include <string>

namespace kora::fuzz {

// The tree as text, a node a line: type, line and scalar, children indented below.
std::string DumpYaml(const run::yaml::Node& node);

struct YamlComparison {
    bool simple = false;    // the subset reader accepted the text
    std::string difference; // empty when the readers agree
};
YamlComparison CompareYamlReaders(const std::string& text);

} // namespace kora::fuzz
