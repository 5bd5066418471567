// The switch-matrix driver through its C functions, on a virtual station: which connections reach
// the analog bus (measured with a source on the bus lines), debounce in virtual time, error codes
// and texts, journal and fault injection.
#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/matrix_card.h>

#include <zqsm160.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kora::vbench {
namespace {

namespace fs = std::filesystem;

// 10 k between a and b with a 1 k + 1 k path around it through c.
constexpr const char* kBoard = "matrix board\nR1 a b 10k\nR2 a c 1k\nR3 c b 1k\n";
constexpr const char* kFixture = "MX1 P1 a\nMX1 P2 b\nMX1 P3 c\n";
constexpr double kRelay = 0.2, kBus = 0.05, kDebounce = 400e-6;

class VbenchZqsm160 : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kora_zqsm160_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        std::ofstream(dir_ / "board.cir") << kBoard;
        std::ofstream(dir_ / "fixture.txt") << kFixture;
        std::ofstream(dir_ / "hw.ini") << "[device->MX1]\nType = SM160\n"
                                          "ResourceDesc = PXI1::10::INSTR\n"
                                          "[VirtualBench]\nBoard = board.cir\n"
                                          "Fixture = fixture.txt\nRelayResistance = 0.2\n"
                                          "BusResistance = 0.05\nDebounceTime = 400u\n";
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(LoadStation((dir_ / "hw.ini").string()));
        VirtualBench::activate(bench_);
        // The measuring side: 1 V between the analog bus lines ABA1 and ABB1, ABB1 on ground.
        Circuit& c = bench_->circuit();
        source_ = &c.add<Source>("test:v", c.node(MatrixCard::systemLineNet(0)),
                                 c.node(MatrixCard::systemLineNet(2)), Source::Mode::Voltage);
        source_->setLevel(1);
        c.add<Resistor>("test:ground", c.node(MatrixCard::systemLineNet(2)), kGround, 1e-3);
        ASSERT_EQ(ZQsm160_InitWithOptions("PXI1::10::INSTR", 1, 1, "", &vi_), VI_SUCCESS);
        for (int i = 0; i < 8; ++i) {
            ASSERT_EQ(ZQsm160_getChannelId(0, MatrixCard::lineName(i), &line_[i]), VI_SUCCESS);
        }
    }
    void TearDown() override {
        ZQsm160_close(vi_);
        VirtualBench::activate(nullptr);
        fs::remove_all(dir_);
    }

    // Resistance that the bus source sees now.
    double Seen() {
        EXPECT_TRUE(bench_->settle().ok());
        const double i = source_->deliveredCurrent(bench_->circuit().solution().data());
        return 1.0 / i;
    }

    fs::path dir_;
    std::shared_ptr<VirtualBench> bench_;
    Source* source_ = nullptr;
    ViSession vi_ = 0;
    std::array<ViInt32, 8> line_{};
};

TEST_F(VbenchZqsm160, ConnectionsReachTheBusAsTheArgumentsSay) {
    const double parallel = 10e3 * 2e3 / 12e3;
    // Each path to the source: crosspoint relay, coupling relay and bus line.
    const double wired = parallel + 2 * (kRelay + kRelay + kBus);
    // P3 on the card's ground reference puts c on ground, where the source's low side is (through
    // its 1 mohm tie): R2 || (R1 + R3) between the relays.
    const double guarded = kRelay + kRelay + kBus + 1e3 * 11e3 / 12e3 + kRelay + 1e-3;
    const double open = 1e9; // anything above: no path
    struct Case {
        const char* what;
        std::function<void(ViSession, const std::array<ViInt32, 8>&)> connect;
        double ohms; // expected, or `open`
    } cases[] = {
        {"quickConnect with the ICT mark",
         [](ViSession vi, const auto& l) {
             ZQsm160_SetAttributeViBoolean(vi, "", 1150002, VI_TRUE);
             ZQsm160_quickConnect(vi, 1, l[0], 1);
             ZQsm160_quickConnect(vi, 1, 2, l[2]); // either order of pin and line
         },
         wired},
        {"quickConnect without the ICT mark: a line with a pin couples by itself",
         [](ViSession vi, const auto& l) {
             ZQsm160_quickConnect(vi, 1, l[0], 1);
             ZQsm160_quickConnect(vi, 1, l[2], 2);
         },
         wired},
        {"Connect by name couples single lines",
         [](ViSession vi, const auto&) {
             ZQsm160_Connect(vi, "LABa1", "ABa1");
             ZQsm160_Connect(vi, "ABB1", "LABB1");
             ZQsm160_Connect(vi, "P1", "LABA1");
             ZQsm160_Connect(vi, "LABB1", "P2");
         },
         wired},
        {"quickConnectABCD group B's 1 is the stimulus line LABA1",
         [](ViSession vi, const auto& l) {
             ZQsm160_quickConnectABCD(vi, 1, 0, 1, 0, 0, 0);
             ZQsm160_quickConnect(vi, 1, l[2], 2);
         },
         wired},
        {"quickConnectABCD group A parks on a D line",
         [](ViSession vi, const auto& l) {
             ZQsm160_quickConnectABCD(vi, 1, 1, 0, 0, 0, 0);
             ZQsm160_quickConnect(vi, 1, l[2], 2);
         },
         open},
        {"quickConnectABCD releases the pin's old lines first",
         [](ViSession vi, const auto& l) {
             ZQsm160_quickConnectABCD(vi, 1, 0, 1, 0, 0, 0);
             ZQsm160_quickConnect(vi, 1, l[2], 2);
             ZQsm160_quickConnectABCD(vi, 1, 0, 0, 1, 0, 0);
         },
         open},
        {"ground reference selector on the third pin",
         [](ViSession vi, const auto&) {
             ZQsm160_SetAttributeViBoolean(vi, "", 1150002, VI_TRUE);
             ZQsm160_quickConnectABCD(vi, 1, 0, 1, 0, 0, 0);
             ZQsm160_quickConnectABCD(vi, 3, 0, 0, 3, 0, 0);
         },
         guarded},
        {"quickConnectArray by pin mask",
         [](ViSession vi, const auto& l) {
             ZQsm160_SetAttributeViBoolean(vi, "", 1150002, VI_TRUE);
             const ViUInt32 p1[5] = {0x1, 0, 0, 0, 0};
             const ViUInt32 p2[5] = {0x2, 0, 0, 0, 0};
             ZQsm160_quickConnectArray(vi, p1, l[0], -1);
             ZQsm160_quickConnectArray(vi, p2, -1, l[2]);
         },
         wired},
        {"quickConnectArray with both ids negative releases",
         [](ViSession vi, const auto& l) {
             ZQsm160_SetAttributeViBoolean(vi, "", 1150002, VI_TRUE);
             const ViUInt32 both[5] = {0x3, 0, 0, 0, 0};
             const ViUInt32 p1[5] = {0x1, 0, 0, 0, 0};
             ZQsm160_quickConnectArray(vi, p1, l[0], -1);
             ZQsm160_quickConnectArray(vi, both, l[2], -1);
             ZQsm160_quickConnectArray(vi, p1, -1, -1);
         },
         open},
        {"lowering the ICT mark keeps every connection",
         [](ViSession vi, const auto& l) {
             ZQsm160_SetAttributeViBoolean(vi, "", 1150002, VI_TRUE);
             ZQsm160_quickConnect(vi, 1, l[0], 1);
             ZQsm160_quickConnect(vi, 1, l[2], 2);
             ZQsm160_SetAttributeViBoolean(vi, "", 1150002, VI_FALSE);
         },
         wired},
        {"DisconnectAll keeps the attribute",
         [](ViSession vi, const auto& l) {
             ZQsm160_SetAttributeViBoolean(vi, "", 1150002, VI_TRUE);
             ZQsm160_quickConnect(vi, 1, l[0], 1);
             ZQsm160_DisconnectAll(vi);
             ZQsm160_quickConnect(vi, 1, l[0], 1);
             ZQsm160_quickConnect(vi, 1, l[2], 2);
         },
         wired},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(ZQsm160_InitWithOptions("PXI1::10::INSTR", 1, 1, "", &vi_), VI_SUCCESS);
        bench_->journal().clear();
        c.connect(vi_, line_);
        for (const auto& e : bench_->journal().entries()) {
            EXPECT_EQ(e.result, VI_SUCCESS)
                << c.what << ": " << e.function << "(" << e.arguments << ")";
        }
        const double seen = Seen();
        if (c.ohms == open) {
            EXPECT_GT(seen, open) << c.what;
        } else {
            EXPECT_NEAR(seen, c.ohms, c.ohms * 1e-6) << c.what;
        }
        ZQsm160_close(vi_);
    }
}

TEST_F(VbenchZqsm160, DebounceWaitsInVirtualTime) {
    auto now = [&] { return bench_->clock().nowNs(); };
    const int64_t debounce = static_cast<int64_t>(kDebounce * 1e9 + 0.5);
    bench_->clock().wait(1'000'000);
    const int64_t t0 = now();
    EXPECT_EQ(ZQsm160_WaitForDebounce(vi_, 1000), VI_SUCCESS);
    EXPECT_EQ(now(), t0) << "nothing switched: no wait";

    ZQsm160_quickConnect(vi_, 1, line_[0], 5);
    bench_->clock().wait(100'000);
    EXPECT_EQ(ZQsm160_WaitForDebounce(vi_, 1000), VI_SUCCESS);
    EXPECT_EQ(now(), t0 + debounce);
    EXPECT_EQ(ZQsm160_WaitForDebounce(vi_, 1000), VI_SUCCESS);
    EXPECT_EQ(now(), t0 + debounce);

    ZQsm160_quickConnect(vi_, 0, line_[0], 5);
    EXPECT_EQ(ZQsm160_WaitForDebounce(vi_, 0), static_cast<ViStatus>(0xBFFA4008));
    const int64_t t1 = now();
    EXPECT_EQ(ZQsm160_hscDisconnectAll(vi_), VI_SUCCESS);
    EXPECT_EQ(now(), t1) << "the hot-switch path does not wait";
    EXPECT_EQ(ZQsm160_DisconnectAll(vi_), VI_SUCCESS);
    EXPECT_EQ(now(), t1 + debounce);
}

TEST_F(VbenchZqsm160, ErrorsHaveCodesAndTexts) {
    const ViUInt32 mask[5] = {1, 0, 0, 0, 0};
    struct Case {
        const char* what;
        ViStatus status;
        ViStatus expected;
        const char* text;
    } cases[] = {
        {"unknown session", ZQsm160_quickConnect(vi_ + 100, 1, 1, line_[0]),
         static_cast<ViStatus>(0xBFFA4001), "Invalid session handle"},
        {"pin id out of range", ZQsm160_quickConnect(vi_, 1, 161, line_[0]),
         static_cast<ViStatus>(0xBFFA4004), "Invalid channel id"},
        {"two pins", ZQsm160_quickConnect(vi_, 1, 1, 2), static_cast<ViStatus>(0xBFFA4005),
         "No relay of the card connects"},
        {"selector 5", ZQsm160_quickConnectABCD(vi_, 1, 0, 5, 0, 0, 0),
         static_cast<ViStatus>(0xBFFA4006), "Invalid line selector"},
        {"bus id that is a pin", ZQsm160_quickConnectArray(vi_, mask, 3, -1),
         static_cast<ViStatus>(0xBFFA4004), "Invalid channel id"},
        {"null mask", ZQsm160_quickConnectArray(vi_, nullptr, line_[0], -1),
         static_cast<ViStatus>(0xBFFA4003), "Null pointer"},
        {"unknown attribute", ZQsm160_SetAttributeViBoolean(vi_, "", 1150099, 1),
         static_cast<ViStatus>(0xBFFA4007), "Attribute not supported"},
        {"names without a relay between", ZQsm160_Connect(vi_, "LABA1", "ABB1"),
         static_cast<ViStatus>(0xBFFA4005), "No relay"},
        {"unknown name", ZQsm160_Connect(vi_, "P1", "LABE1"), static_cast<ViStatus>(0xBFFA4002),
         "Unknown channel name"},
        {"close twice", (ZQsm160_close(vi_), ZQsm160_close(vi_)), static_cast<ViStatus>(0xBFFA4001),
         "Invalid session handle"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.status, c.expected) << c.what;
        ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
        ASSERT_EQ(ZQsm160_error_message(0, c.status, text), VI_SUCCESS);
        EXPECT_NE(std::string(text).find(c.text), std::string::npos) << c.what << ": " << text;
    }
    ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
    ZQsm160_error_message(0, -12345, text);
    EXPECT_STREQ(text, "Unknown status code 0xFFFFCFC7");
    EXPECT_EQ(ZQsm160_error_message(0, 0, nullptr), static_cast<ViStatus>(0xBFFA4003));

    VirtualBench::activate(nullptr);
    ViSession vi = 0;
    EXPECT_EQ(ZQsm160_InitWithOptions("PXI1::10::INSTR", 1, 1, "", &vi),
              static_cast<ViStatus>(0xBFFA4009));
    VirtualBench::activate(bench_);
    EXPECT_EQ(ZQsm160_InitWithOptions("PXI1::10::INSTR", 1, 1, "", &vi_), VI_SUCCESS);
}

TEST_F(VbenchZqsm160, InjectedFaultReturnsItsCodeAndTextAndSwitchesNothing) {
    constexpr ViStatus kWelded = static_cast<ViStatus>(0xBFFA4F00);
    bench_->journal().clear();
    bench_->faults().add({"ZQsm160_quickConnect", 2, false, kWelded, "Relay K12 welded"});
    ZQsm160_SetAttributeViBoolean(vi_, "", 1150002, VI_TRUE);
    EXPECT_EQ(ZQsm160_quickConnect(vi_, 1, line_[0], 1), VI_SUCCESS);
    EXPECT_EQ(ZQsm160_quickConnect(vi_, 1, line_[2], 2), kWelded);
    EXPECT_GT(Seen(), 1e9) << "the failed call closed no relay";
    ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
    ZQsm160_error_message(vi_, kWelded, text);
    EXPECT_STREQ(text, "Relay K12 welded");
    EXPECT_EQ(ZQsm160_quickConnect(vi_, 1, line_[2], 2), VI_SUCCESS);
    EXPECT_LT(Seen(), 2e3);

    auto calls = bench_->journal().calls("ZQsm160_quickConnect");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_TRUE(calls[1].injected);
    EXPECT_EQ(calls[1].result, kWelded);
    EXPECT_EQ(calls[1].arguments, std::to_string(vi_) + ", 1, 1003, 2");
    EXPECT_EQ(bench_->journal().sequence("ZQsm160"),
              (std::vector<std::string>{"ZQsm160_SetAttributeViBoolean", "ZQsm160_quickConnect",
                                        "ZQsm160_quickConnect", "ZQsm160_error_message",
                                        "ZQsm160_quickConnect"}));
}

} // namespace
} // namespace kora::vbench
