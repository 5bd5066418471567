#include <vbench/bench/station.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kora::vbench {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBoard = R"(station board
V1 vcc 0 DC 5
R1 vcc r1b 10k
R2 r1b 0 10k
C1 r1b 0 1u
)";

constexpr const char* kFixture = R"(# card pin net
MX1 P1   vcc
MX1 P2   R1B   ; case does not matter
mx2 P160 r1b
MX2 P3   0
)";

class VbenchStation : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kora_station_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_ / "boards");
        write("boards/board.cir", kBoard);
        write("fixture.txt", kFixture);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name) << text;
    }
    std::string physical(const std::string& section) {
        write("hw.ini", "[device->MX1]\nType = SM160\n[device->MX2]\nType = SM160\n" + section);
        return (dir_ / "hw.ini").string();
    }

    fs::path dir_;
};

TEST_F(VbenchStation, ReadsTheSectionOfThePhysicalLayerFile) {
    Station s =
        LoadStation(physical("[VirtualBench]\nBoard = boards/board.cir\n"
                             "Fixture = fixture.txt\nRelayResistance = 120m\n"
                             "BusResistance = 0.03\nDebounceTime = 300u\n"
                             "SettlingTime = 1.5m\nNoiseSeed = 987654321\nMeterNoise = 0\n"));
    EXPECT_EQ(s.board.title, "station board");
    EXPECT_EQ(s.boardFile, (dir_ / "boards/board.cir").string());
    EXPECT_DOUBLE_EQ(s.relayResistance, 0.12);
    EXPECT_DOUBLE_EQ(s.busResistance, 0.03);
    EXPECT_DOUBLE_EQ(s.relayOffResistance, 1e12);
    EXPECT_DOUBLE_EQ(s.debounceTime, 300e-6);
    EXPECT_DOUBLE_EQ(s.settlingTime, 1.5e-3);
    EXPECT_EQ(s.noiseSeed, 987654321u);
    EXPECT_FALSE(s.meterNoise);

    ASSERT_EQ(s.fixture.size(), 4u);
    EXPECT_EQ(s.netOf("MX1", 1), std::optional<std::string>("vcc"));
    EXPECT_EQ(s.netOf("mx1", 2), std::optional<std::string>("r1b"));
    EXPECT_EQ(s.netOf("MX2", 160), std::optional<std::string>("r1b"));
    EXPECT_EQ(s.netOf("MX2", 3), std::optional<std::string>("0"));
    EXPECT_FALSE(s.netOf("MX1", 3).has_value());
    EXPECT_EQ(s.pinsOf("R1B").size(), 2u);
    EXPECT_EQ(s.fixture[1].where.line, 3);

    // The bench takes the board as its circuit and the seed for its meters.
    VirtualBench bench;
    bench.loadStation(s);
    EXPECT_FALSE(bench.noise().enabled());
    ASSERT_TRUE(bench.wait(100e-3).ok());
    EXPECT_NEAR(bench.circuit().voltage("r1b"), 2.5, 1e-6);
}

// The pin table follows the wiring: replaced by another, copied over in place, or carrying a
// pin number no wiring file has.
TEST(StationFixture, NetOfFollowsTheWiring) {
    Station s;
    s.fixture = {{"MX1", 1, "a", {}}, {"MX1", 2, "b", {}}, {"mx1", 1, "late", {}}};
    EXPECT_EQ(s.netOf("mx1", 1), std::optional<std::string>("a")); // the first entry wins
    const Station copy = s;
    s.fixture = {{"MX2", 7, "c", {}}};
    s.fixture.push_back({"MX1", 0, "odd", {}});
    const std::vector<FixturePin> sameSize = {
        {"MX3", 2, "d", {}}, {"MX1", 2, "e", {}}, {"MX1", 9, "f", {}}};
    Station inPlace = copy;
    EXPECT_EQ(inPlace.netOf("MX1", 2), std::optional<std::string>("b"));
    inPlace.fixture.assign(sameSize.begin(), sameSize.end());
    struct Case {
        const Station* station;
        const char* card;
        int pin;
        const char* net; // null: not wired
    } cases[] = {
        {&copy, "MX1", 2, "b"},    {&copy, "MX2", 7, nullptr},    {&s, "Mx2", 7, "c"},
        {&s, "MX1", 1, nullptr},   {&s, "MX1", 0, "odd"},         {&inPlace, "MX1", 2, "e"},
        {&inPlace, "mx3", 2, "d"}, {&inPlace, "MX1", 1, nullptr}, {&inPlace, "MX1", 9, "f"},
    };
    for (const auto& c : cases) {
        const auto net = c.station->netOf(c.card, c.pin);
        EXPECT_EQ(net.value_or("<none>"), c.net ? c.net : "<none>") << c.card << " " << c.pin;
    }
}

TEST_F(VbenchStation, DefaultsWithOnlyABoard) {
    Station s = LoadStation(physical("[VirtualBench]\nBoard = boards/board.cir\n"));
    EXPECT_TRUE(s.fixture.empty());
    EXPECT_TRUE(s.meterNoise);
    EXPECT_GT(s.relayResistance, 0);
    EXPECT_GT(s.debounceTime, 0);
}

TEST_F(VbenchStation, ErrorsNameTheFileAndWhatIsWrong) {
    write("bad_board.cir", "bad\nR1 a 0 1k\nQ1 c b e nomodel\n");
    write("bad_pin.txt", "MX1 P1 vcc\nMX1 P161 vcc\n");
    write("bad_pin0.txt", "MX1 P01 vcc\n");
    write("bad_net.txt", "MX1 P1 vcc\n\nMX1 P2 nowhere\n");
    write("twice.txt", "MX1 P5 vcc\nmx1 P5 r1b\n");
    write("short.txt", "MX1 P5\n");
    struct Case {
        std::string section;
        std::string message;
    } cases[] = {
        {"[Other]\nBoard = x\n", "no [VirtualBench] section"},
        {"[VirtualBench]\nFixture = fixture.txt\n", "no Board netlist named"},
        {"[VirtualBench]\nBoard = missing.cir\n", "cannot read the board file"},
        {"[VirtualBench]\nBoard = bad_board.cir\n", "bad_board.cir:3: model 'nomodel'"},
        {"[VirtualBench]\nBoard = boards/board.cir\nFixture = none.txt\n",
         "cannot read the fixture file"},
        {"[VirtualBench]\nBoard = boards/board.cir\nFixture = bad_pin.txt\n",
         "bad_pin.txt:2: 'P161' is not a pin"},
        {"[VirtualBench]\nBoard = boards/board.cir\nFixture = bad_pin0.txt\n",
         "bad_pin0.txt:1: 'P01' is not a pin"},
        {"[VirtualBench]\nBoard = boards/board.cir\nFixture = bad_net.txt\n",
         "bad_net.txt:3: net 'nowhere' is not on the board"},
        {"[VirtualBench]\nBoard = boards/board.cir\nFixture = twice.txt\n",
         "twice.txt:2: mx1 P5 is wired already (line 1)"},
        {"[VirtualBench]\nBoard = boards/board.cir\nFixture = short.txt\n",
         "short.txt:1: expected CARD PIN NET"},
        {"[VirtualBench]\nBoard = boards/board.cir\nRelayResistance = low\n",
         "relayresistance = 'low' is not a usable number"},
        {"[VirtualBench]\nBoard = boards/board.cir\nBusResistance = 0\n",
         "busresistance = '0' is not a usable number"},
        {"[VirtualBench]\nBoard = boards/board.cir\nMeterNoise = yes\n",
         "MeterNoise must be 0 or 1"},
        {"[VirtualBench]\nBoard = boards/board.cir\nNoiseSeed = -4\n", "NoiseSeed = '-4'"},
        {"[VirtualBench]\nBoard = boards/board.cir\nBoards = x\n", "unknown key 'Boards'"},
        {"[VirtualBench]\nBoard = boards/board.cir\nChargedCapacitors = C1\n",
         "ChargedCapacitors entry 'C1' is not a capacitor name and its voltage"},
    };
    for (const auto& c : cases) {
        try {
            LoadStation(physical(c.section));
            ADD_FAILURE() << "accepted: " << c.section;
        } catch (const StationError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << e.what() << "\nexpected: " << c.message;
        }
    }
    EXPECT_THROW(LoadStation((dir_ / "no_such.ini").string()), StationError);
}

TEST_F(VbenchStation, ChargedCapacitorsStartAtTheirVoltage) {
    const std::string hw = physical("[VirtualBench]\nBoard = boards/board.cir\n"
                                    "ChargedCapacitors = c1 3\n");
    VirtualBench bench;
    bench.loadStation(LoadStation(hw));
    bench.settle();
    auto* c = dynamic_cast<Capacitor*>(bench.circuit().find("c1"));
    ASSERT_NE(c, nullptr);
    EXPECT_NEAR(c->voltage(), 3.0, 1e-6);
    bench.wait(0.1); // 20 time constants of the divider
    EXPECT_NEAR(c->voltage(), 2.5, 1e-3);
    EXPECT_THROW(bench.loadStation(LoadStation(physical(
                     "[VirtualBench]\nBoard = boards/board.cir\nChargedCapacitors = r1 3\n"))),
                 StationError);
}

TEST_F(VbenchStation, CartridgeCardsAreListedInOrder) {
    struct Case {
        const char* lines;
        std::vector<std::string> cards;
        const char* error; // "" when the station loads
    } cases[] = {
        {"", {}, ""},
        {"Cartridges =\n", {}, ""},
        {"Cartridges = SSC, vpc ,, ACC\n", {"SSC", "vpc", "ACC"}, ""},
        {"cartridges=VCC\n", {"VCC"}, ""},
        {"Cartridges = SSC, VPC, ssc\n", {}, "cartridge 'ssc' listed twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        const std::string file =
            physical(std::string("[VirtualBench]\nBoard = boards/board.cir\n") + c.lines);
        if (c.error[0] != '\0') {
            try {
                LoadStation(file);
                ADD_FAILURE() << "accepted";
            } catch (const StationError& e) {
                EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
            }
            continue;
        }
        EXPECT_EQ(LoadStation(file).cartridges, c.cards);
    }
}

TEST_F(VbenchStation, ResourceDescriptorsGiveBusFrameAndSlot) {
    struct Case {
        const char* resource;
        bool module;     // ModuleAddress, else FrameSlotAddress
        const char* bus; // nullptr: no address
        int frame, slot;
    } cases[] = {
        {"CAN0::0::5", true, "CAN0::0", 0, 5},
        {"can1::1::16", true, "can1::1", 1, 16},
        {"CAN0::1::9", true, "CAN0::1", 0, 9},
        {"CAN0::0", true, nullptr, 0, 0},
        {"CAN0::0::x", true, nullptr, 0, 0},
        {"CAN::0::5", true, nullptr, 0, 0},
        {"0::0::5", true, nullptr, 0, 0},
        {"CAN0::0::5::INSTR", true, nullptr, 0, 0},
        {"PXI1::14::INSTR", false, "PXI1", 1, 14},
        {"VXI0::3", false, "VXI0", 0, 3},
        {"PXI1", false, nullptr, 0, 0},
        {"PXI1::x::INSTR", false, nullptr, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.resource);
        const auto a = c.module ? ModuleAddress(c.resource) : FrameSlotAddress(c.resource);
        if (!c.bus) {
            EXPECT_FALSE(a.has_value());
            continue;
        }
        ASSERT_TRUE(a.has_value());
        EXPECT_EQ(a->bus, c.bus);
        EXPECT_EQ(a->frame, c.frame);
        EXPECT_EQ(a->slot, c.slot);
    }
}

} // namespace
} // namespace kora::vbench
