// The analysis functions of the signal analyzer library on sample arrays with known answers:
// events of a square wave, parameters of time windows, frequencies by each method, and waveform
// files written and read back.
#include <vbench/bench/virtual_bench.h>

#include <siganl.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace kora::vbench {
namespace {

namespace fs = std::filesystem;

constexpr double kDt = 1e-3;

// 0 V for 10 samples, 5 V for 10, four times: rising edges after samples 9, 29, 49, 69.
std::vector<double> Square() {
    std::vector<double> s;
    for (int period = 0; period < 4; ++period) {
        s.insert(s.end(), 10, 0.0);
        s.insert(s.end(), 10, 5.0);
    }
    return s;
}

std::vector<double> Sine(double frequency, double interval, int count, double offset) {
    std::vector<double> s(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        s[static_cast<std::size_t>(i)] = offset + std::sin(2 * M_PI * frequency * i * interval);
    }
    return s;
}

struct Status {
    short status = 9;
    int32_t code = 9;
    char message[CLASSLIB_MESSAGE_SIZE] = "stale";
};

TEST(VbenchSiganlAnalysis, FindsTheEventsOfASquareWave) {
    const auto s = Square();
    struct Case {
        const char* what;
        double start, stop;
        const char* direction;
        const char* slope;
        long occurrence;
        const char* reference;
        double ref1, ref2, hysteresis;
        double time; // -1: no event
        double level;
    } cases[] = {
        {"first rising edge", 0, 0, "FORWARD", "POS_SLOPE", 1, "MID", 0, 5, 0, 9.5e-3, 2.5},
        {"second rising edge", 0, 0, "FORWARD", "POS_SLOPE", 2, "MID", 0, 5, 0, 29.5e-3, 2.5},
        {"first falling edge", 0, 0, "FORWARD", "NEG_SLOPE", 1, "MID", 5, 0, 0, 19.5e-3, 2.5},
        {"start on a high plateau waits for the next rise", 10e-3, 0, "FORWARD", "POS_SLOPE", 1,
         "MID", 0, 5, 0, 29.5e-3, 2.5},
        {"last rising edge", 0, 0, "BACKWARD", "POS_SLOPE", 1, "MID", 0, 5, 0, 69.5e-3, 2.5},
        {"last rising edge before 40 ms", 0, 40e-3, "BACKWARD", "POS_SLOPE", 1, "MID", 0, 5, 0,
         29.5e-3, 2.5},
        {"no fifth rising edge", 0, 0, "FORWARD", "POS_SLOPE", 5, "MID", 0, 5, 0, -1, 0},
        {"the higher reference level", 0, 0, "FORWARD", "POS_SLOPE", 1, "HIGH", 1, 4, 0, 9.8e-3, 4},
        {"the lower reference level", 0, 0, "FORWARD", "POS_SLOPE", 1, "LOW", 4, 1, 0, 9.2e-3, 1},
        {"hysteresis within the swing", 0, 0, "FORWARD", "POS_SLOPE", 1, "MID", 0, 5, 4, 9.5e-3,
         2.5},
        {"hysteresis beyond the swing", 0, 0, "FORWARD", "POS_SLOPE", 1, "MID", 0, 5, 6, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Status st;
        double time = 7, level = 7;
        EXPECT_EQ(SIGANL_FindWaveformEvent(0, 0, static_cast<long>(s.size()), s.data(), kDt,
                                           c.start, c.stop, c.direction, c.slope, c.occurrence,
                                           c.reference, c.ref1, c.ref2, c.hysteresis, &time, &level,
                                           &st.status, &st.code, st.message),
                  0);
        EXPECT_EQ(st.status, 0);
        EXPECT_EQ(st.code, 0);
        EXPECT_STREQ(st.message, "");
        EXPECT_NEAR(time, c.time, 1e-12);
        EXPECT_NEAR(level, c.level, 1e-12);
    }
}

TEST(VbenchSiganlAnalysis, RefusesWhatItCannotAnalyse) {
    const auto s = Square();
    const long n = static_cast<long>(s.size());
    double time = 0, level = 0, value = 0;
    struct Case {
        const char* what;
        std::function<int32_t(Status&)> call;
        int32_t code;
        const char* message;
    } cases[] = {
        {"one sample",
         [&](Status& st) {
             return SIGANL_FindWaveformEvent(0, 0, 1, s.data(), kDt, 0, 0, "FORWARD", "POS_SLOPE",
                                             1, "MID", 0, 5, 0, &time, &level, &st.status, &st.code,
                                             st.message);
         },
         -16020, "Too few samples"},
        {"no interval",
         [&](Status& st) {
             return SIGANL_FindWaveformEvent(0, 0, n, s.data(), 0, 0, 0, "FORWARD", "POS_SLOPE", 1,
                                             "MID", 0, 5, 0, &time, &level, &st.status, &st.code,
                                             st.message);
         },
         -16021, "Invalid sample interval: 0 s"},
        {"direction UP",
         [&](Status& st) {
             return SIGANL_FindWaveformEvent(0, 0, n, s.data(), kDt, 0, 0, "UP", "POS_SLOPE", 1,
                                             "MID", 0, 5, 0, &time, &level, &st.status, &st.code,
                                             st.message);
         },
         -16005, "direction 'UP'"},
        {"stop before start",
         [&](Status& st) {
             return SIGANL_FindWaveformEvent(0, 0, n, s.data(), kDt, 0.05, 0.01, "FORWARD",
                                             "POS_SLOPE", 1, "MID", 0, 5, 0, &time, &level,
                                             &st.status, &st.code, st.message);
         },
         -16022, "Invalid time window"},
        {"handle not 0",
         [&](Status& st) {
             return SIGANL_CalculateWaveformParameter(0, 3, n, s.data(), kDt, 0, 0,
                                                      "VOLTAGE_AVERAGE", &value, &st.status,
                                                      &st.code, st.message);
         },
         -16001, "reserved context"},
        {"no samples",
         [&](Status& st) {
             return SIGANL_CalculateWaveformParameter(0, 0, n, nullptr, kDt, 0, 0,
                                                      "VOLTAGE_AVERAGE", &value, &st.status,
                                                      &st.code, st.message);
         },
         -16004, "samples"},
        {"window between two samples",
         [&](Status& st) {
             return SIGANL_CalculateWaveformParameter(0, 0, n, s.data(), kDt, 1.2e-3, 1.8e-3,
                                                      "VOLTAGE_AVERAGE", &value, &st.status,
                                                      &st.code, st.message);
         },
         -16022, "no sample in the window"},
        {"unknown parameter",
         [&](Status& st) {
             return SIGANL_CalculateWaveformParameter(0, 0, n, s.data(), kDt, 0, 0,
                                                      "VOLTAGE_MEDIAN", &value, &st.status,
                                                      &st.code, st.message);
         },
         -16005, "VOLTAGE_MEDIAN"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Status st;
        EXPECT_EQ(c.call(st), c.code);
        EXPECT_EQ(st.status, 1);
        EXPECT_EQ(st.code, c.code);
        EXPECT_NE(std::string(st.message).find(c.message), std::string::npos) << st.message;
    }
}

TEST(VbenchSiganlAnalysis, ParametersOfATimeWindow) {
    // 0, 1, 2, ..., 9 at 1 ms.
    std::vector<double> ramp(10);
    for (int i = 0; i < 10; ++i) {
        ramp[static_cast<std::size_t>(i)] = i;
    }
    struct Case {
        const char* parameter;
        double from, to;
        double value;
    } cases[] = {
        {"VOLTAGE_AVERAGE", 0, 0, 4.5},
        {"VOLTAGE_AVERAGE", 2e-3, 4e-3, 3},
        {"VOLTAGE_AVERAGE", 1.5e-3, 3.5e-3, 2.5},
        {"VOLTAGE_AVERAGE", 0.3 * 10e-3, 0.7 * 10e-3, 5}, // times computed from others
        {"voltage_max", 0, 5e-3, 5},
        {"VOLTAGE_MIN", 3e-3, 0, 3},
        {"VOLTAGE_PEAK_TO_PEAK", 1e-3, 8e-3, 7},
        {"VOLTAGE_RMS", 3e-3, 4e-3, std::sqrt(12.5)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.parameter) + " " + std::to_string(c.from));
        Status st;
        double value = 0;
        ASSERT_EQ(SIGANL_CalculateWaveformParameter(0, 0, 10, ramp.data(), kDt, c.from, c.to,
                                                    c.parameter, &value, &st.status, &st.code,
                                                    st.message),
                  0)
            << st.message;
        EXPECT_NEAR(value, c.value, 1e-12);
    }
}

TEST(VbenchSiganlAnalysis, FrequencyByEachMethod) {
    const double dt = 1e-4;
    const auto sine = Sine(50, dt, 2000, 0.5); // ten periods around 0.5 V
    std::vector<double> square;
    for (int i = 0; i < 200; ++i) {
        square.push_back((i / 20) % 2 ? 5.0 : 0.0); // 40 ms period at 1 ms
    }
    const std::vector<double> flat(100, 1.0);
    struct Case {
        const char* what;
        const std::vector<double>* samples;
        double interval, from, to;
        const char* method;
        double p1, p2;
        double frequency; // NaN: error
        double tolerance;
        int32_t code;
    } cases[] = {
        {"slope at 0.5 V", &sine, dt, 0, 0, "SLOPE", 0.5, 0.1, 50, 1e-6, 0},
        {"slope, automatic level", &sine, dt, 0, 0, "SLOPE_AUTO", 0, 0.5, 50, 1e-6, 0},
        {"spectrum", &sine, dt, 0, 0, "FFT", 0, 0, 50, 0.25, 0},
        {"slope within a window", &sine, dt, 0.05, 0.15, "SLOPE", 0.5, 0, 50, 1e-6, 0},
        {"square wave, automatic level", &square, 1e-3, 0, 0, "SLOPE_AUTO", 0, 0.5, 25, 1e-9, 0},
        {"level the signal never reaches", &sine, dt, 0, 0, "SLOPE", 3, 0, NAN, 0, -16023},
        {"flat signal spectrum", &flat, dt, 0, 0, "FFT", 0, 0, NAN, 0, -16023},
        {"unknown method", &sine, dt, 0, 0, "FOURIER", 0, 0, NAN, 0, -16005},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Status st;
        double f = 0;
        EXPECT_EQ(SIGANL_CalculateFrequency(0, 0, static_cast<long>(c.samples->size()),
                                            c.samples->data(), c.interval, c.from, c.to, c.method,
                                            c.p1, c.p2, &f, &st.status, &st.code, st.message),
                  c.code)
            << st.message;
        if (c.code != 0) {
            EXPECT_EQ(st.status, 1);
            EXPECT_TRUE(std::isnan(f));
            continue;
        }
        EXPECT_NEAR(f, c.frequency, c.tolerance);
    }
}

TEST(VbenchSiganlAnalysis, JournaledAndFaultedOnAnActiveBench) {
    auto bench = std::make_shared<VirtualBench>();
    VirtualBench::activate(bench);
    bench->faults().add(
        {"SIGANL_CalculateFrequency", 1, false, -16500, "Analysis licence expired"});
    const auto sine = Sine(50, 1e-4, 400, 0);
    Status st;
    double f = 0;
    EXPECT_EQ(SIGANL_CalculateFrequency(0, 0, 400, sine.data(), 1e-4, 0, 0, "FFT", 0, 0, &f,
                                        &st.status, &st.code, st.message),
              -16500);
    EXPECT_EQ(st.status, 1);
    EXPECT_EQ(st.code, -16500);
    EXPECT_STREQ(st.message, "Analysis licence expired");
    const auto last = bench->journal().last("SIGANL_CalculateFrequency");
    VirtualBench::activate(nullptr);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->interface, "SIGANL");
    EXPECT_EQ(last->arguments, "0, 0, 400, &, 0.0001, 0, 0, \"FFT\", 0, 0, &");
    EXPECT_TRUE(last->injected);
}

class VbenchSiganlFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kora_siganl_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string File(const char* name) { return (dir_ / name).string(); }

    int32_t Export(const std::string& file, const char* format, long append,
                   const std::vector<double>& samples, Status& st) {
        return SIGANL_ExportWaveformData(0, 0, file.c_str(), format, append,
                                         static_cast<long>(samples.size()), samples.data(),
                                         &st.status, &st.code, st.message);
    }
    int32_t Import(const std::string& file, const char* format, long channel, long offset,
                   long count, std::vector<double>* samples, int32_t* loaded, Status& st) {
        samples->assign(static_cast<std::size_t>(count), -99);
        return SIGANL_ImportWaveformData(0, 0, file.c_str(), format, channel, offset, count,
                                         samples->data(), loaded, &st.status, &st.code, st.message);
    }

    fs::path dir_;
};

TEST_F(VbenchSiganlFiles, WrittenSamplesReadBackExactly) {
    const std::vector<double> first = {1e-7, -2.5, 1.0 / 3, 12345.678, 0};
    const std::vector<double> more = {6.02e23, -1e-300};
    struct Case {
        const char* file;
        const char* format;
        std::uintmax_t bytes; // 0: text, size not checked
    } cases[] = {
        {"w.txt", "", 0},  {"w.csv", "TEXT", 0},    {"w.bin", "", 56},
        {"w.dat", "", 56}, {"w.raw", "binary", 56},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string file = File(c.file);
        Status st;
        ASSERT_EQ(Export(file, c.format, 0, first, st), 0) << st.message;
        ASSERT_EQ(Export(file, c.format, 1, more, st), 0) << st.message;
        if (c.bytes) {
            EXPECT_EQ(fs::file_size(file), c.bytes);
        }
        std::vector<double> in;
        int32_t loaded = 0;
        ASSERT_EQ(Import(file, c.format, 0, 0, 10, &in, &loaded, st), 0) << st.message;
        ASSERT_EQ(loaded, 7) << "fewer than asked for is no error";
        for (int i = 0; i < 7; ++i) {
            const double expected =
                i < 5 ? first[static_cast<std::size_t>(i)] : more[static_cast<std::size_t>(i - 5)];
            EXPECT_EQ(in[static_cast<std::size_t>(i)], expected) << i;
        }
        ASSERT_EQ(Import(file, c.format, 0, 3, 3, &in, &loaded, st), 0);
        ASSERT_EQ(loaded, 3);
        EXPECT_EQ(in[0], 12345.678);
        EXPECT_EQ(in[2], 6.02e23);
        // Without append the file starts again.
        ASSERT_EQ(Export(file, c.format, 0, more, st), 0);
        ASSERT_EQ(Import(file, c.format, 0, 0, 10, &in, &loaded, st), 0);
        EXPECT_EQ(loaded, 2);
    }
}

TEST_F(VbenchSiganlFiles, TextColumnsAndBrokenFiles) {
    std::ofstream(File("cols.txt")) << "# time, a, b\n\n0.000, 1.5; -2\n0.001\t2.5  -3e-3\n";
    std::ofstream(File("bad.txt")) << "1\n2\nthree\n";
    std::ofstream(File("odd.bin")) << "12345";
    struct Case {
        const char* what;
        const char* file;
        const char* format;
        long channel;
        int32_t code;
        std::vector<double> values;
        const char* message;
    } cases[] = {
        {"second column", "cols.txt", "", 1, 0, {1.5, 2.5}, ""},
        {"third column", "cols.txt", "TEXT", 2, 0, {-2, -3e-3}, ""},
        {"no fourth column", "cols.txt", "", 3, -16025, {}, "cols.txt:3: no number in column 3"},
        {"a word", "bad.txt", "", 0, -16025, {}, "bad.txt:3"},
        {"bytes of no whole sample", "odd.bin", "", 0, -16025, {}, "5 bytes"},
        {"binary with a channel", "odd.bin", "", 1, -16006, {}, "channel 1"},
        {"missing file", "none.txt", "", 0, -16024, {}, "none.txt"},
        {"unknown format", "cols.txt", "XML", 0, -16005, {}, "format 'XML'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Status st;
        std::vector<double> in;
        int32_t loaded = -1;
        EXPECT_EQ(Import(File(c.file), c.format, c.channel, 0, 8, &in, &loaded, st), c.code);
        EXPECT_NE(std::string(st.message).find(c.message), std::string::npos) << st.message;
        if (c.code == 0) {
            ASSERT_EQ(loaded, static_cast<int32_t>(c.values.size()));
            for (std::size_t i = 0; i < c.values.size(); ++i) {
                EXPECT_EQ(in[i], c.values[i]) << i;
            }
        }
    }
    Status st;
    EXPECT_EQ(Export((dir_ / "no_dir" / "x.txt").string(), "", 0, {1.0}, st), -16026);
}

} // namespace
} // namespace kora::vbench
