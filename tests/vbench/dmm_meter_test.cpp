// The multimeter through the DMM class library's C functions only, on a station of six meters
// wired to one board (tests/vbench/data/dmm_*): what it reads, on which range, when its records
// are taken, what its triggers do and what the journal shows.
#include <vbench/bench/virtual_bench.h>

#include <dmm.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

namespace kora::vbench {
namespace {

constexpr double kInput = 10e6;     // voltmeter input
constexpr double kIsolation = 10e9; // floating LO to ground
constexpr double kRelay = 0.2;      // the station's relay resistance (ground relay)
constexpr double kOverRange = 9.9e37;

std::filesystem::path DataDir() {
    return std::filesystem::path(KORA_EXAMPLES_DIR).parent_path() / "tests" / "vbench" / "data";
}

// The status block of a call, with rubbish in it so that a test sees the call clear it.
struct Status {
    int32_t warning = 77;
    int32_t error = 77;
    char message[CLASSLIB_MESSAGE_SIZE] = "stale";
};

struct Accuracy {
    double ofReading, ofRange;
    double of(double value, double range) const {
        return ofReading * std::fabs(value) + ofRange * range;
    }
};
constexpr Accuracy kVdc{35e-6, 5e-6}, kAdc{5e-4, 5e-5}, kOhms{1e-4, 1e-5}, kVac{6e-4, 3e-4},
    kAac{1e-3, 4e-4};

// What the board holds, worked out by hand. Each meter's voltage input (10 Mohm plus its leads)
// loads the node it sits on.
struct Board {
    static double MeterFactor() { return kInput / (kInput + 1.0); } // of the two 0.5 ohm leads
    static double DividerMid() {
        const double g = 2 / 10e3 + 1 / (kInput + 1.0);
        return 10 / 10e3 / g * MeterFactor();
    }
    static double LoopCurrent(double shunt) { return 5 / (1e3 + 0.2 + shunt); }
    // The node where the two sines meet: offset and amplitudes there.
    static double SineG() { return 3 / 1e3 + 1 / (kInput + 1.0); }
    static double SineDc() { return 1 / 1e3 / SineG() * MeterFactor(); }
    static double SineRms() {
        const double a1 = 1 / 1e3 / SineG() * MeterFactor();
        const double a2 = 2 / 1e3 / SineG() * MeterFactor();
        return std::sqrt(a1 * a1 + a2 * a2) / std::numbers::sqrt2;
    }
    static double SineCurrentRms(double shunt) {
        return 1 / (1e3 + 0.2 + shunt) / std::numbers::sqrt2;
    }
};

class VbenchDmm : public ::testing::Test {
  protected:
    void SetUp() override {
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(LoadStation((DataDir() / "dmm_station.ini").string()));
        VirtualBench::activate(bench_);
        const char* names[][2] = {{"DMM_V", "GPIB0::1::INSTR"},   {"DMM_I", "GPIB0::2::INSTR"},
                                  {"DMM_R", "GPIB0::3::INSTR"},   {"DMM_AC", "GPIB0::4::INSTR"},
                                  {"DMM_IAC", "GPIB0::5::INSTR"}, {"DMM_F", "GPIB0::6::INSTR"}};
        for (const auto& n : names) {
            Status s;
            int32_t h = -1;
            ASSERT_EQ(DMM_Setup(0, n[0], n[1], "", &h, &s.warning, &s.error, s.message), 0)
                << s.message;
            meters_[n[0]] = h;
        }
        bench_->journal().clear();
    }
    void TearDown() override {
        for (const auto& [name, h] : meters_) {
            Status s;
            DMM_Cleanup(0, h, &s.warning, &s.error, s.message);
        }
        VirtualBench::activate(nullptr);
    }

    int32_t H(const std::string& name) { return meters_.at(name); }

    void Ok(int32_t status, const Status& s, const char* what) {
        ASSERT_EQ(status, 0) << what << ": " << s.message;
    }
    void Measure(int32_t h, const char* function, double range, const char* mode) {
        Status s;
        Ok(DMM_Conf_Measurement(0, h, function, range, mode, range, &s.warning, &s.error,
                                s.message),
           s, function);
    }
    void MultiPoint(int32_t h, long triggers, long samples, double interval) {
        Status s;
        Ok(DMM_Conf_Multi_Point(0, h, triggers, samples, "INTERVAL", interval, &s.warning, &s.error,
                                s.message),
           s, "multi-point");
    }
    void Trigger(int32_t h, const char* source, double delay) {
        Status s;
        Ok(DMM_Conf_Trigger(0, h, source, delay, &s.warning, &s.error, s.message), s, source);
    }
    // One reading; the status of DMM_Read goes to *status when asked for, else it must be 0.
    double ReadOne(int32_t h, int32_t* status = nullptr) {
        Status s;
        double value = NAN;
        int32_t n = -1;
        const int32_t r = DMM_Read(0, h, 1.0, 1, &value, &n, &s.warning, &s.error, s.message);
        if (status) {
            *status = r;
        } else {
            EXPECT_EQ(r, 0) << s.message;
            EXPECT_EQ(n, 1);
        }
        return value;
    }
    bool OverRange(int32_t h, double value) {
        Status s;
        int32_t over = -1;
        DMM_Is_Over_Range(0, h, value, &over, &s.warning, &s.error, s.message);
        return over == 1;
    }
    // Fetch of up to `count` samples: the samples handed over, the status in *status.
    std::vector<double> Fetch(int32_t h, double maxTime, long count, int32_t* status,
                              std::string* message = nullptr) {
        Status s;
        std::vector<double> values(static_cast<std::size_t>(count), -1.0);
        int32_t n = -1;
        *status =
            DMM_Fetch(0, h, maxTime, count, values.data(), &n, &s.warning, &s.error, s.message);
        if (message) {
            *message = s.message;
        }
        values.resize(static_cast<std::size_t>(std::max(n, 0)));
        return values;
    }
    double Now() const { return bench_->clock().seconds(); }

    std::shared_ptr<VirtualBench> bench_;
    std::map<std::string, int32_t> meters_;
};

// Every function reads the board's known answer within the meter's stated accuracy: the voltmeter
// loads its node, the ammeter's shunt follows its range, the 2-wire resistance holds its leads and
// the 4-wire one does not, and the AC functions add the two sines' powers.
TEST_F(VbenchDmm, ReadsTheBoardWithinTheStatedAccuracy) {
    struct Case {
        const char* what;
        const char* meter;
        const char* function;
        double range; // fixed
        double expected;
        Accuracy accuracy;
    } cases[] = {
        {"divider, loaded by the meter", "DMM_V", "DC_VOLTS", 10, Board::DividerMid(), kVdc},
        {"divider on the 1000 V range", "DMM_V", "DC_VOLTS", 1000, Board::DividerMid(), kVdc},
        {"loop current with the 10 mA shunt", "DMM_I", "DC_CURRENT", 10e-3, Board::LoopCurrent(10),
         kAdc},
        {"loop current with the 100 mA shunt", "DMM_I", "DC_CURRENT", 100e-3, Board::LoopCurrent(1),
         kAdc},
        {"1 k with 2 ohm in each lead, 2-wire", "DMM_R", "2_WIRE_RES", 10e3, 1004, kOhms},
        {"1 k with 2 ohm in each lead, 4-wire", "DMM_R", "4_WIRE_RES", 1e3, 1000, kOhms},
        {"two sines, true RMS", "DMM_AC", "AC_VOLTS", 1, Board::SineRms(), kVac},
        {"two sines, AC + DC", "DMM_AC", "AC_PLUS_DC_VOLTS", 1,
         std::hypot(Board::SineDc(), Board::SineRms()), kVac},
        {"two sines, DC: the offset alone", "DMM_AC", "DC_VOLTS", 1, Board::SineDc(), kVdc},
        {"sine current with the 1 mA shunt", "DMM_IAC", "AC_CURRENT", 1e-3,
         Board::SineCurrentRms(100), kAac},
        {"sine current, AC + DC", "DMM_IAC", "AC_PLUS_DC_CURRENT", 10e-3, Board::SineCurrentRms(10),
         kAac},
        {"sine current, DC", "DMM_IAC", "DC_CURRENT", 1e-3, 0, kAdc},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Measure(H(c.meter), c.function, c.range, "AUTO_RANGE_OFF");
        const double read = ReadOne(H(c.meter));
        EXPECT_NEAR(read, c.expected, c.accuracy.of(c.expected, c.range));
    }
    // The loading is real: the unloaded divider is 5 V, far outside the accuracy.
    EXPECT_GT(5.0 - Board::DividerMid(), 10 * kVdc.of(5, 10));
}

// A fixed range is the smallest of the table that holds the range asked for; auto-range picks
// the smallest that holds the value (and, for currents, reads with that range's shunt); above
// 120 % of the range the meter reads 9.9e37, which DMM_Is_Over_Range recognises.
TEST_F(VbenchDmm, RangesAutoRangeAndOverRange) {
    struct Case {
        const char* meter;
        const char* function;
        double range;
        const char* mode;
        bool over;
        double expected;  // when not over range
        double usedRange; // the range the reading is made on
        Accuracy accuracy;
    } cases[] = {
        {"DMM_V", "DC_VOLTS", 1, "AUTO_RANGE_OFF", true, 0, 1, kVdc},
        {"DMM_V", "DC_VOLTS", 4.5, "AUTO_RANGE_OFF", false, Board::DividerMid(), 10, kVdc},
        {"DMM_V", "DC_VOLTS", 0, "AUTO_RANGE_OFF", true, 0, 0.1, kVdc},
        {"DMM_V", "DC_VOLTS", 0.001, "AUTO_RANGE_ON", false, Board::DividerMid(), 10, kVdc},
        {"DMM_I", "DC_CURRENT", 1e-3, "AUTO_RANGE_OFF", true, 0, 1e-3, kAdc},
        {"DMM_I", "DC_CURRENT", 0.001, "AUTO_RANGE_ON", false, Board::LoopCurrent(10), 10e-3, kAdc},
        {"DMM_R", "2_WIRE_RES", 1e3, "AUTO_RANGE_OFF", false, 1004, 1e3, kOhms}, // within 120 %
        {"DMM_R", "2_WIRE_RES", 100, "AUTO_RANGE_OFF", true, 0, 100, kOhms},
        {"DMM_R", "2_WIRE_RES", 0.001, "AUTO_RANGE_ON", false, 1004, 10e3, kOhms},
        {"DMM_R", "4_WIRE_RES", 0.001, "AUTO_RANGE_ON", false, 1000, 1e3, kOhms},
        {"DMM_AC", "AC_VOLTS", 0.1, "AUTO_RANGE_OFF", true, 0, 0.1, kVac},
        {"DMM_AC", "AC_VOLTS", 0.001, "AUTO_RANGE_ON", false, Board::SineRms(), 1, kVac},
        {"DMM_IAC", "AC_CURRENT", 0.001, "AUTO_RANGE_ON", false, Board::SineCurrentRms(100), 1e-3,
         kAac},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.meter) + " " + c.function + " " + std::to_string(c.range) + " " +
                     c.mode);
        Measure(H(c.meter), c.function, c.range, c.mode);
        const double read = ReadOne(H(c.meter));
        EXPECT_EQ(OverRange(H(c.meter), read), c.over) << read;
        if (c.over) {
            EXPECT_EQ(read, kOverRange);
        } else {
            EXPECT_NEAR(read, c.expected, c.accuracy.of(c.expected, c.usedRange));
        }
    }
    // A resistance meter with nothing between its leads holds its compliance: over range on every
    // range, auto-range too.
    Status s;
    int32_t open = -1;
    ASSERT_EQ(
        DMM_Setup(0, "DMM_OPEN", "GPIB0::1::INSTR", "", &open, &s.warning, &s.error, s.message), 0);
    for (const char* mode : {"AUTO_RANGE_OFF", "AUTO_RANGE_ON"}) {
        Measure(open, "2_WIRE_RES", 100e6, mode);
        EXPECT_TRUE(OverRange(open, ReadOne(open))) << mode;
    }
    // A meter connected to nothing reads 0 V: its floating input is held by the isolation.
    Measure(open, "DC_VOLTS", 0.1, "AUTO_RANGE_OFF");
    EXPECT_NEAR(ReadOne(open), 0, kVdc.of(0, 0.1));
    DMM_Cleanup(0, open, &s.warning, &s.error, s.message);
}

// LO floats on the meter's isolation: with HI on 2 V and LO on nothing the input divides 2 V by
// 10 Mohm against 10 Gohm. The ground relay ties LO to ground and the meter reads the 2 V.
TEST_F(VbenchDmm, FloatingLowAndTheGroundRelay) {
    const int32_t h = H("DMM_F");
    Measure(h, "DC_VOLTS", 0.1, "AUTO_RANGE_ON");
    // Beside the isolation, the open ground relay, the switched-off parts of the input and the
    // solver's shunt at every node leak a few Tohm more: a few per cent of the floating value.
    const double floating = 2 * kInput / (kInput + kIsolation);
    const double read = ReadOne(h);
    EXPECT_NEAR(read, floating, 0.05 * floating);
    Status s;
    ASSERT_EQ(DMM_Conf_Ground_Relay(0, h, 1, &s.warning, &s.error, s.message), 0);
    const double grounded = 2 * kInput / (kInput + 0.5 + kRelay);
    EXPECT_NEAR(ReadOne(h), grounded, kVdc.of(grounded, 10));
    // A reset opens it again.
    ASSERT_EQ(DMM_Reset(0, h, &s.warning, &s.error, s.message), 0);
    EXPECT_NEAR(ReadOne(h), read, kVdc.of(read, 0.1));
}

// Configuring a resistance function drives the test current at once, not only while reading;
// closing the meter turns it off again.
TEST_F(VbenchDmm, TestCurrentFlowsFromConfigurationToCleanup) {
    auto across = [&] {
        bench_->settle();
        return bench_->circuit().voltage("ra") - bench_->circuit().voltage("rb");
    };
    EXPECT_NEAR(across(), 0, 1e-9);
    Measure(H("DMM_R"), "2_WIRE_RES", 1e3, "AUTO_RANGE_OFF");
    EXPECT_NEAR(across(), 1e-3 * 1e3, 1e-6);
    Measure(H("DMM_R"), "4_WIRE_RES", 100e3, "AUTO_RANGE_OFF");
    EXPECT_NEAR(across(), 10e-6 * 1e3, 1e-8);
    Status s;
    ASSERT_EQ(DMM_Cleanup(0, H("DMM_R"), &s.warning, &s.error, s.message), 0);
    meters_.erase("DMM_R");
    EXPECT_NEAR(across(), 0, 1e-9);
}

// A simulated meter has no terminals in the circuit and reads its fixed values, with ranges and
// over range as a real one.
TEST_F(VbenchDmm, SimulatedMeterReadsFixedValues) {
    Status s;
    int32_t sim = -1;
    ASSERT_EQ(DMM_Setup(0, "DMM_SIM", "GPIB0::9::INSTR", "Simulate=true", &sim, &s.warning,
                        &s.error, s.message),
              0)
        << s.message;
    struct Case {
        const char* function;
        double expected;
        double range;
        Accuracy accuracy;
    } cases[] = {
        {"DC_VOLTS", 1, 1, kVdc},        {"DC_CURRENT", 1e-3, 1e-3, kAdc},
        {"2_WIRE_RES", 1e3, 1e3, kOhms}, {"4_WIRE_RES", 1e3, 1e3, kOhms},
        {"AC_VOLTS", 1, 1, kVac},        {"AC_PLUS_DC_CURRENT", 1e-3, 1e-3, kAac},
    };
    for (const Case& c : cases) {
        Measure(sim, c.function, 0, "AUTO_RANGE_ON");
        EXPECT_NEAR(ReadOne(sim), c.expected, c.accuracy.of(c.expected, c.range)) << c.function;
    }
    Measure(sim, "DC_VOLTS", 0.1, "AUTO_RANGE_OFF");
    EXPECT_TRUE(OverRange(sim, ReadOne(sim)));
    EXPECT_FALSE(bench_->circuit().findNode("dmm_sim!hi"));
    EXPECT_TRUE(bench_->circuit().findNode("dmm_v!hi"));
    DMM_Cleanup(0, sim, &s.warning, &s.error, s.message);
}

// Settings are checked: ranges beyond a function's largest, generator sources, the sample memory.
TEST_F(VbenchDmm, RefusesSettingsTheMeterDoesNotHave) {
    const int32_t h = H("DMM_V");
    struct Case {
        const char* what;
        std::function<int32_t(Status&)> call;
        int32_t status;
        const char* message;
    };
    const Case cases[] = {
        {"1000 V is the largest DC range",
         [&](Status& s) {
             return DMM_Conf_Measurement(0, h, "DC_VOLTS", 1000, "AUTO_RANGE_OFF", 0, &s.warning,
                                         &s.error, s.message);
         },
         0, ""},
        {"1001 V",
         [&](Status& s) {
             return DMM_Conf_Measurement(0, h, "DC_VOLTS", 1001, "AUTO_RANGE_OFF", 0, &s.warning,
                                         &s.error, s.message);
         },
         -15006, "range 1001 (at most 1000 for DC_VOLTS)"},
        {"any range on auto-range",
         [&](Status& s) {
             return DMM_Conf_Measurement(0, h, "AC_VOLTS", 5000, "AUTO_RANGE_ON", 0, &s.warning,
                                         &s.error, s.message);
         },
         0, ""},
        {"200 Mohm",
         [&](Status& s) {
             return DMM_Conf_Measurement(0, h, "4_WIRE_RES", 200e6, "AUTO_RANGE_OFF", 0, &s.warning,
                                         &s.error, s.message);
         },
         -15006, "at most 1e+08 for 4_WIRE_RES"},
        {"5 A",
         [&](Status& s) {
             return DMM_Conf_Measurement(0, h, "AC_CURRENT", 5, "AUTO_RANGE_OFF", 0, &s.warning,
                                         &s.error, s.message);
         },
         -15006, "at most 3 for AC_CURRENT"},
        {"a generator started by the measurement event",
         [&](Status& s) {
             return DMM_Conf_Trigger_Signal(0, h, "IT1", "ITO4", "POSITIVE", "XTO1", "HIGH", 0, 1,
                                            1e-6, 1e-6, &s.warning, &s.error, s.message);
         },
         0, ""},
        {"and then by software",
         [&](Status& s) {
             return DMM_Send_Software_Signal(0, h, "IT1", &s.warning, &s.error, s.message);
         },
         -15005, "the source of IT1 is ITO4, not SOFTWARE"},
        {"ITO4 is no trigger of the meter itself",
         [&](Status& s) {
             return DMM_Conf_Trigger(0, h, "ITO4", 0, &s.warning, &s.error, s.message);
         },
         -15005, "trigger source 'ITO4'"},
        {"a million samples",
         [&](Status& s) {
             return DMM_Conf_Multi_Point(0, h, 1000, 1000, "INTERVAL", 0, &s.warning, &s.error,
                                         s.message);
         },
         0, ""},
        {"one more trigger",
         [&](Status& s) {
             return DMM_Conf_Multi_Point(0, h, 1001, 1000, "INTERVAL", 0, &s.warning, &s.error,
                                         s.message);
         },
         -15006, "holds at most 1000000 samples"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Status s;
        EXPECT_EQ(c.call(s), c.status);
        EXPECT_EQ(s.error, c.status < 0 ? c.status : 0);
        EXPECT_NE(std::string(s.message).find(c.message), std::string::npos) << s.message;
    }
}

// A record takes trigger count x sample count samples, each trigger's after the trigger delay and
// one step per sample (the sample interval, or the averaging time when that is longer); the clock
// runs through them while the record is taken, and fetches hand them over in order.
TEST_F(VbenchDmm, MultiPointRecordRunsOnTheClock) {
    const int32_t h = H("DMM_V");
    Measure(h, "DC_VOLTS", 10, "AUTO_RANGE_OFF");
    struct Case {
        long triggers, samples;
        double interval, delay;
        long averageCount;
        double averageTime;
        double duration;
    } cases[] = {
        {1, 1, 0, 0, 1, 0, 5e-6}, // one sample of the shortest step
        {1, 10, 1e-3, 0, 1, 0, 10e-3},
        {2, 5, 1e-3, 10e-3, 1, 0, 2 * (10e-3 + 5e-3)},
        {1, 4, 1e-3, 0, 100, 1e-4, 4 * 10e-3}, // averaging outlasts the interval
        {3, 1, 0, 2e-3, 8192, 5e-6, 3 * (2e-3 + 8192 * 5e-6)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.triggers) + " x " + std::to_string(c.samples));
        Status s;
        MultiPoint(h, c.triggers, c.samples, c.interval);
        Trigger(h, "IMMEDIATE", c.delay);
        ASSERT_EQ(
            DMM_Conf_Average(0, h, c.averageCount, c.averageTime, &s.warning, &s.error, s.message),
            0);
        const double before = Now();
        ASSERT_EQ(DMM_Initiate(0, h, &s.warning, &s.error, s.message), 0);
        EXPECT_NEAR(Now() - before, c.duration, 1e-9);
        const long total = c.triggers * c.samples;
        // In two parts when there are several: the second goes on where the first stopped, and
        // asks for more than is left.
        std::vector<double> all;
        int32_t status = 1;
        if (total > 1) {
            const auto part = Fetch(h, 1.0, total - 1, &status);
            EXPECT_EQ(status, 0);
            all = part;
        }
        const auto rest = Fetch(h, 1.0, 5, &status);
        EXPECT_EQ(status, 0);
        all.insert(all.end(), rest.begin(), rest.end());
        EXPECT_EQ(all.size(), static_cast<std::size_t>(total));
        EXPECT_NEAR(Now() - before, c.duration, 1e-9) << "fetching took no time";
        for (double v : all) {
            EXPECT_NEAR(v, Board::DividerMid(), kVdc.of(5, 10) * 5 / 3); // five sigma
        }
        // The record is done.
        EXPECT_EQ(Fetch(h, 1.0, 1, &status).size(), 0u);
        EXPECT_EQ(status, -15009);
    }
    // DMM_Read is initiate and fetch: the whole record's time, the count asked for.
    MultiPoint(h, 1, 20, 1e-3);
    Trigger(h, "IMMEDIATE", 0);
    Status s;
    ASSERT_EQ(DMM_Conf_Average(0, h, 1, 0, &s.warning, &s.error, s.message), 0);
    std::vector<double> values(8);
    int32_t n = 0;
    const double before = Now();
    ASSERT_EQ(DMM_Read(0, h, 1.0, 8, values.data(), &n, &s.warning, &s.error, s.message), 0);
    EXPECT_EQ(n, 8);
    EXPECT_NEAR(Now() - before, 20e-3, 1e-9);
}

// With the software trigger the record waits: a fetch waits its maximum time and finds nothing
// (warning 15001), each DMM_Send_Software_Trigger takes one trigger's samples, and the journal
// shows the calls at their times.
TEST_F(VbenchDmm, SoftwareTriggerComesBeforeTheData) {
    const int32_t h = H("DMM_I");
    Measure(h, "DC_CURRENT", 10e-3, "AUTO_RANGE_OFF");
    MultiPoint(h, 2, 3, 1e-3);
    Trigger(h, "SOFTWARE", 0);
    Status s;
    int32_t status = 0;
    std::string message;
    ASSERT_EQ(DMM_Initiate(0, h, &s.warning, &s.error, s.message), 0);

    double t = Now();
    EXPECT_TRUE(Fetch(h, 0.5, 6, &status, &message).empty());
    EXPECT_EQ(status, DMM_ERR_NO_VALID_SAMPLE);
    EXPECT_NE(message.find("No valid sample: no trigger from SOFTWARE within 0.5 s"),
              std::string::npos)
        << message;
    EXPECT_NEAR(Now() - t, 0.5, 1e-9);

    t = Now();
    ASSERT_EQ(DMM_Send_Software_Trigger(0, h, &s.warning, &s.error, s.message), 0);
    EXPECT_NEAR(Now() - t, 3e-3, 1e-9);
    const double firstTrigger = t;
    // Three are there, three more may come: the fetch waits for them, then hands over what
    // there is.
    t = Now();
    auto got = Fetch(h, 0.25, 6, &status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_NEAR(Now() - t, 0.25, 1e-9);
    ASSERT_EQ(DMM_Send_Software_Trigger(0, h, &s.warning, &s.error, s.message), 0);
    // A third trigger finds the record complete and changes nothing.
    ASSERT_EQ(DMM_Send_Software_Trigger(0, h, &s.warning, &s.error, s.message), 0);
    t = Now();
    got = Fetch(h, 0.25, 6, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(got.size(), 3u);
    EXPECT_NEAR(Now() - t, 0, 1e-9) << "a complete record needs no waiting";
    for (double v : got) {
        EXPECT_NEAR(v, Board::LoopCurrent(10), kAdc.of(5e-3, 10e-3) * 5 / 3);
    }

    const auto triggers = bench_->journal().calls("DMM_Send_Software_Trigger");
    ASSERT_EQ(triggers.size(), 3u);
    EXPECT_EQ(triggers[0].arguments, "0, " + std::to_string(h));
    EXPECT_EQ(triggers[0].interface, "DMM");
    EXPECT_NEAR(triggers[0].timeNs * 1e-9, firstTrigger + 3e-3, 1e-9)
        << "journaled when its samples are in";
    const auto fetches = bench_->journal().calls("DMM_Fetch");
    ASSERT_EQ(fetches.size(), 3u);
    EXPECT_EQ(fetches[0].result, DMM_ERR_NO_VALID_SAMPLE);
    EXPECT_EQ(fetches[0].arguments, "0, " + std::to_string(h) + ", 0.5, 6, &, &");

    // DMM_Read on the software trigger waits in vain.
    std::vector<double> values(1);
    int32_t n = -1;
    EXPECT_EQ(DMM_Read(0, h, 0.1, 1, values.data(), &n, &s.warning, &s.error, s.message),
              DMM_ERR_NO_VALID_SAMPLE);
    EXPECT_EQ(s.warning, DMM_ERR_NO_VALID_SAMPLE);
    EXPECT_EQ(s.error, 0);
    EXPECT_EQ(n, 0);
}

// The meter's pulse generator triggers it through ITO1: one trigger per pulse, and a pulse that
// comes while the meter is still taking the previous trigger's samples is lost.
TEST_F(VbenchDmm, GeneratorPulsesTriggerTheMeter) {
    const int32_t h = H("DMM_V");
    Measure(h, "DC_VOLTS", 10, "AUTO_RANGE_OFF");
    Trigger(h, "ITO1", 0);
    struct Case {
        double interval;     // of the meter's two samples per trigger
        std::size_t samples; // taken of 3 x 2
        double end;          // clock after the start, seconds
    } cases[] = {
        {1e-4, 6, 3e-3 + 2e-4},     // pulses at 1, 2 and 3 ms; each trigger busy 0.2 ms
        {0.6e-3, 4, 3e-3 + 1.2e-3}, // busy 1.2 ms: the pulse at 2 ms is lost
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.interval);
        Status s;
        ASSERT_EQ(DMM_Conf_Trigger_Signal(0, h, "IT1", "SOFTWARE", "POSITIVE", "XTO1", "HIGH", 1e-3,
                                          3, 1e-4, 0.9e-3, &s.warning, &s.error, s.message),
                  0);
        MultiPoint(h, 3, 2, c.interval);
        ASSERT_EQ(DMM_Initiate(0, h, &s.warning, &s.error, s.message), 0);
        const double start = Now();
        ASSERT_EQ(DMM_Send_Software_Signal(0, h, "IT1", &s.warning, &s.error, s.message), 0);
        EXPECT_NEAR(Now() - start, c.end, 1e-9);
        int32_t status = 1;
        const auto got = Fetch(h, 0.1, 6, &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(got.size(), c.samples);
    }
}

// The analog trigger looks at the meter's own input: the divider's 5 V is above 4 V and below
// 6 V, so the record is taken at once on the slopes that see it there and never on the others.
TEST_F(VbenchDmm, AnalogTriggerFollowsTheInput) {
    const int32_t h = H("DMM_V");
    Measure(h, "DC_VOLTS", 10, "AUTO_RANGE_OFF");
    Trigger(h, "XTA1", 0);
    struct Case {
        const char* slope;
        double level;
        const char* unit;
        bool fires;
    } cases[] = {
        {"POSITIVE", 4, "VOLT", true},       {"POSITIVE", 6, "VOLT", false},
        {"NEGATIVE", 6, "VOLT", true},       {"NEGATIVE", 4, "VOLT", false},
        {"POSITIVE", 1e-6, "AMPERE", false}, // nothing flows into this meter's I
        {"NEGATIVE", 1e-6, "AMPERE", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.slope) + " " + std::to_string(c.level) + " " + c.unit);
        Status s;
        ASSERT_EQ(DMM_Conf_Trigger_Slope(0, h, c.slope, &s.warning, &s.error, s.message), 0);
        ASSERT_EQ(
            DMM_Conf_Analog_Trigger(0, h, "XTA1", c.level, c.unit, &s.warning, &s.error, s.message),
            0);
        int32_t status = 0;
        const double value = ReadOne(h, &status);
        EXPECT_EQ(status, c.fires ? 0 : DMM_ERR_NO_VALID_SAMPLE);
        if (c.fires) {
            EXPECT_NEAR(value, Board::DividerMid(), kVdc.of(5, 10));
        }
    }
}

// Trigger outputs appear in the journal as edges on their lines: the measurement trigger (IT4)
// on an enabled output at each trigger, the measurement-complete pulse after each trigger's
// samples, and a generator's start on its output; an output not enabled in the mask stays quiet.
TEST_F(VbenchDmm, TriggerOutputsAppearInTheJournal) {
    const int32_t h = H("DMM_V");
    Status s;
    Measure(h, "DC_VOLTS", 10, "AUTO_RANGE_OFF");
    MultiPoint(h, 2, 4, 1e-3);
    Trigger(h, "IMMEDIATE", 1e-3);
    ASSERT_EQ(DMM_Enable_Trigger_Output(0, h, 0x104, &s.warning, &s.error, s.message), 0);
    ASSERT_EQ(DMM_Conf_Trigger_Output(0, h, "TTL2", "IT4", "LOW", &s.warning, &s.error, s.message),
              0);
    ASSERT_EQ(DMM_Conf_Trigger_Output(0, h, "TTL5", "IT4", "HIGH", &s.warning, &s.error, s.message),
              0); // not enabled
    ASSERT_EQ(DMM_Conf_Meas_Complete_Dest(0, h, "XTO2", &s.warning, &s.error, s.message), 0);
    bench_->journal().clear();
    const int64_t t0 = bench_->clock().nowNs();
    ASSERT_EQ(DMM_Initiate(0, h, &s.warning, &s.error, s.message), 0);

    const auto edges = bench_->journal().callsOf("trigger");
    struct Edge {
        const char* line;
        const char* arguments;
        double at; // seconds after the initiate
    } expected[] = {
        {"TTL2", "\"DMM_V\", \"IT4\", \"LOW\"", 0},
        {"XTO2", "\"DMM_V\", \"MEAS_COMPLETE\", \"HIGH\"", 5e-3},
        {"TTL2", "\"DMM_V\", \"IT4\", \"LOW\"", 5e-3},
        {"XTO2", "\"DMM_V\", \"MEAS_COMPLETE\", \"HIGH\"", 10e-3},
    };
    ASSERT_EQ(edges.size(), std::size(expected));
    for (std::size_t i = 0; i < edges.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(edges[i].function, expected[i].line);
        EXPECT_EQ(edges[i].arguments, expected[i].arguments);
        EXPECT_NEAR((edges[i].timeNs - t0) * 1e-9, expected[i].at, 1e-9);
    }
    // The driver call comes after the edges it made, and the other meters made none.
    EXPECT_EQ(bench_->journal().sequence(),
              (std::vector<std::string>{"TTL2", "XTO2", "TTL2", "XTO2", "DMM_Initiate"}));

    // A generator's start: on its output XTO1 (enabled) and on TTL2, which now carries IT1.
    ASSERT_EQ(DMM_Conf_Trigger_Output(0, h, "TTL2", "IT1", "LOW", &s.warning, &s.error, s.message),
              0);
    ASSERT_EQ(DMM_Conf_Trigger_Signal(0, h, "IT1", "SOFTWARE", "POSITIVE", "XTO1", "HIGH", 0, 5,
                                      1e-6, 2e-6, &s.warning, &s.error, s.message),
              0);
    bench_->journal().clear();
    ASSERT_EQ(DMM_Send_Software_Signal(0, h, "IT1", &s.warning, &s.error, s.message), 0);
    const auto starts = bench_->journal().callsOf("trigger");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].function, "XTO1");
    EXPECT_EQ(starts[0].arguments, "\"DMM_V\", \"IT1\", \"HIGH\", 5, 1e-06, 2e-06");
    EXPECT_EQ(starts[1].function, "TTL2");
    EXPECT_EQ(starts[1].arguments, "\"DMM_V\", \"IT1\", \"LOW\", 5, 1e-06, 2e-06");
}

// Injected faults reach the caller: a failing call hands back the rule's code and text and does
// nothing, and the sample fault spoils the samples it names, which the meter hands over as NaN
// (all of them spoilt: warning 15001).
TEST_F(VbenchDmm, InjectedFaultsReachTheCaller) {
    const int32_t h = H("DMM_V");
    Measure(h, "DC_VOLTS", 10, "AUTO_RANGE_OFF");
    MultiPoint(h, 1, 10, 1e-4);
    FaultInjector& faults = bench_->faults();
    faults.reset();
    faults.add({"DMM_Read", 1, false, -15099, "Meter input protection tripped"});
    Status s;
    std::vector<double> values(10, -1);
    int32_t n = -1;
    const double before = Now();
    EXPECT_EQ(DMM_Read(0, h, 1.0, 10, values.data(), &n, &s.warning, &s.error, s.message), -15099);
    EXPECT_EQ(s.error, -15099);
    EXPECT_STREQ(s.message, "Meter input protection tripped");
    EXPECT_EQ(Now(), before) << "the failing call took no samples";
    EXPECT_TRUE(bench_->journal().last()->injected);

    // The 3rd and the 7th sample from here on.
    faults.reset();
    faults.add({"DMM_Sample", 3, false, 1, ""});
    faults.add({"DMM_Sample", 7, false, 1, ""});
    ASSERT_EQ(DMM_Read(0, h, 1.0, 10, values.data(), &n, &s.warning, &s.error, s.message), 0)
        << s.message;
    ASSERT_EQ(n, 10);
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(std::isnan(values[k]), k == 2 || k == 6) << k;
    }

    // Every sample.
    faults.add({"DMM_Sample", 1, true, 1, ""});
    EXPECT_EQ(DMM_Read(0, h, 1.0, 10, values.data(), &n, &s.warning, &s.error, s.message),
              DMM_ERR_NO_VALID_SAMPLE);
    EXPECT_EQ(n, 10);
    EXPECT_STREQ(s.message, "No valid sample: all 10 samples are invalid");
    int32_t over = 0;
    DMM_Is_Over_Range(0, h, values[0], &over, &s.warning, &s.error, s.message);
    EXPECT_EQ(over, 1);
}

// On a board with memory each sample is the circuit at its own instant: a record on a capacitor
// charging through 1 k follows the exponential, sample by sample, as the clock runs through it.
TEST(VbenchDmmRecord, SamplesFollowTheCircuitInTime) {
    auto bench = std::make_shared<VirtualBench>();
    bench->loadStation(LoadStation((DataDir() / "dmm_rc_station.ini").string()));
    VirtualBench::activate(bench);
    Status s;
    int32_t h = -1;
    ASSERT_EQ(DMM_Setup(0, "DMM_C", "GPIB0::7::INSTR", "", &h, &s.warning, &s.error, s.message), 0);
    ASSERT_EQ(DMM_Conf_Measurement(0, h, "DC_VOLTS", 1, "AUTO_RANGE_OFF", 0, &s.warning, &s.error,
                                   s.message),
              0);
    ASSERT_EQ(
        DMM_Conf_Multi_Point(0, h, 1, 10, "INTERVAL", 0.2e-3, &s.warning, &s.error, s.message), 0);
    const double start = bench->clock().seconds();
    std::vector<double> values(10);
    int32_t n = 0;
    ASSERT_EQ(DMM_Read(0, h, 1.0, 10, values.data(), &n, &s.warning, &s.error, s.message), 0);
    ASSERT_EQ(n, 10);
    // The meter's input loads the node: the final value and the time constant of 1 k beside
    // 10 Mohm.
    const double load = kInput + 1.0;
    const double final = load / (1e3 + load);
    const double tau = 1e3 * load / (1e3 + load) * 1e-6;
    for (int k = 0; k < 10; ++k) {
        const double t = start + (k + 1) * 0.2e-3;
        const double expected = final * (1 - std::exp(-t / tau));
        // Within the integration error of the bench's catching up, far below the change from one
        // sample to the next.
        EXPECT_NEAR(values[k], expected, 2e-3 * expected) << k;
    }
    DMM_Cleanup(0, h, &s.warning, &s.error, s.message);
    VirtualBench::activate(nullptr);
}

} // namespace
} // namespace kora::vbench
