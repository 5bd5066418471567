#include "yaml_check.h"

namespace kora::fuzz {

namespace {

using run::yaml::Node;

void Dump(const Node& node, int depth, std::string& out) {
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
    out += node.IsMap() ? "map" : node.IsSequence() ? "seq" : node.IsScalar() ? "scalar" : "null";
    out += " @" + std::to_string(node.Mark().line);
    if (node.IsScalar()) {
        out += " [" + std::to_string(node.Scalar().size()) + "]" + node.Scalar();
    }
    out += '\n';
    for (const auto& item : node) {
        if (node.IsMap()) {
            Dump(item.first, depth + 1, out);
            Dump(item.second, depth + 2, out);
        } else {
            Dump(item, depth + 1, out);
        }
    }
}

} // namespace

std::string DumpYaml(const Node& node) {
    std::string out;
    Dump(node, 0, out);
    return out;
}

YamlComparison CompareYamlReaders(const std::string& text) {
    YamlComparison result;
    const auto simple = run::yaml::LoadSimple(text);
    if (!simple) {
        return result;
    }
    result.simple = true;
    const std::string mine = DumpYaml(simple->root());
    try {
        const std::string reference = DumpYaml(run::yaml::LoadWithLibyaml(text).root());
        if (mine != reference) {
            result.difference = "subset reader:\n" + mine + "libyaml:\n" + reference;
        }
    } catch (const run::yaml::Exception& e) {
        result.difference = "libyaml rejects it at line " + std::to_string(e.mark.line + 1) + " (" +
                            e.msg + "); the subset reader gives\n" + mine;
    }
    return result;
}

} // namespace kora::fuzz
