#include "ict_program_support.h"

#include "ictx/program/component_compile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

namespace kora {
namespace {

// Parses one section and compiles it.
struct Compiled {
    test::Loaded l;
    char error[kMessageSize] = {};
    int result = -1;
    ComponentRecord& r() { return l[0]; }
    SubTest& s(int k) { return l[0].sub[k]; }
};

class ComponentCompile : public ::testing::Test {
  protected:
    std::unique_ptr<Compiled> Compile(const std::string& header, const std::string& body) {
        auto c = std::make_unique<Compiled>();
        EXPECT_EQ(c->l.Parse(bench_.get(), header + "\n" + body), 1) << c->l.error;
        c->result = CompileComponent(&c->r(), c->error);
        return c;
    }
    test::CPtr<BenchRecord> bench_ = test::MakeBench({"A", "B"});
};

TEST_F(ComponentCompile, ChecksFailTheComponentWithItsNameAndIndex) {
    struct Case {
        std::string header, body, message;
    } cases[] = {
        {"[10, \"R1\", \"RESISTOR\"]", "TP=\"A\"\n", "NOMINAL VALUE not defined"},
        {"[10, \"R1\", \"RESISTOR\"]", "NV=100\n", "TEST PINS not defined"},
        {"[4, \"C1\", \"CAPACITOR\"]", "TP=\"A\"\n", "NOMINAL VALUE not defined"},
        {"[4, \"L1\", \"INDUCTOR\"]", "NV=1e-3\n", "TEST PINS not defined"},
        {"[4, \"D1\", \"DIODE\"]", "NV=0.6\n", "TEST PINS not defined"},
        {"[4, \"O1\", \"PHOTOCOUPLER\"]", "", "TEST PINS not defined"},
        {"[5, \"Q1\", \"TRANSISTOR\"]", "TP=\"A\"\n", "Invalid PART TYPE (PT)"},
        {"[5, \"Q1\", \"TRANSISTOR\"]", "PT=\"npn\"\nTP=\"A\"\n", "Invalid PART TYPE (PT)"},
        {"[5, \"Q1\", \"FET\"]", "PT=\"N-CHAN\"\n", "TEST PINS (TP) not defined"},
        {"[6, \"S1\", \"SHUNT\"]", "NV=0.1\n", "TEST PINS not defined"},
        {"[6, \"S1\", \"SHUNT\"]", "TP=\"A\"\n", "TEST SENSE PINS not defined"},
        {"[6, \"S1\", \"SHUNT\"]", "TP=\"A\"\nTS=\"B\"\nNV=1.5\n",
         "NOMINAL VALUE of shunt resistor to high"},
        {"[7, \"Z1\", \"Z-DIODE\"]", "TP=\"A\"\n", "NOMINAL VALUE not defined"},
        {"[7, \"Z1\", \"Z-DIODE\"]", "NV=5\n", "TEST PINS not defined"},
        {"[8, \"V1\", \"VARISTOR\"]", "", "TEST PINS not defined"},
        {"[9, \"K1\", \"RELAY\"]", "PT=\"NX\"\nTP=\"A\"\n", "Invalid PART TYPE (PT)"},
        {"[9, \"K1\", \"RELAY\"]", "PT=\"NC\"\n", "TEST PINS (TP) not defined"},
        {"[3, \"X1\", \"CONTACT\"]", "MM=\"XN\"\n", "Invalid SHORT MODE (MM=\"?x\")"},
        {"[3, \"X1\", \"CONTACT\"]", "MM=\"F\"\n", "Invalid OPEN MODE (MM=\"x?x\")"},
        {"[3, \"X1\", \"CONTACT\"]", "MM=\"NFB\"\n", "Invalid RESULT MODE (MM=\"xx?\")"},
        {"[3, \"T1\", \"TRACK\"]", "MM=\"A\"\n", "Invalid TRACK MODE (MM=\"?x\")"},
        {"[20, \"U5\", \"DIGITAL\"]",
         "LABEL=\"A\"\n?FAIL=1,\"NOWHERE\"\nREPEAT=0,\"X\"\n"
         "?PASS=2,\"A\"\nGOTO=\"B\"\n",
         "2 unlinked DIGITAL VECTOR(S) found\n\n\"NOWHERE\" @ 3\n\"B\" @ 6\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header + c.body);
        auto r = Compile(c.header, c.body);
        EXPECT_EQ(r->result, 1);
        EXPECT_EQ(r->r().classCode, 0u);
        const std::string name = r->r().name;
        EXPECT_EQ(r->error,
                  c.message + " " + name + " (ID=" + std::to_string(r->r().index) + ")\n");
    }
}

TEST_F(ComponentCompile, DefaultsAndDerivedValuesPerClass) {
    using Check = std::function<void(Compiled&)>;
    struct Case {
        std::string header, body;
        uint32_t classCode;
        Check check;
    } cases[] = {
        {"[1, \"R1\", \"RESISTOR\"]", "TP=\"A\"\nNV=10000\n", 7,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(0).ll, 9900);
             EXPECT_DOUBLE_EQ(c.s(0).ul, 10100);
             EXPECT_EQ(c.r().paramMask & (kParamLL | kParamUL), kParamLL | kParamUL);
             EXPECT_EQ(c.s(0).mode, 'V');
             EXPECT_DOUBLE_EQ(c.s(0).v, 0.2);
             EXPECT_EQ(c.s(0).vrIndex, 4u);     // 0.2 V
             EXPECT_EQ(c.s(0).crIndex, 4u);     // 20 uA for 0.2 V / 10 kOhm
             EXPECT_DOUBLE_EQ(c.s(0).c, 40e-6); // the limit clear of the measured current
             EXPECT_DOUBLE_EQ(c.s(0).mi, 5e-6);
         }},
        // Current mode: the forced current drops half the voltage compliance.
        {"[1, \"R1\", \"RESISTOR\"]", "TP=\"A\"\nNV=1000\nMM=\"C\"\n", 7,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(0).c, 100e-6);
             EXPECT_EQ(c.s(0).vrIndex, 3u); // 0.1 V measured
         }},
        // Guarded: the source also feeds the guarded paths.
        {"[1, \"R1\", \"RESISTOR\"]", "TP=\"A\"\nGP=\"G\"\nNV=10000\n", 7,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(0).c, 0.1);
             EXPECT_EQ(c.s(0).crIndex, 4u); // still the part's own 20 uA
         }},
        {"[1, \"R1\", \"RESISTOR\"]", "TP=\"A\"\nNV=0.2\nNV+=5\nUL=0.3\nMM=\"X\"\n", 7,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(0).ll, 0.1); // below 0.5 Ohm: NV - 0.1
             EXPECT_DOUBLE_EQ(c.s(0).ul, 0.3); // given
             EXPECT_EQ(c.s(0).mode, 'V');
             EXPECT_DOUBLE_EQ(c.s(0).v, 0.5);
         }},
        {"[1, \"R1\", \"RESISTOR\"]", "TP=\"A\"\nNV=5\nNV-=-2\nMD=3\nMA=0\n", 7,
         [](Compiled& c) {
             EXPECT_EQ(c.s(0).mode, 'C');
             EXPECT_DOUBLE_EQ(c.s(0).ll, 4.9);
             EXPECT_DOUBLE_EQ(c.s(0).ul, 5.0); // NV+ is 0 once NV- is given
             EXPECT_DOUBLE_EQ(c.s(0).md, 0.5);
             EXPECT_EQ(c.s(0).ma, 1);
         }},
        {"[1, \"R1\", \"RESISTOR\"]", "TP=\"A\"\nNV=2e6\n", 7,
         [](Compiled& c) { EXPECT_DOUBLE_EQ(c.s(0).v, 5); }},
        {"[1, \"C1\", \"CAPACITOR\"]", "TP=\"A\"\nNV=100e-9\n", 5,
         [](Compiled& c) {
             EXPECT_NEAR(c.s(0).ll, 88.8e-9, 1e-15);
             EXPECT_NEAR(c.s(0).ul, 111.2e-9, 1e-15);
             EXPECT_EQ(c.s(0).f, 10000);
             EXPECT_EQ(c.s(0).fIndex, 2u);
             EXPECT_EQ(c.s(0).vIndex, 1u);
             EXPECT_EQ(c.s(0).crIndex, 4u); // 20 uA
             EXPECT_EQ(c.s(0).vrIndex, 5u); // 0.4 V -> 0.5 V range
         }},
        {"[1, \"C1\", \"CAPACITOR\"]", "TP=\"A\"\nNV=10e-6\nPT=\"POL\"\nMM=\"ZM\"\nMD=9\nF=2000\n",
         5,
         [](Compiled& c) {
             EXPECT_EQ(c.s(0).modeIndex, 4u);
             EXPECT_EQ(c.s(1).ll, c.s(0).ll); // impedance limits in the second block
             EXPECT_EQ(c.s(0).voIndex, 1u);
             EXPECT_EQ(c.s(0).fIndex, 1u);
             EXPECT_EQ(c.s(0).crIndex, 13u); // 20 mA
             EXPECT_NEAR(c.s(0).vr, 0.6, 1e-12);
             EXPECT_DOUBLE_EQ(c.s(0).md, 2.0); // given 9 s, clamped for capacitors
             EXPECT_EQ(c.s(0).ma, 5);
         }},
        {"[1, \"L1\", \"INDUCTOR\"]", "TP=\"A\"\nNV=1e-3\nMA=50\nMM=\"LS\"\n", 6,
         [](Compiled& c) {
             EXPECT_EQ(c.s(0).modeIndex, 1u);
             EXPECT_NEAR(c.s(0).ll, 1e-3 * 0.87, 1e-15);
             EXPECT_EQ(c.s(0).ma, 10);
             EXPECT_NEAR(c.s(0).md, 0.4e-3, 1e-15);
             EXPECT_NEAR(c.s(0).vr, 0.8, 1e-12);
         }},
        {"[1, \"D1\", \"DIODE\"]", "TP=\"A\"\n", 15,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(0).nv, 0.7);
             EXPECT_DOUBLE_EQ(c.s(0).ll, 0.665);
             EXPECT_DOUBLE_EQ(c.s(0).ul, 0.735);
             EXPECT_DOUBLE_EQ(c.s(0).v, 1.235);
             EXPECT_EQ(c.s(1).enable, 0u);
             EXPECT_DOUBLE_EQ(c.s(1).v, -1.5);
             EXPECT_DOUBLE_EQ(c.s(1).vr, 1.5);
             EXPECT_DOUBLE_EQ(c.s(0).c, 5e-3);
             EXPECT_DOUBLE_EQ(c.s(1).c, 1e-4);
             EXPECT_DOUBLE_EQ(c.s(1).cr, 1e-4);
         }},
        {"[1, \"D1\", \"DIODE\"]", "TP=\"A\"\nMM=\"VV\"\nNV=4.8,0\nV=9,-9\n", 15,
         [](Compiled& c) {
             EXPECT_EQ(c.s(1).enable, 1u);
             EXPECT_DOUBLE_EQ(c.s(0).v, 5);
             EXPECT_DOUBLE_EQ(c.s(1).v, -5);
         }},
        {"[1, \"Q1\", \"TRANSISTOR\"]", "TP=\"A\"\nPT=\"PNP\"\n", 19,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(1).nv, -0.7);
             EXPECT_DOUBLE_EQ(c.s(1).ll, -0.9);
             EXPECT_DOUBLE_EQ(c.s(1).ul, -0.5);
             EXPECT_DOUBLE_EQ(c.s(0).v, -1.4);
             EXPECT_DOUBLE_EQ(c.s(0).vr, 1.4);
             EXPECT_DOUBLE_EQ(c.s(0).c, 1e-3);
         }},
        {"[1, \"Q1\", \"TRANSISTOR\"]", "TP=\"A\"\nPT=\"N-CHAN\"\n", 21,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(0).nv, 0);
             EXPECT_DOUBLE_EQ(c.s(1).nv, 5);
             EXPECT_DOUBLE_EQ(c.s(1).ul, 5.1);
             EXPECT_DOUBLE_EQ(c.s(1).v, 5);
             EXPECT_EQ(c.s(2).enable, 0u);
         }},
        {"[1, \"Q1\", \"FET\"]", "TP=\"A\"\nPT=\"NPN\"\n", 18,
         [](Compiled& c) { EXPECT_DOUBLE_EQ(c.s(0).v, 1.4); }},
        {"[1, \"S1\", \"SHUNT\"]", "TP=\"A\"\nTS=\"B\"\nNV-=-5\n", 23,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(0).nv, 0.1);
             EXPECT_DOUBLE_EQ(c.s(0).ll, 0.095);
             EXPECT_DOUBLE_EQ(c.s(0).ul, 0.101);
             EXPECT_DOUBLE_EQ(c.s(0).vr, 0.2);
             EXPECT_DOUBLE_EQ(c.s(0).mt, 0.5e-3);
             EXPECT_EQ(c.s(0).ma, 100);
         }},
        {"[1, \"Z1\", \"Z-DIODE\"]", "TP=\"A\"\nNV=70\nC=0.05\n", 24,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(0).ll, 66.5);
             EXPECT_DOUBLE_EQ(c.s(0).v, 74.5);
             EXPECT_DOUBLE_EQ(c.s(0).vr, 74.5);
             EXPECT_EQ(c.s(0).vrIndex, 12u);
             EXPECT_DOUBLE_EQ(c.s(0).c, 10e-3);
         }},
        {"[1, \"K1\", \"RELAY\"]", "TP=\"A\"\n", 27,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(1).nv, 5);
             EXPECT_DOUBLE_EQ(c.s(1).ll, 4.9);
             EXPECT_DOUBLE_EQ(c.s(2).ul, 220);
             EXPECT_EQ(c.s(2).enable, 0u);
             EXPECT_DOUBLE_EQ(c.s(0).vr, 5);
         }},
        {"[1, \"K1\", \"RELAY\"]", "TP=\"A\"\nPT=\"NC\"\nV=-1\n", 28,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(0).nv, 5);
             EXPECT_DOUBLE_EQ(c.s(0).vr, 2);
         }},
        {"[1, \"X1\", \"CONTACT\"]", "UL=50\n", 3,
         [](Compiled& c) {
             EXPECT_EQ(c.s(0).enable, 0u); // only UL: no short test
             EXPECT_EQ(c.s(1).enable, 1u);
             EXPECT_NE(c.r().paramMask & kParamMM, 0u);
             EXPECT_DOUBLE_EQ(c.s(0).c, 0.02);
             EXPECT_DOUBLE_EQ(c.s(1).c, 5e-6);
             EXPECT_DOUBLE_EQ(c.s(1).cr, 5e-3);
             EXPECT_DOUBLE_EQ(c.s(1).ll, 1e4);
             EXPECT_EQ(c.s(1).mf, 1000000);
             EXPECT_EQ(c.s(1).mfIndex, 5u);
             EXPECT_EQ(c.s(0).mfIndex, 4u);
         }},
        {"[1, \"T1\", \"TRACK\"]", "NV=500\n", 4,
         [](Compiled& c) {
             EXPECT_EQ(c.s(0).mode, 'N');
             EXPECT_DOUBLE_EQ(c.s(0).nv, 100);
             EXPECT_DOUBLE_EQ(c.s(0).c, 0.002);
         }},
        {"[1, \"DS\", \"DISCHARGE\"]", "NV=2,0.5\nMT=7\n", 2,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(0).nv, 1.0);
             EXPECT_DOUBLE_EQ(c.s(1).nv, 1.0);
             EXPECT_DOUBLE_EQ(c.s(2).mt, 5.0);
             EXPECT_DOUBLE_EQ(c.s(1).vr, 100);
             EXPECT_EQ(c.s(0).ma, 15);
         }},
        {"[1, \"O1\", \"PHOTOCOUPLER\"]", "TP=\"A\"\nLL=1,2,3\nUL=3,4,5\n", 16,
         [](Compiled& c) {
             EXPECT_DOUBLE_EQ(c.s(0).nv, 2);
             EXPECT_DOUBLE_EQ(c.s(2).nv, 4);
             EXPECT_EQ(c.s(2).enable, 0u);
         }},
        {"[1, \"N1\", \"FOO\"]", "MM=\"-1\"\nNV=3\n", 29,
         [](Compiled& c) {
             EXPECT_EQ(c.s(0).enable, 0u);
             EXPECT_EQ(c.s(1).enable, 1u);
             EXPECT_EQ(c.r().paramMask & kParamLL, 0u);
         }},
        {"[1, \"U5\", \"DIGITAL\"]",
         "VDO=2.4,4.5\n?FAIL=0,\"NOWHERE\"\nGOTO=\">END\"\n?PASS=1,\">>OUT\"\n", 30,
         [](Compiled& c) {
             const VectorItem* it = c.r().firstItem;
             EXPECT_LT(it[1].line, 0);
             EXPECT_EQ(it[2].jumpMode, 'T');
             EXPECT_STREQ(it[2].label, "END");
             EXPECT_EQ(it[2].line, 4);
             EXPECT_EQ(it[3].jumpMode, 'A');
             EXPECT_EQ(it[3].count, 0u);
             EXPECT_DOUBLE_EQ(c.s(2).vr, 6.75);
             EXPECT_DOUBLE_EQ(c.s(1).v, 2.7);
             EXPECT_DOUBLE_EQ(c.s(0).vr, 0.8);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header + "\n" + c.body);
        auto r = Compile(c.header, c.body);
        ASSERT_EQ(r->result, 0) << r->error;
        EXPECT_EQ(r->r().classCode, c.classCode);
        c.check(*r);
    }
}

TEST_F(ComponentCompile, CompensationComponentsTakeFixedValues) {
    auto r = Compile("[1, \"R0\", \"RESISTOR\"]", "");
    r->r().classCode = kClassResistor;
    r->r().flags |= kFlagCompensation;
    ASSERT_EQ(CompileComponent(&r->r(), r->error), 0) << r->error;
    EXPECT_EQ(r->s(0).mode, 'C');
    EXPECT_DOUBLE_EQ(r->s(0).ll, 1.0);
    EXPECT_DOUBLE_EQ(r->s(0).ul, 2.0);
    auto c = Compile("[1, \"C0\", \"CAPACITOR\"]", "");
    c->r().flags |= kFlagCompensation;
    c->r().classCode = kClassCapacitor;
    ASSERT_EQ(CompileComponent(&c->r(), c->error), 0) << c->error;
    EXPECT_DOUBLE_EQ(c->s(0).nv, 100e-12);
    EXPECT_EQ(c->s(0).vIndex, 2u);
    EXPECT_EQ(c->s(0).fIndex, 2u);
}

TEST(RangeTables, FirstEntryNotBelowTheValue) {
    EXPECT_EQ(RangeIndex(kVoltageRanges, 0.0), 0u);
    EXPECT_EQ(RangeIndex(kVoltageRanges, 0.2), 4u);
    EXPECT_EQ(RangeIndex(kVoltageRanges, 0.1 + 0.1), 4u); // rounding does not skip a range
    EXPECT_EQ(RangeIndex(kVoltageRanges, 0.21), 5u);
    EXPECT_EQ(RangeIndex(kVoltageRanges, 500), 12u);
    EXPECT_EQ(RangeIndex(kCurrentRanges, 1e-3), 9u);
    EXPECT_EQ(SampleRateIndex(0), 0u);
    EXPECT_EQ(SampleRateIndex(400), 1u);
    EXPECT_EQ(SampleRateIndex(401), 2u);
    EXPECT_EQ(SampleRateIndex(100000), 4u);
    EXPECT_EQ(SampleRateIndex(5000000), 5u);
}

} // namespace
} // namespace kora
