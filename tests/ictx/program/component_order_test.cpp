#include "ict_program_support.h"

#include "ictx/program/component_classes.h"
#include "ictx/program/component_load.h"
#include "ictx/program/component_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kora {
namespace {

class ComponentLoad : public ::testing::Test {
  protected:
    int32_t Load(const std::string& text) {
        std::string_view view(text);
        return LoadComponentProgram(bench_.get(), l_.model.get(), "board.ict", &view,
                                    l_.strings.data(), l_.strings.size(), l_.error);
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (int32_t i = 0; i < l_.model->componentCount; ++i) {
            names.push_back(l_[i].name);
        }
        return names;
    }
    test::CPtr<BenchRecord> bench_ = test::MakeBench({"A", "B"});
    test::Loaded l_;
};

std::string Resistor(const char* name, const char* nv) {
    return std::string("[5, \"") + name + "\", \"RESISTOR\"]\nTP=\"A\"\nNV=" + nv + "\n";
}

TEST_F(ComponentLoad, SortByClassNominalAndFileOrder) {
    const std::string file = "[1, \"S\", \"SETUP\"]\n#SORT\n"
                             "[0, \"LIB\", \"DIGITAL\"]\nMD=0\n"
                             "[9, \"U1\", \"DIGITAL\"]\n" +
                             Resistor("R3", "300") + Resistor("R1", "100") +
                             "[9, \"D1\", \"DIODE\"]\nTP=\"A\"\n" + Resistor("R2a", "200") +
                             "[9, \"X1\", \"FOO\"]\n" + Resistor("R2b", "200.00000000000001") +
                             "[9, \"U0\", \"DIGITAL\"]\n" + Resistor("R0", "x") +
                             "[9, \"C1\", \"CAPACITOR\"]\nTP=\"A\"\nNV=1e-9\n";
    // R0 has no usable nominal text but NV is given (0): it compiles and sorts first.
    ASSERT_EQ(Load(file), 12) << l_.error;
    EXPECT_EQ(Names(), (std::vector<std::string>{"S", "C1", "R0", "R1", "R2a", "R2b", "R3", "D1",
                                                 "X1", "LIB", "U1", "U0"}));
    // Without #SORT the file order stays.
    std::string unsorted = file;
    unsorted.erase(unsorted.find("#SORT\n"), 6);
    ASSERT_EQ(Load(unsorted), 12) << l_.error;
    EXPECT_EQ(Names()[2], "U1");
}

TEST(ComponentSort, StableForEqualKeysAndFailedComponentsFirst) {
    test::CPtr<ComponentModel> model = test::Calloc<ComponentModel>();
    ComponentRecord* c = model->components;
    const struct {
        uint32_t cls;
        double nv;
        int32_t line;
    } records[] = {{30, 0, 1}, {7, 5, 2},  {0, 9, 3}, {7, 5, 4}, {31, 0, 5},
                   {5, 1, 6},  {30, 0, 7}, {7, 4, 8}, {0, 1, 9}, {7, 5 + 1e-14, 10}};
    const int n = static_cast<int>(std::size(records));
    for (int i = 0; i < n; ++i) {
        c[i].classCode = records[i].cls;
        c[i].sub[0].nv = records[i].nv;
        c[i].headerLine = records[i].line;
        c[i].index = i; // marks the record
    }
    SortComponents(c, n);
    std::vector<int> order;
    for (int i = 0; i < n; ++i) {
        order.push_back(c[i].index);
    }
    EXPECT_EQ(order, (std::vector<int>{8, 2, 5, 7, 1, 3, 9, 0, 4, 6}));
    EXPECT_EQ(CompareComponents(c[7], c[8]), 0);
}

TEST_F(ComponentLoad, VariantsOfTheSetupSection) {
    ASSERT_EQ(Load("[1, \"S\", \"SETUP\", \"V1, V2,V3\"]\n"
                   "[2, \"N1\", \"FOO\", \"V2\"]\n[3, \"N2\", \"FOO\", \"-,V3\"]\n"
                   "[4, \"N3\", \"FOO\"]\n[0, \"N4\", \"FOO\", \"V9\"]\n"),
              5)
        << l_.error;
    EXPECT_STREQ(l_.model->variants, "-,V1, V2,V3");
    EXPECT_STREQ(l_.model->setup.name, "S");
    EXPECT_EQ(l_[0].variantSet[0], 0xFFFFFFFFu);
    EXPECT_STREQ(l_[0].variantText, "V1, V2,V3");
    EXPECT_EQ(l_[1].variantWord, 0b100u);
    EXPECT_EQ(l_[1].variantSet[0], 0b10u);
    EXPECT_STREQ(l_[1].variantText, "V2");
    EXPECT_EQ(l_[2].variantWord, 0b1001u);
    EXPECT_EQ(l_[2].variantSet[0], 0b100u);
    EXPECT_EQ(l_[3].variantSet[4], 0xFFFFFFFFu); // no list: every variant
    EXPECT_EQ(l_[4].variantSet[0], 0u);          // insertion sections are not assigned
    EXPECT_STREQ(l_[4].variantText, "V9");

    EXPECT_EQ(Load("[1, \"S\", \"SETUP\", \"V1\"]\n[2, \"N1\", \"FOO\", \"V1,V4\"]\n"), 0);
    EXPECT_STREQ(l_.error, "LINE 2\n\nN1: Invalid VARIANT 'V4' defined\n\nAvailable: -,V1\n\n");
    // Without a SETUP section only "-" is available; the variant error precedes compile errors.
    EXPECT_EQ(Load("[2, \"R1\", \"RESISTOR\"]\n[3, \"N1\", \"FOO\", \"V1\"]\n"), 0);
    EXPECT_STREQ(l_.error, "LINE 2\n\nN1: Invalid VARIANT 'V1' defined\n\nAvailable: -\n\n");
    EXPECT_STREQ(l_.model->variants, "-");
    ASSERT_EQ(Load("[1, \"S\", \"SETUP\"]\n[3, \"N1\", \"FOO\", \"-\"]\n"), 2) << l_.error;
    EXPECT_STREQ(l_.model->setup.variants, "-");
}

TEST(VariantText, EditedListsBecomeVariantSets) {
    struct Case {
        const char* text;
        const char* available;
        int result;
        uint32_t word0;
        const char* error;
    } cases[] = {
        {"V1,V3", "-,V1,V2,V3", 0, 0b101, ""},
        {" V2\tV1 ,, ", "-,V1,V2,V3", 0, 0b011, ""},
        {"-", "-,V1", 0, 0, ""},
        {"", "-,V1", 0, 0xFFFFFFFFu, ""},
        {"V1", nullptr, 0, 0xFFFFFFFFu, ""},
        {"V1,v2", "-,V1,V2", -1, 0b1, "Invalid VARIANT 'v2' defined\n\nAvailable: -,V1,V2"},
        {"V1", "-", -1, 0, "Invalid VARIANT 'V1' defined\n\nAvailable: -"},
    };
    for (const auto& c : cases) {
        uint32_t set[kVariantWords] = {7, 7, 7, 7, 7};
        char error[kMessageSize] = "";
        EXPECT_EQ(ParseVariantText(c.text, c.available, set, error), c.result) << c.text;
        EXPECT_EQ(set[0], c.word0) << c.text;
        EXPECT_STREQ(error, c.error);
    }
    // A name longer than 254 characters is cut before it is looked up.
    const std::string list = "-," + std::string(254, 'V');
    uint32_t set[kVariantWords];
    char error[kMessageSize];
    EXPECT_EQ(ParseVariantText(std::string(300, 'V').c_str(), list.c_str(), set, error), 0);
    EXPECT_EQ(set[0], 1u);
}

TEST_F(ComponentLoad, CompileErrorsAreCollectedUpTo27) {
    std::string file;
    for (int i = 1; i <= 30; ++i) {
        const std::string n = std::to_string(i);
        file.append("[").append(n).append(", \"R").append(n).append("\", \"RESISTOR\"]\n");
    }
    EXPECT_EQ(Load(file), 0);
    std::string expected;
    for (int i = 1; i <= 27; ++i) {
        expected +=
            "NOMINAL VALUE not defined R" + std::to_string(i) + " (ID=" + std::to_string(i) + ")\n";
    }
    EXPECT_EQ(std::string(l_.error), expected.substr(0, kMessageSize - 1));
    EXPECT_EQ(l_.model->componentCount, 27);
    // A parse error is passed on as it stands.
    EXPECT_EQ(Load("[1, \"R1\", \"RESISTOR\"]\nNV\n"), 0);
    EXPECT_STREQ(l_.error, "Invalid PARAMETER VALUE definition\n\nSECTION: [1,R1,...]\n\n"
                           "FILE: board.ict\n\nLINE: 2");
    EXPECT_EQ(Load("# nothing\n"), 0);
}

TEST_F(ComponentLoad, ClassCountsAsTheLoadReportsThem) {
    ASSERT_EQ(Load("[1, \"S\", \"SETUP\"]\n" + Resistor("R1", "10") + Resistor("R2", "20") +
                   "[3, \"Q1\", \"TRANSISTOR\"]\nPT=\"N-CHAN\"\nTP=\"A\"\n"
                   "[4, \"Q2\", \"FET\"]\nPT=\"P-CHAN\"\nTP=\"A\"\n"
                   "[5, \"K1\", \"RELAY\"]\nTP=\"A\"\n[6, \"K2\", \"RELAY\"]\nPT=\"NC\"\nTP=\"A\"\n"
                   "[7, \"X\", \"BUZZER\"]\n[8, \"U\", \"DIGITAL\"]\n"),
              9)
        << l_.error;
    l_[1].flags |= kFlagCompensation;
    ClassCount lines[kClassCountLines];
    EXPECT_EQ(CountComponentClasses(l_.model->components, 9, lines), 9);
    std::string shown;
    for (const auto& line : lines) {
        if (line.count) {
            shown +=
                std::to_string(line.id) + " " + line.name + "=" + std::to_string(line.count) + ";";
        }
    }
    EXPECT_EQ(shown, "1000 COMPENSATION=1;1001 SETUP=1;1005 RESISTOR=1;1012 N-FET-TRANSISTOR=1;"
                     "1012 P-FET-TRANSISTOR=1;1015 RELAY=2;1099 NO TEST=1;1101 DIGITAL TEST=1;");
}

} // namespace
} // namespace kora
