// kora-run's YAML subset reader against libyaml: the example programs and snippets at the edges
// of the subset. Inside it both readers must build the same tree; outside it the loader's answer,
// errors and their lines included, must be libyaml's.
#include "fuzz/yaml_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kora::fuzz {
namespace {

namespace fs = std::filesystem;
namespace yaml = run::yaml;

// The tree, or the error with its line.
std::string Outcome(yaml::Document (*load)(const std::string&), const std::string& text) {
    try {
        return DumpYaml(load(text).root());
    } catch (const yaml::Exception& e) {
        return "error at " + std::to_string(e.mark.line) + ": " + e.msg;
    }
}

TEST(YamlReaders, ExampleProgramsAreReadByTheSubsetReaderAsByLibyaml) {
    int count = 0;
    for (const char* folder : {"programs", "ict"}) {
        for (const auto& entry : fs::directory_iterator(fs::path(KORA_EXAMPLES_DIR) / folder)) {
            if (entry.path().extension() != ".yaml") {
                continue;
            }
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            const auto c = CompareYamlReaders(text.str());
            EXPECT_TRUE(c.simple) << entry.path() << " falls back to libyaml";
            EXPECT_EQ(c.difference, "") << entry.path();
            ++count;
        }
    }
    EXPECT_GT(count, 10);
}

struct Snippet {
    const char* what;
    const char* text;
    bool simple; // inside the subset
};

const Snippet kSnippets[] = {
    {"flow map with a list", "v: {type: reals, size: 2, value: [1, -2.5]}\nw: [ a , b ]\n", true},
    {"document start, empty and null entries",
     "--- # program\nsteps:\n- method: X\n  name: n\n-\n- ~\n-   # nothing\n", true},
    {"quotes and escapes", "k: 'it''s'\nq: \"a\\tb\\\\ \\\"c\\\"\"\nr: \"a # b\"\n", true},
    {"comments", "# head\nk: v # tail\n  # indented\nm: a#b\n", true},
    {"colons and braces in plain texts", "a: ${DIR}/x.ini\nd: RACK!DIO1:OUT.TTL\ne: -5\n", true},
    {"nested blocks", "a:\n  b:\n    - 1\n    -   c: d\n        e: f\n  g: null\nh: x\n", true},
    {"empty collections and texts", "e: {}\nf: []\ng: ''\nh: \"\"\ni:\nj:\n", true},
    {"quoted and repeated keys", "'a key': 1\n\"b\": 2\na key: 3\na key: 4\n", true},
    {"sequence at the root", "- a\n- [b]\n- c: d\n", true},
    {"anchor and alias", "a: &x 1\nb: *x\n", false},
    {"tag", "a: !!str 1\n", false},
    {"block scalar", "a: |\n  text\n", false},
    {"plain text over two lines", "a: b\n  c\n", false},
    {"quoted text over two lines", "a: 'b\n  c'\n", false},
    {"tab", "a:\tb\n", false},
    {"directive", "%YAML 1.1\n---\na: 1\n", false},
    {"second document", "a: 1\n---\nb: 2\n", false},
    {"document end first", "# c\n... a: b\n", false},
    {"complex key", "? a\n: b\n", false},
    {"unicode escape", "a: \"\\u00e9\"\n", false},
    {"UTF-8 text", "a: caf\xc3\xa9\n", false},
    {"flow over two lines", "a: [b,\n  c]\n", false},
    {"trailing comma", "a: {b: 1,}\n", false},
    {"scalar root", "text\n", false},
    {"empty file", "# nothing\n", false},
    {"over-indented key", "a: 1\n b: 2\n", false},
    {"key after a sequence entry", "- a\nb: 1\n", false},
    {"second key on a line", "a: b: c\n", false},
    {"unclosed quote", "a: \"b\n", false},
    {"text after a quote", "a: 'b' c\n", false},
    {"dedent to no level", "a:\n    b: 1\n  c: 2\n", false},
};

TEST(YamlReaders, SnippetsInsideTheSubsetMatchLibyamlAndOthersGoToIt) {
    for (const auto& s : kSnippets) {
        SCOPED_TRACE(s.what);
        const auto c = CompareYamlReaders(s.text);
        EXPECT_EQ(c.simple, s.simple);
        EXPECT_EQ(c.difference, "");
        EXPECT_EQ(Outcome(yaml::Load, s.text), Outcome(yaml::LoadWithLibyaml, s.text));
    }
}

} // namespace
} // namespace kora::fuzz
