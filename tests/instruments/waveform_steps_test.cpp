// The waveform analysis steps on synthetic records: square-wave amplitudes with noise, overshoot
// and few periods, the three frequency methods on sines, a record without an edge, the running
// mean of the plateaus, refused methods, errors of the analysis library, and the file formats.
#include "instruments/waveform_analysis.h"
#include "support/executive.h"

#include <vbench/bench/virtual_bench.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace kora {
namespace {

// Samples of a square wave between low and high: `periods` periods over count samples, rising
// first, with Gaussian noise and an overshoot of `overshoot` volts on the sample after each edge.
std::vector<double> Square(int count, double periods, double low, double high, double noise,
                           double overshoot, unsigned seed = 1) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> n(0, noise > 0 ? noise : 1);
    std::vector<double> s(static_cast<std::size_t>(count));
    bool wasHigh = false;
    for (int i = 0; i < count; ++i) {
        const double u = std::fmod((i + 0.5) * periods / count, 1.0);
        const bool high_ = u < 0.5;
        double v = high_ ? high : low;
        if (high_ != wasHigh && i > 0) {
            v += high_ ? overshoot : -overshoot;
        }
        wasHigh = high_;
        s[static_cast<std::size_t>(i)] = v + (noise > 0 ? n(gen) : 0);
    }
    return s;
}

std::vector<double> Sine(int count, double periods, double amplitude, double offset, double noise) {
    std::mt19937 gen(7);
    std::normal_distribution<double> n(0, noise > 0 ? noise : 1);
    std::vector<double> s(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        s[static_cast<std::size_t>(i)] =
            offset + amplitude * std::sin(2 * std::numbers::pi * periods * i / count + 0.4) +
            (noise > 0 ? n(gen) : 0);
    }
    return s;
}

class WaveformSteps : public test::ExecutiveTest {
  protected:
    long ref_ = 10;
    long Amplitude(std::vector<double>& s, double acqTime, const char* waveform = "SQUARE",
                   double skip = 10, const char* comment = "") {
        return AMPLITUDE_SIGANL(++ref_, "Amp", 0x100, 0, comment, waveform, "", 0, "", acqTime,
                                static_cast<long>(s.size()), s.data(), 0, 5, skip, skip);
    }
    long Frequency(std::vector<double>& s, double acqTime, const char* method, double p1, double p2,
                   double* result) {
        return FREQ_SIGANL(++ref_, "Freq", 0x100, 0, "", method, "", 0, "", acqTime,
                           static_cast<long>(s.size()), s.data(), p1, p2, result);
    }
};

TEST_F(WaveformSteps, SquareAmplitudes) {
    struct Case {
        const char* what;
        std::vector<double> samples;
        double expected, tolerance;
    } cases[] = {
        {"clean 0 V / 5 V", Square(1000, 10, 0, 5, 0, 0), 5, 1e-9},
        {"noisy", Square(2000, 10, 0.2, 4.8, 0.05, 0), 4.6, 0.01},
        {"overshoot skipped", Square(1000, 10, 0, 5, 0, 1.5), 5, 1e-9},
        {"two and a half periods", Square(500, 2.5, 1, 4, 0, 0), 3, 1e-9},
        {"no edge at all", std::vector<double>(100, 3.3), 0, 0},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Amplitude(c.samples, 0.01), 1);
        const rvo::Result r = lastResult();
        EXPECT_NEAR(r.value, c.expected, c.tolerance);
        EXPECT_EQ(r.lineCode, 0x10F00);
        EXPECT_EQ(r.unit, 5);
        EXPECT_EQ(r.verdictArg, RVO_VERDICT_EXECUTIVE);
    }
}

TEST_F(WaveformSteps, PlateauMeansRunAsTheyCome) {
    // Three high plateaus of 4.9, 5.1 and 5.0 V over 0 V: running mean 4.9, 5.0, then 5.0.
    std::vector<double> s;
    for (double high : {4.9, 5.1, 5.0}) {
        s.insert(s.end(), 50, 0.0);
        s.insert(s.end(), 50, high);
    }
    s.insert(s.end(), 50, 0.0);
    siganl::AnalysisStatus st;
    EXPECT_NEAR(
        siganl::SquareAmplitude({static_cast<long>(s.size()), s.data(), 1e-4}, 0, 5, 0.1, 0.1, st),
        5.0, 1e-12);
    EXPECT_FALSE(st.failed());
}

TEST_F(WaveformSteps, FrequencyByEachMethod) {
    auto sine = Sine(4000, 25, 1, 0.5, 0.02);
    auto clean = Sine(1000, 4, 2, 0, 0);
    struct Case {
        const char* method;
        std::vector<double>* samples;
        double p1, p2, expected, tolerance;
    } cases[] = {
        {"SLOPE", &sine, 0.5, 0.2, 250, 0.5},
        {"SLOPE_AUTO", &sine, 0, 20, 250, 0.5},
        {"FOURIER_TRANSFORMATION", &sine, 0, 0, 250, 0.5},
        {"SLOPE", &clean, 0, 0.1, 40, 0.05},
        {"FOURIER_TRANSFORMATION", &clean, 0, 0, 40, 0.5},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.method);
        double result = 0;
        EXPECT_EQ(Frequency(*c.samples, 0.1, c.method, c.p1, c.p2, &result), 1);
        EXPECT_NEAR(result, c.expected, c.tolerance);
        EXPECT_EQ(lastResult().value, result);
        EXPECT_EQ(lastResult().lineCode, 0x8200);
        EXPECT_EQ(lastResult().unit, 17);
    }
}

TEST_F(WaveformSteps, AnalysisErrorsGiveNotANumberAndTheirText) {
    auto bench = std::make_shared<vbench::VirtualBench>();
    vbench::VirtualBench::activate(bench);
    auto flat = std::vector<double>(100, 1.0);
    auto sine = Sine(400, 8, 1, 0, 0);
    double result = 0;
    // No edge: the library finds no frequency.
    EXPECT_EQ(Frequency(flat, 0.01, "SLOPE", 0, 0, &result), 1);
    EXPECT_TRUE(std::isnan(result));
    EXPECT_TRUE(std::isnan(lastResult().value));
    EXPECT_EQ(lastResult().verdictArg, -2);
    EXPECT_NE(lastResult().comment.find("0 rising edge(s) found"), std::string::npos)
        << lastResult().comment;
    // SLOPE_AUTO hands the library 0 and the percentage as a fraction.
    bench->journal().clear();
    EXPECT_EQ(Frequency(sine, 0.01, "SLOPE_AUTO", 3, 50, &result), 1);
    ASSERT_EQ(bench->journal().entries().size(), 1u);
    EXPECT_NE(bench->journal().entries()[0].arguments.find("\"SLOPE_AUTO\", 0, 0.5"),
              std::string::npos)
        << bench->journal().entries()[0].arguments;
    // A failing event search ends the amplitude with not-a-number; the step comment comes first.
    bench->faults().add({"SIGANL_FindWaveformEvent", 2, false, -1234, "search\nfailed"});
    auto square = Square(200, 4, 0, 5, 0, 0);
    EXPECT_EQ(Amplitude(square, 0.01, "SQUARE", 10, "edge check"), 1);
    EXPECT_TRUE(std::isnan(lastResult().value));
    EXPECT_EQ(lastResult().verdictArg, -2);
    EXPECT_EQ(lastResult().comment, "edge check (search, failed)");
    vbench::VirtualBench::activate(nullptr);
}

TEST_F(WaveformSteps, UnknownWaveformOrMethodIsRefused) {
    auto s = Square(100, 2, 0, 5, 0, 0);
    double result = 7;
    EXPECT_EQ(Amplitude(s, 0.01, "SINE"), -2);
    EXPECT_EQ(alerts().back().text, "Invalid waveform 'SINE'. Allowed: SQUARE");
    EXPECT_EQ(Frequency(s, 0.01, "ZERO_CROSS", 0, 0, &result), -2);
    EXPECT_EQ(alerts().back().text, "Invalid Calculation Method 'ZERO_CROSS'. Allowed: "
                                    "SLOPE,SLOPE_AUTO,FOURIER_TRANSFORMATION");
    EXPECT_EQ(alerts().back().title, "Freq");
    EXPECT_EQ(result, 7); // nothing computed
}

TEST_F(WaveformSteps, FilesRoundTripInBothFormats) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("kora_waveform_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::vector<double> out = Sine(64, 2, 1.25, -0.5, 0.01);
    for (const char* format : {"TEXT", "BINARY"}) {
        SCOPED_TRACE(format);
        const std::string file = (dir / (std::string("w.") + format)).string();
        EXPECT_EQ(SAVE_SIGANL(++ref_, "Save", 0x100, 0, "", format, file.c_str(), 64, out.data()),
                  1);
        EXPECT_EQ(lastResult().valueInt, 0);
        EXPECT_EQ(lastResult().lineCode, 0x13500);
        std::vector<double> in(64);
        EXPECT_EQ(LOAD_SIGANL(++ref_, "Load", 0x100, 0, "", format, file.c_str(), 64, in.data()),
                  1);
        EXPECT_EQ(lastResult().valueInt, 0);
        EXPECT_EQ(lastResult().lineCode, 0x14E00);
        for (std::size_t i = 0; i < in.size(); ++i) {
            EXPECT_NEAR(in[i], out[i], std::string(format) == "TEXT" ? 1e-6 : 0) << i;
        }
        // More asked for than the file holds.
        std::vector<double> more(80);
        LOAD_SIGANL(++ref_, "Load", 0x100, 0, "short file", format, file.c_str(), 80, more.data());
        EXPECT_EQ(lastResult().valueInt, 1);
        EXPECT_EQ(lastResult().verdictArg, -2);
        EXPECT_EQ(lastResult().comment, "short file (Only 64 of 80 values loaded)");
    }
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace kora
