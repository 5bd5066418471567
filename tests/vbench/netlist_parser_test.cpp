#include <vbench/netlist/netlist_parser.h>
#include <vbench/netlist/spice_number.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace kora::vbench {
namespace {

TEST(VbenchSpiceNumber, ReadsScaleFactorsAndIgnoresUnits) {
    struct Case {
        const char* text;
        std::optional<double> value;
    } cases[] = {
        {"4.7k", 4700},
        {"10Meg", 1e7},
        {"10MEGohm", 1e7},
        {"2.2uF", 2.2e-6},
        {"1F", 1e-15},
        {"1m", 1e-3},
        {"1mil", 25.4e-6},
        {"1e-3", 1e-3},
        {"-5", -5},
        {"+3.3V", 3.3},
        {".5", 0.5},
        {"100", 100},
        {"2.5n", 2.5e-9},
        {"47p", 47e-12},
        {"1T", 1e12},
        {"3G", 3e9},
        {"1.5e3k", 1.5e6},
        {"0", 0},
        {"abc", std::nullopt},
        {"", std::nullopt},
        {"1k5", std::nullopt},
        {"-", std::nullopt},
        {"1.2.3", std::nullopt},
    };
    for (const auto& c : cases) {
        auto v = ParseSpiceNumber(c.text);
        ASSERT_EQ(v.has_value(), c.value.has_value()) << c.text;
        if (v) {
            EXPECT_NEAR(*v, *c.value, std::fabs(*c.value) * 1e-12) << c.text;
        }
    }
}

TEST(VbenchSpiceNumber, IgnoresTheProcessLocale) {
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "de_DE")) {
        GTEST_SKIP() << "no German locale installed";
    }
    auto v = ParseSpiceNumber("4.7k");
    std::setlocale(LC_NUMERIC, saved.c_str());
    ASSERT_TRUE(v.has_value());
    EXPECT_DOUBLE_EQ(*v, 4700);
}

constexpr const char* kBoard = R"(Board with every element kind
* a comment line
V1 VCC 0 DC 5 AC 1 90 ; trailing comment
I1 0 n1 PULSE(0 1m 1u 2u 3u
+ 10u 20u)
R1 vcc N1 4.7k $ also a comment
C1 n1 gnd 100n
L1 n1 n2 1m
D1 n2 0 dz 2 OFF
Q1 c b e qn
Q2 c2 b e sub qp
M1 d g s 0 nch W=20u L=2u
S1 a b n1 0 sw ON
VS s 0 SIN(0 1 1k)
X1 vcc out half
.model dz D(IS=1e-14 BV=5.1 IBV=5m)
.model qn NPN BF=200 VAF=50
.model qp PNP
.model nch NMOS(LEVEL=1 VTO=0.7 KP=100u)
.model sw SW(VT=1 VH=0.2 RON=0.1 ROFF=1G)
.subckt half in mid
Ra in mid 10k
Rb mid inner 10k
Rc inner 0 1
.ends half
.op
.tran 1u 1m
.control
this is never read
.endc
.end
R99 after end is ignored
)";

TEST(VbenchNetlist, ReadsEveryElementKind) {
    Netlist n = ParseNetlist(kBoard, "board.cir");
    EXPECT_EQ(n.title, "Board with every element kind");
    ASSERT_EQ(n.elements.size(), 14u);

    const Element* v1 = n.findElement("v1");
    ASSERT_NE(v1, nullptr);
    EXPECT_EQ(v1->kind, ElementKind::VSource);
    EXPECT_EQ(v1->nodes, (std::vector<std::string>{"vcc", "0"}));
    EXPECT_DOUBLE_EQ(v1->source.dc, 5);
    EXPECT_DOUBLE_EQ(v1->source.acMagnitude, 1);
    EXPECT_DOUBLE_EQ(v1->source.acPhaseDegrees, 90);
    EXPECT_EQ(v1->where.line, 3);

    const Element* i1 = n.findElement("i1");
    ASSERT_NE(i1, nullptr);
    EXPECT_EQ(i1->source.wave, Waveform::Pulse);
    EXPECT_EQ(i1->source.waveParams.size(), 7u) << "continuation line joins the card";
    EXPECT_DOUBLE_EQ(i1->source.dcValue(), 0) << "no DC value: the pulse at t = 0";
    EXPECT_DOUBLE_EQ(i1->source.valueAt(2e-6), 0.5e-3);
    EXPECT_DOUBLE_EQ(i1->source.valueAt(5e-6), 1e-3);
    EXPECT_DOUBLE_EQ(i1->source.valueAt(20e-6), 0);
    EXPECT_NEAR(i1->source.valueAt(22e-6), 0.5e-3, 1e-12) << "second period";

    const Element* r1 = n.findElement("r1");
    ASSERT_NE(r1, nullptr);
    EXPECT_EQ(r1->nodes, (std::vector<std::string>{"vcc", "n1"})) << "names fold to lower case";
    EXPECT_DOUBLE_EQ(r1->value, 4700);
    EXPECT_EQ(n.findElement("c1")->nodes[1], "0") << "gnd is ground";

    const Element* d1 = n.findElement("d1");
    EXPECT_DOUBLE_EQ(d1->area, 2);
    EXPECT_TRUE(d1->off);
    EXPECT_EQ(n.findModel("dz")->kind, ModelKind::Diode);
    EXPECT_DOUBLE_EQ(n.findModel("dz")->get("BV", 0), 5.1);

    EXPECT_EQ(n.findElement("q1")->nodes.size(), 3u);
    EXPECT_EQ(n.findElement("q2")->model, "qp") << "substrate net form";
    const Element* m1 = n.findElement("m1");
    EXPECT_DOUBLE_EQ(m1->w, 20e-6);
    EXPECT_DOUBLE_EQ(m1->l, 2e-6);
    EXPECT_TRUE(n.findElement("s1")->initialOn);
    EXPECT_EQ(n.findElement("vs")->source.wave, Waveform::Sin);
    EXPECT_NEAR(n.findElement("vs")->source.valueAt(0.25e-3), 1, 1e-12);

    // The subcircuit is flattened: ports map to the caller's nets, inner nets get the prefix.
    const Element* rb = n.findElement("x1.rb");
    ASSERT_NE(rb, nullptr);
    EXPECT_EQ(rb->nodes, (std::vector<std::string>{"out", "x1.inner"}));
    EXPECT_EQ(n.findElement("x1.ra")->nodes, (std::vector<std::string>{"vcc", "out"}));
    EXPECT_EQ(n.findElement("x1.rc")->nodes[1], "0");
    EXPECT_EQ(n.findElement("r99"), nullptr);
}

TEST(VbenchNetlist, ReportsErrorsWithFileAndLine) {
    struct Case {
        const char* body; // after the title line
        int line;
        const char* message;
    } cases[] = {
        {"E1 a 0 b 0 2\n", 2, "controlled sources are not supported"},
        {"Z1 a 0 zz\n", 2, "element type 'Z' is not supported"},
        {"R1 a 0\n", 2, "needs the form"},
        {"R1 a 0 1k extra\n", 2, "unexpected 'extra'"},
        {"R1 a 0 0\n", 2, "of 0 ohm"},
        {"C1 a 0 1u IC=2\n", 2, "unexpected 'IC'"},
        {"R1 a 0 ten\n", 2, "'ten' is not a number"},
        {"R1 a 0 1k\nR1 b 0 1k\n", 3, "defined twice"},
        {"D1 a 0 nomodel\n", 2, "model 'nomodel' is not defined"},
        {"D1 a 0 q\n.model q NPN\n", 2, "is not a diode model"},
        {"D1 a 0 d\n.model d D(IS=1e-14 XTI=3)\n", 3, "parameter 'XTI' is not supported"},
        {".model d D(IS=1e-14\n", 2, "missing ')'"},
        {".model d DIODE\n", 2, "model type 'DIODE' is not supported"},
        {".model m NMOS LEVEL=3\n", 2, "only MOSFET level 1"},
        {".param x=1\n", 2, "'.param' is not supported"},
        {".temp 85\n", 2, "nominal temperature"},
        {"+ R1 a 0 1k\n", 2, "continuation line without a card"},
        {".subckt s a b\nR1 a b 1k\n", 2, "without .ends"},
        {".ends\n", 2, ".ends without .subckt"},
        {"X1 a b c s\n.subckt s a b\nR1 a b 1\n.ends\n", 2, "has 2 ports"},
        {"X1 a b nosuch\n", 2, "'nosuch' is not defined"},
        {"X1 a s\n.subckt s a\nX2 a s\n.ends\n", 4, "nested too deeply"},
        {"V1 a 0 PULSE(0 1\n", 2, "missing ')'"},
        {"V1 a 0 SIN(1)\n", 2, "SIN takes 2 to 6 values"},
        {"M1 d g s b n W=0\n.model n NMOS\n", 2, "must be positive"},
        {".include nosuch.cir\n", 2, "cannot read included file"},
        {".control\nop\n", 3, ".control block without .endc"},
    };
    for (const auto& c : cases) {
        std::string text = std::string("title\n") + c.body;
        try {
            ParseNetlist(text, "bad.cir");
            ADD_FAILURE() << "accepted: " << c.body;
        } catch (const NetlistError& e) {
            EXPECT_EQ(e.where().file, "bad.cir") << c.body;
            EXPECT_EQ(e.where().line, c.line) << c.body << e.what();
            EXPECT_NE(e.message().find(c.message), std::string::npos) << c.body << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("bad.cir:" + std::to_string(c.line) + ": ", 0),
                      0u)
                << e.what();
        }
    }
}

TEST(VbenchNetlist, IncludesFilesRelativeToTheIncludingFile) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("kora_netlist_" + std::to_string(::getpid()));
    fs::create_directories(dir / "parts");
    std::ofstream(dir / "board.cir") << "board\n.include parts/models.lib\nD1 a 0 dx\n";
    std::ofstream(dir / "parts" / "models.lib") << ".model dx D(IS=2e-14)\nR7 a 0 1k\n"
                                                << "R8 a 0 bad\n";
    try {
        LoadNetlist((dir / "board.cir").string());
        ADD_FAILURE() << "the error in the included file went unnoticed";
    } catch (const NetlistError& e) {
        EXPECT_EQ(e.where().file, (dir / "parts" / "models.lib").string());
        EXPECT_EQ(e.where().line, 3);
    }
    std::ofstream(dir / "parts" / "models.lib") << ".model dx D(IS=2e-14)\nR7 a 0 1k\n";
    Netlist n = LoadNetlist((dir / "board.cir").string());
    EXPECT_NE(n.findElement("r7"), nullptr);
    EXPECT_DOUBLE_EQ(n.findModel("dx")->get("IS", 0), 2e-14);
    EXPECT_EQ(n.nets(), std::vector<std::string>{"a"});
    fs::remove_all(dir);

    EXPECT_THROW(LoadNetlist((dir / "missing.cir").string()), NetlistError);
}

} // namespace
} // namespace kora::vbench
