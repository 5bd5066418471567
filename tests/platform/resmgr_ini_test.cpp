// The INI parser of the resource manager, through its in-memory entry.
#include "ini_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

using kora::resmgr::IniFile;

namespace {

std::vector<std::string> SectionNames(const IniFile& file) {
    std::vector<std::string> names;
    for (const auto& section : file.sections()) {
        names.push_back(section.name());
    }
    return names;
}

std::vector<std::string> KeyNames(const IniFile& file, std::string_view section) {
    std::vector<std::string> names;
    if (const auto* found = file.findSection(section)) {
        for (const auto& entry : found->entries()) {
            names.push_back(entry.key);
        }
    }
    return names;
}

IniFile MustParse(std::string_view text) {
    std::string error;
    auto file = IniFile::parse(text, &error);
    EXPECT_TRUE(file.has_value()) << error;
    return file ? std::move(*file) : IniFile();
}

} // namespace

TEST(ResmgrIni, KeepsSectionsAndKeysInWrittenOrder) {
    const IniFile file = MustParse("[Zeta]\n"
                                   "z=1\n"
                                   "b=2\n"
                                   "M=3\n"
                                   "[alpha]\n"
                                   "[Mid]\n"
                                   "y=4\n"
                                   "a=5\n");
    EXPECT_EQ(SectionNames(file), (std::vector<std::string>{"Zeta", "alpha", "Mid"}));
    EXPECT_EQ(KeyNames(file, "Zeta"), (std::vector<std::string>{"z", "b", "M"}));
    EXPECT_EQ(KeyNames(file, "Mid"), (std::vector<std::string>{"y", "a"}));
    ASSERT_NE(file.findSection("alpha"), nullptr);
    EXPECT_TRUE(file.findSection("alpha")->entries().empty());
}

TEST(ResmgrIni, MatchesNamesWithoutCaseAndKeepsThemAsWritten) {
    const IniFile file = MustParse("[Bench_LINE]\nAppChannelTable = Channels\n");
    const auto* section = file.findSection("BENCH_line");
    ASSERT_NE(section, nullptr);
    EXPECT_EQ(section->name(), "Bench_LINE");
    const auto* entry = section->find("appchanneltable");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->key, "AppChannelTable");
    EXPECT_EQ(entry->value, "Channels");
    // Values keep their case; only names fold.
    ASSERT_NE(file.findValue("bench_line", "APPCHANNELTABLE"), nullptr);
    EXPECT_EQ(*file.findValue("bench_line", "APPCHANNELTABLE"), "Channels");
    EXPECT_EQ(file.findValue("Bench_LINE", "Channels"), nullptr);
    EXPECT_EQ(file.findValue("Bench", "AppChannelTable"), nullptr);
}

TEST(ResmgrIni, TrimsValuesAndDropsComments) {
    struct Case {
        const char* line;
        const char* key;
        const char* value; // nullptr: the key must not exist
    };
    const Case cases[] = {
        {"k =  v  ", "k", "v"},
        {"k\t=\tv\t", "k", "v"},
        {"   k = indented", "k", "indented"},
        {"k=v ; trailing comment", "k", "v"},
        {"k=v;not a comment", "k", "v;not a comment"},
        {"k=a=b", "k", "a=b"},
        {"k=CAN0::0::3", "k", "CAN0::0::3"},
        {"k=Simulate=1,RangeCheck=1", "k", "Simulate=1,RangeCheck=1"},
        {"k: colon value", "k", "colon value"},
        {"k=", "k", ""},
        {"k=v\r", "k", "v"},
        {"k=v # hash stays", "k", "v # hash stays"},
        {"; k=commented", "k", nullptr},
        {"#k=commented", "k", nullptr},
        {"  ;k=indented comment", "k", nullptr},
        {"multi word key = x y", "multi word key", "x y"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const IniFile file = MustParse(std::string("[s]\n") + c.line + "\n");
        const std::string* value = file.findValue("s", c.key);
        if (c.value == nullptr) {
            EXPECT_EQ(value, nullptr);
        } else {
            ASSERT_NE(value, nullptr);
            EXPECT_EQ(*value, c.value);
        }
    }
}

TEST(ResmgrIni, DuplicatesAreListedButTheFirstKeyWins) {
    const IniFile file = MustParse("[Devices]\n"
                                   "dmm = first\n"
                                   "scope = s\n"
                                   "DMM = second\n"
                                   "[Other]\n"
                                   "x = 1\n"
                                   "[devices]\n"
                                   "late = 3\n");
    EXPECT_EQ(SectionNames(file), (std::vector<std::string>{"Devices", "Other"}));
    EXPECT_EQ(KeyNames(file, "Devices"), (std::vector<std::string>{"dmm", "scope", "DMM", "late"}));
    EXPECT_EQ(*file.findValue("devices", "Dmm"), "first");
    EXPECT_EQ(*file.findValue("Devices", "late"), "3");
}

TEST(ResmgrIni, AcceptsUnusualButValidText) {
    const std::string longValue(IniFile::MaxLineLength() - 2, 'x'); // "k=" + value fills the line
    struct Case {
        const char* name;
        std::string text;
        std::size_t sections;
        const char* section; // a key to check, or nullptr
        const char* key;
        std::string value;
    };
    const Case cases[] = {
        {"empty text", "", 0, nullptr, nullptr, ""},
        {"comments only", "; one\n# two\n\n   \n", 0, nullptr, nullptr, ""},
        {"no final line end", "[s]\nk=v", 1, "s", "k", "v"},
        {"CRLF line ends", "[s]\r\nk = v\r\n", 1, "s", "k", "v"},
        {"byte-order mark", "\xEF\xBB\xBF[s]\nk=v\n", 1, "s", "k", "v"},
        {"text after ]", "[s] trailing words\nk=v\n", 1, "s", "k", "v"},
        {"spaces in brackets", "[  padded name  ]\nk=v\n", 1, "padded name", "k", "v"},
        {"line of the longest length", "[s]\nk=" + longValue + "\n", 1, "s", "k", longValue},
        {"bytes above 0x7F", "[s]\nk=\xC3\xA4\xFF\n", 1, "s", "k", "\xC3\xA4\xFF"},
        {"long section name", "[" + std::string(150, 'n') + "]\nk=v\n", 1, nullptr, nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const IniFile file = MustParse(c.text);
        EXPECT_EQ(file.sections().size(), c.sections);
        if (c.section != nullptr) {
            const std::string* value = file.findValue(c.section, c.key);
            ASSERT_NE(value, nullptr);
            EXPECT_EQ(*value, c.value);
        }
    }
    // Section names are not cut to a fixed length.
    const IniFile named = MustParse("[" + std::string(150, 'n') + "]\n");
    EXPECT_NE(named.findSection(std::string(150, 'n')), nullptr);
}

TEST(ResmgrIni, RejectsHostileTextWithTheLine) {
    using namespace std::string_literals;
    struct Case {
        const char* name;
        std::string text;
        int line;
        const char* reason; // part of the error text
    };
    const Case cases[] = {
        {"NUL byte in a key line", "[s]\nk=v\0w\n"s, 2, "NUL"},
        {"NUL byte in a comment", "[s]\n; c\0mment\nk=v\n"s, 2, "NUL"},
        {"text of NUL bytes", std::string(64, '\0'), 1, "NUL"},
        {"line longer than the buffer", "[s]\nk=" + std::string(IniFile::MaxLineLength(), 'x'), 2,
         "longer"},
        {"huge line", "[s]\n" + std::string(1 << 20, 'y') + "\n", 2, "longer"},
        {"unterminated section", "[s]\nk=v\n[open\nx=1\n", 3, "]"},
        {"unterminated section at the end", "[open", 1, "]"},
        {"comment hides the bracket", "[a ;b]\n", 1, "]"},
        {"empty section name", "[s]\n[ ]\nk=v\n", 2, "empty section"},
        {"key before the first section", "k=v\n[s]\n", 1, "before the first section"},
        {"empty key name", "[s]\n = v\n", 2, "empty key"},
        {"line without separator", "[s]\ngarbage\n", 2, "key = value"},
        {"first error wins", "[s]\nbad one\nbad two\n", 2, "key = value"},
        {"error after a long valid part", "[s]\n" + std::string(500, '\n') + "oops\n", 502,
         "key = value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        const auto file = IniFile::parse(c.text, &error);
        EXPECT_FALSE(file.has_value());
        EXPECT_EQ(error.rfind("line " + std::to_string(c.line) + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

TEST(ResmgrIni, ReadsOnlyTheGivenPartOfABuffer) {
    const std::string buffer = "[s]\nk=v\nk2=w\n[more]";
    // The view ends inside the value of the first key and before the rest of the buffer.
    const IniFile file = MustParse(std::string_view(buffer).substr(0, 7));
    ASSERT_NE(file.findValue("s", "k"), nullptr);
    EXPECT_EQ(*file.findValue("s", "k"), "v");
    EXPECT_EQ(file.findValue("s", "k2"), nullptr);
    EXPECT_EQ(file.sections().size(), 1u);
    // Cut inside a section header, the header is incomplete.
    std::string error;
    EXPECT_FALSE(IniFile::parse(std::string_view(buffer).substr(0, buffer.size() - 1), &error));
    EXPECT_NE(error.find("line 4"), std::string::npos) << error;
}

TEST(ResmgrIni, RandomTextKeepsTheParserInvariants) {
    // Texts built from the characters that matter to the parser, NUL included. Whatever comes
    // in, a result holds only non-empty names without NUL bytes, and a failure names its line.
    static const char kAlphabet[] = "[]=:;# \t\r\n\0abAB\xEF\xBB\xBF";
    const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
    std::mt19937 random(20240611u);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(1, 400);
    int parsed = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int size = length(random);
        for (int i = 0; i < size; ++i) {
            text.push_back(alphabet[pick(random)]);
        }
        std::string error;
        const auto file = IniFile::parse(text, &error);
        if (!file) {
            ASSERT_EQ(error.rfind("line ", 0), 0u) << error;
            continue;
        }
        ++parsed;
        for (const auto& section : file->sections()) {
            ASSERT_FALSE(section.name().empty());
            ASSERT_EQ(section.name().find('\0'), std::string::npos);
            ASSERT_EQ(file->findSection(section.name()), &section);
            for (const auto& entry : section.entries()) {
                ASSERT_FALSE(entry.key.empty());
                ASSERT_EQ(entry.key.find('\0'), std::string::npos);
                ASSERT_EQ(entry.value.find('\0'), std::string::npos);
                ASSERT_NE(section.find(entry.key), nullptr);
            }
        }
    }
    // The generator must reach the success path too, or the loop proves little.
    EXPECT_GT(parsed, 0);
}
