#include "ict_program_support.h"

#include "ictx/program/pin_list.h"
#include "ictx/program/vector_items.h"

#include <gtest/gtest.h>

#include <string>

namespace kora {
namespace {

using test::Loaded;

const std::string kU5 = "[20, \"U5\", \"DIGITAL\", \"\", \"\"]\n";
const std::string kLib = "[0, \"LIB\", \"DIGITAL\", \"\", \"\"]\n";

std::string Err(const std::string& message, const char* section, int line) {
    std::string s = message;
    if (section) {
        s += std::string("\n\nSECTION: [") + section + ",...]";
    }
    return s + "\n\nFILE: board.ict\n\nLINE: " + std::to_string(line);
}

class VectorItems : public ::testing::Test {
  protected:
    test::CPtr<BenchRecord> bench_ = test::MakeBench({"A", "B", "C", "D", "E"});
    Loaded l_;
};

TEST_F(VectorItems, PinListsResolveAgainstTheChannelTable) {
    PinRef pins[kMaxVectorPins];
    uint32_t n = 0;
    char error[kMessageSize] = {};
    UsedChannels used{};
    ASSERT_EQ(
        ResolvePinList(bench_.get(), " A , B;-;1, 0=C,E;", kMaxVectorPins, pins, &n, &used, error),
        0u)
        << error;
    ASSERT_EQ(n, 6u);
    const struct {
        const char* name;
        bool channel;
        int forced, end;
    } expected[] = {{"A", true, -1, 0}, {"B", true, -1, 1}, {"-", false, -1, 1},
                    {"1", false, 1, 0}, {"C", true, 0, 0},  {"E", true, -1, 1}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(std::string(pins[i].name, pins[i].nameLength), expected[i].name);
        EXPECT_EQ(pins[i].channel != nullptr, expected[i].channel) << i;
        EXPECT_EQ(pins[i].forced, expected[i].forced) << i;
        EXPECT_EQ(pins[i].endOfGroup, expected[i].end) << i;
    }
    EXPECT_STREQ(pins[4].channel->appName, "C");
    // A, B, C, E are pins 0, 1, 2, 4 of card 0.
    EXPECT_EQ(used.bits[0][0], 0b10111u);

    EXPECT_EQ(ResolvePinList(bench_.get(), "A,a", kMaxVectorPins, pins, &n, nullptr, error),
              kErrResource);
    EXPECT_STREQ(error, "'a' not in channel table found");
    std::string many = "A";
    for (int i = 0; i < 32; ++i) {
        many += ",-";
    }
    EXPECT_EQ(ResolvePinList(bench_.get(), many.c_str(), kMaxVectorPins, pins, &n, nullptr, error),
              kErrResource);
    EXPECT_STREQ(error, "To many channels defined (max=32)");
    // A channel whose number is negative is not a valid entry.
    bench_->channels[0].channelNumber = -1;
    EXPECT_EQ(FindChannel(bench_.get(), "A"), nullptr);
    EXPECT_NE(FindChannel(bench_.get(), "B"), nullptr);
}

TEST_F(VectorItems, ItemRulesAndTheirMessages) {
    struct Case {
        std::string body;
        std::string error; // empty: accepted
    } cases[] = {
        {"DI=0b10Z-,\"A,B,C,D\"\n", ""},
        {"DI=0x1,\"A,B,C,D\"\n", ""},
        {"DI=12,\"A,B\"\n", ""},
        {"DI=1,\"A\"\nDO=0,\"B\"\n", ""},
        {"DI=HLX,\"A,B,C\"\n", "Invalid STATE VALUE (L|H|X|-) definition \"HLX\": DI"},
        {"DO=0x,\"A\"\n", "Invalid VALUE DEFINITION (DIGITS=0): DO"},
        {"DI=0b1,\"A,B\"\n", "Mismatch of PIN STATES (1) and PIN COUNT (2)"},
        {"DO=0x1,\"A,B\"\n", "Mismatch of PIN STATES (4) and PIN COUNT (2)"},
        {"DI=2,\"A\"\n", "INSERTION@2: INVALID VALUE \"2\"assignment (0|1)"},
        {"DI=0b10,\"A,X\"\n", "CompileLinkError: DI=...,A,X\n\n'X' not in channel table found"},
        {"DC=2\n", "DECIMAL VALUE (2) for CONTROL SIGNAL not allowed"},
        {"DC=1\n", ""},
        {"DC=HL,\"A\"\n", ""},
        {"DC=H,\"A,B\"\n", "More than one CONTROL PIN defined: \"A,B\""},
        {"VMIR=1,2,\"A,B\"\n", "Invalid TEST PIN count (1)"},
        {"VMOR=-3,2,\"A\"\n", ""},
        {"DTERM=4,0\n", "TERM HI SELECTOR out of range (0...3)"},
        {"DTERM=3,-1\n", "TERM LO SELECTOR out of range (0...3)"},
        {"ILIM=0.6,0.1,0.01\n", "LO CURRENT LIMIT out of range (max. 0.5A)"},
        {"ILIM=0.1,0.51,0.01\n", "HI CURRENT LIMIT out of range (max. 0.5A)"},
        {"ILIM=0.5,0.5,0.11\n", "CTRL CURRENT LIMIT out of range (max. 0.1A)"},
        {"GROUP=\"#G\",\"A,B\"\nDI=HL,\"#G\"\n", ""},
        {"DI=HL,\"#G\"\nGROUP=\"#G\",\"A,B\"\n", "No definition for GROUP \"#G\" found"},
        {"STAT=\"#H\"\n", "No definition for GROUP \"#H\" found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const int32_t n = l_.Parse(bench_.get(), kU5 + c.body);
        if (c.error.empty()) {
            EXPECT_EQ(n, 1) << l_.error;
        } else {
            EXPECT_LT(n, 0);
            EXPECT_EQ(l_.error, Err(c.error, "20,U5", 2));
        }
    }
    // A library section checks neither groups nor state counts until it is inserted.
    EXPECT_EQ(l_.Parse(bench_.get(), kLib + "DI=HL,\"#G\"\nDI=0b1,\"A,B\"\n"), 1) << l_.error;
}

TEST_F(VectorItems, FieldsOfEachItem) {
    ASSERT_EQ(l_.Parse(bench_.get(), kU5 + "GROUP=\"#BUS\",\"A,B;C\"\nSTAT=\"#BUS\"\n"
                                           "VMIR=1,-4,\"D\"  // in range\n"
                                           "// a note\n"
                                           "DTERM=1, 2\nPART=2\nTO=0.5\nMD=0.25,7\n"
                                           "?STEQ=0b1Z,\"L1\"\nINSERT=0x3,\"LIB\" \n"
                                           "[21, \"R9\", \"RESISTOR\"]\n// not an item\n"),
              -3);
    // The INSERT without a library stopped the parse; everything before it is in place.
    EXPECT_EQ(l_.error, Err("Insertion section \"LIB\" not found", "20,U5", 11));
    const VectorItem* it = l_[0].firstItem;
    EXPECT_STREQ(it[0].raw, "#BUS");
    EXPECT_EQ(it[0].pinCount, 3u);
    EXPECT_EQ(it[0].stateCount, 3u);
    EXPECT_EQ(it[1].pinCount, 3u);
    EXPECT_EQ(it[1].stateCount, 3u);
    EXPECT_EQ(it[1].pin[2].channel->appName[0], 'C');
    EXPECT_STREQ(it[1].pins, "#BUS");
    EXPECT_EQ(it[2].level[2], 4.0);
    EXPECT_STREQ(it[2].comment, "in range");
    EXPECT_EQ(it[3].type, kItemComment);
    EXPECT_STREQ(it[3].comment, "a note");
    EXPECT_EQ(it[4].value, 1u);
    EXPECT_EQ(it[4].second, 2u);
    EXPECT_STREQ(it[4].raw, "1, 2");
    EXPECT_EQ(it[5].part, 2u);
    EXPECT_EQ(it[6].part, 2u);
    EXPECT_EQ(it[6].level[0], 0.5);
    EXPECT_EQ(it[7].type, kItemMd);
    EXPECT_EQ(it[7].level[0], 0.25);
    EXPECT_EQ(it[8].value, 0b10u);
    EXPECT_EQ(it[8].mask, 0b01u);
    EXPECT_STREQ(it[8].label, "L1");
    EXPECT_STREQ(it[8].raw, "0b1Z");
    EXPECT_EQ(it[8].line, -10);
    EXPECT_EQ(it[9].value, 0u); // "0x3" reads as the integer 0
    EXPECT_STREQ(it[9].raw, "0x3,\"LIB\"");
}

TEST_F(VectorItems, InsertionsCopyTheirPartsAndLinkThem) {
    const std::string lib = kLib + "DI=0b1,\"#IN\"\nLABEL=\"TOP\"\nPART=1\nDO=H,\"#OUT\"\n"
                                   "?FAIL=2,\"TOP\"\nPART=2\nDO=L,\"#OUT\"\nGOTO=\">END\"\n";
    const std::string head = kU5 + "GROUP=\"#IN\",\"A\"\nGROUP=\"#OUT\",\"B\"\n";
    struct Case {
        std::string insert;
        int copies;
        std::string error;
    } cases[] = {
        {"INSERT=0,\"LIB\"\n", 8, ""},
        {"INSERT=2,\"LIB\"\n", 5, ""}, // the items of PART=0 and PART=2 only
        {"INSERT=1,\"LIB\"\n", 5, ""},
        {"INSERT=7,\"LIB\"\n", 2, ""}, // items before the first PART belong to every part
        {"INSERT=0,\"NOPE\"\n", 0, "Insertion section \"NOPE\" not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.insert);
        const int32_t n = l_.Parse(bench_.get(), lib + head + c.insert + "DI=L,\"A\"\n");
        if (!c.error.empty()) {
            EXPECT_LT(n, 0);
            EXPECT_EQ(l_.error, Err(c.error, "20,U5", 13));
            continue;
        }
        ASSERT_EQ(n, 2) << l_.error;
        const ComponentRecord& u5 = l_[1];
        ASSERT_EQ(u5.itemCount, 4 + c.copies);
        const VectorItem* insert = &u5.firstItem[2];
        EXPECT_EQ(insert->type, kItemInsert);
        EXPECT_EQ(insert->second, static_cast<uint32_t>(c.copies));
        EXPECT_EQ(insert->line, 13);
        const VectorItem* copies = insert + 1;
        // Groups of the inserting section give the library's pins.
        EXPECT_STREQ(copies[0].pin[0].channel->appName, "A");
        EXPECT_NE(copies[0].raw, l_[0].firstItem[0].raw); // raw texts are copied again
        EXPECT_STREQ(copies[0].raw, "0b1");
        for (int i = 0; i < c.copies; ++i) {
            const VectorItem& copy = copies[i];
            if (copy.type == kItemFail) {
                EXPECT_EQ(copy.line, 6);
                EXPECT_EQ(copy.offset, -3); // back to TOP inside the copied block
            }
            if (copy.type == kItemGoto) {
                EXPECT_EQ(copy.jumpMode, 'T');
                EXPECT_STREQ(copy.label, "END");
            }
        }
        EXPECT_EQ(insert[c.copies + 1].type, kItemDi);
        EXPECT_EQ(l_.model->itemCount, 8 + 4 + c.copies);
    }
}

TEST_F(VectorItems, InsertionChecksAgainstTheInsertingSection) {
    // The library holds PART=1 only; the insertion asks for the missing one.
    const int missing = 2;
    const std::string missingPart =
        "INSERTION PART " + std::to_string(missing) + ", \"LIB\" not found";
    struct Case {
        std::string lib, body, error;
        int line;
    } cases[] = {
        {"DI=HL,\"#G\"\n", "GROUP=\"#G\",\"A\"\nINSERT=0,\"LIB\"\n",
         "INSERTION@2: Mismatch of PIN STATES (2) and PIN COUNT (1)", 5},
        {"DI=5,\"#G\"\n", "GROUP=\"#G\",\"A\"\nINSERT=0,\"LIB\"\n",
         "INSERTION@2: INVALID VALUE \"5\"assignment (0|1)", 5},
        {"DI=HL,\"#G\"\n", "INSERT=0,\"LIB\"\n", "No definition for GROUP \"#G\" found", 4},
        {"PART=1\nDI=H,\"A\"\n", "INSERT=" + std::to_string(missing) + ", \"LIB\"\n", missingPart,
         5},
        {"LABEL=\"X\"\n?PASS=1,\"Y\"\nREPEAT=0,\"Z\"\nGOTO=\"W\"\n", "INSERT=0,\"LIB\"\n",
         "2 unlinked DIGITAL VECTOR(S) in INSERTION \"LIB\" found\n\n\"Y\" @ 3\n\"W\" @ 5\n", 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lib);
        EXPECT_LT(l_.Parse(bench_.get(), kLib + c.lib + kU5 + c.body), 0);
        EXPECT_EQ(l_.error, Err(c.error, "20,U5", c.line));
    }
}

TEST_F(VectorItems, PoolHoldsExactly4096Items) {
    std::string file = kU5;
    for (int i = 0; i < kMaxVectorItems; ++i) {
        file += "MD=0\n";
    }
    ASSERT_EQ(l_.Parse(bench_.get(), file), 1) << l_.error;
    EXPECT_EQ(l_.model->itemCount, kMaxVectorItems);
    EXPECT_LT(l_.Parse(bench_.get(), file + "// one more\n"), 0);
    EXPECT_EQ(l_.error, Err("Insufficient VECTOR BUFFER SPACE (max=4096)", "20,U5", 4098));

    // Insertion copies count as well: 4095 items and the INSERT fill the pool, its copies do not
    // fit.
    std::string inserting = kLib + "MD=0\nMD=0\n" + kU5;
    for (int i = 0; i < kMaxVectorItems - 3; ++i) {
        inserting += "MD=0\n";
    }
    EXPECT_LT(l_.Parse(bench_.get(), inserting + "INSERT=0,\"LIB\"\n"), 0);
    EXPECT_EQ(l_.error, Err("Insufficient VECTOR BUFFER SPACE (max=4096)", "20,U5", 4098));
}

TEST_F(VectorItems, LinkJumpsOverABlock) {
    ASSERT_EQ(l_.Parse(bench_.get(), kU5 + "LABEL=\"A\"\n?FAIL=0,\"NOWHERE\"\n?FAIL=1,\"A\"\n"
                                           "REPEAT=3,\"B\"\nGOTO=\">>OUT\"\nLABEL=\"B\"\n"
                                           "?FAIL=1,\"NOWHERE\"\n"),
              1);
    VectorItem* items = l_[0].firstItem;
    EXPECT_EQ(LinkJumps(items, l_[0].itemCount), 1);
    EXPECT_LT(items[1].line, 0); // count 0: may stay unlinked
    EXPECT_EQ(items[2].offset, -2);
    EXPECT_EQ(items[2].line, 4);
    EXPECT_EQ(items[3].offset, 2);
    EXPECT_EQ(items[4].jumpMode, 'A');
    EXPECT_STREQ(items[4].label, "OUT");
    EXPECT_EQ(items[0].value, 1u); // references of label A
    EXPECT_EQ(items[5].value, 1u);
    char text[kMessageSize] = "";
    AppendUnlinkedJumps(items, l_[0].itemCount, text, sizeof text);
    EXPECT_STREQ(text, "\"NOWHERE\" @ 8\n");
}

} // namespace
} // namespace kora
