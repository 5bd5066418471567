#include "component_file_generator.h"
#include "ict_program_support.h"

#include "ictx/program/component_load.h"
#include "ictx/program/component_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace kora {
namespace {

std::string WriteModel(const ComponentModel& model) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* f = open_memstream(&buffer, &size);
    std::tm t{};
    t.tm_year = 126;
    t.tm_mday = 1;
    WriteComponentFileHeader(f, t);
    for (int32_t i = 0; i < model.componentCount; ++i) {
        WriteComponentSection(f, &model.components[i], model.variants);
    }
    std::fclose(f);
    std::string s(buffer, size);
    std::free(buffer);
    return s;
}

// Values the file states are equal; values the compile derives from limits written with seven
// digits may differ in the last of those.
bool Near(double a, double b) {
    return a == b || std::fabs(a - b) <= 1e-6 * std::fmax(std::fabs(a), std::fabs(b));
}

// Test voltages are derived as a limit plus an offset; near 0 V the rounding of the limit is
// larger than the result's seventh digit.
bool NearVoltage(double a, double b) {
    return Near(a, b) || std::fabs(a - b) <= 1e-7;
}

std::vector<std::string> Lines(const char* text) {
    std::vector<std::string> lines;
    std::string line;
    for (const char* p = text; *p; ++p) {
        if (*p == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += *p;
        }
    }
    lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string Str(const char* s) {
    return s ? s : "<null>";
}

#define SAME(field) EXPECT_EQ(a.field, b.field) << where << " " #field
#define SAME_TEXT(field) EXPECT_EQ(Str(a.field), Str(b.field)) << where << " " #field
#define NEAR(field) EXPECT_PRED2(Near, a.field, b.field) << where << " " #field

void CompareSubTest(const SubTest& a, const SubTest& b, const std::string& where) {
    SAME(enable);
    SAME(mode);
    SAME(modeIndex);
    NEAR(nv);
    NEAR(nvPlus);
    NEAR(nvMinus);
    NEAR(ll);
    NEAR(ul);
    NEAR(mc);
    EXPECT_PRED2(NearVoltage, a.vr, b.vr) << where << " vr";
    SAME(vrIndex);
    EXPECT_PRED2(NearVoltage, a.v, b.v) << where << " v";
    SAME(vIndex);
    NEAR(vo);
    SAME(voIndex);
    NEAR(cr);
    SAME(crIndex);
    NEAR(c);
    NEAR(f);
    SAME(fIndex);
    SAME(mf);
    SAME(mfIndex);
    NEAR(sv);
    NEAR(sc);
    SAME(sd);
    SAME(si);
    SAME(ar);
    SAME(az);
    SAME(ma);
    NEAR(mt);
    NEAR(md);
    NEAR(mi);
}

void CompareItem(const VectorItem& a, const VectorItem& b, const std::string& where) {
    SAME(type);
    SAME(format);
    SAME(jumpMode);
    SAME(digits);
    SAME(line < 0); // linked or not; the line numbers move with the layout
    SAME(part);
    SAME(value);
    SAME(second);
    SAME(offset);
    SAME(mask);
    SAME(pinCount);
    SAME(stateCount);
    SAME(count);
    SAME(counter);
    for (int k = 0; k < 3; ++k) {
        NEAR(level[k]);
    }
    SAME_TEXT(raw);
    SAME_TEXT(label);
    SAME_TEXT(pins);
    SAME_TEXT(comment);
    for (uint32_t p = 0; p < a.pinCount && p < kMaxVectorPins; ++p) {
        SAME(pin[p].channel);
        SAME(pin[p].forced);
        SAME(pin[p].endOfGroup);
        EXPECT_EQ(std::string(a.pin[p].name, a.pin[p].nameLength),
                  std::string(b.pin[p].name, b.pin[p].nameLength))
            << where;
    }
}

void CompareComponent(const ComponentRecord& a, const ComponentRecord& b,
                      const std::string& where) {
    SAME(classCode);
    SAME(index);
    SAME(flags);
    SAME(reportOption);
    SAME(variantWord);
    for (int w = 0; w < kVariantWords; ++w) {
        SAME(variantSet[w]);
    }
    EXPECT_STREQ(a.variantText, b.variantText) << where;
    SAME(paramMask);
    SAME(paramMask2);
    SAME(subTestCount);
    SAME(itemCount);
    SAME_TEXT(name);
    SAME_TEXT(variants);
    SAME_TEXT(comment);
    SAME_TEXT(info);
    SAME_TEXT(pi);
    SAME_TEXT(pt);
    for (int k = 0; k < kMaxTestPins; ++k) {
        SAME_TEXT(tp[k]);
    }
    for (int k = 0; k < kMaxSensePins; ++k) {
        SAME_TEXT(ts[k]);
    }
    for (int k = 0; k < kMaxGuardPins; ++k) {
        SAME_TEXT(gp[k]);
    }
    SAME_TEXT(gs);
    SAME_TEXT(tl);
    SAME_TEXT(rl);
    SAME_TEXT(xo);
    for (int k = 0; k < kSubTests; ++k) {
        CompareSubTest(a.sub[k], b.sub[k], where + " sub-test " + std::to_string(k + 1));
    }
    for (int32_t i = 0; i < a.itemCount && i < b.itemCount; ++i) {
        CompareItem(a.firstItem[i], b.firstItem[i], where + " item " + std::to_string(i + 1));
    }
}

TEST(ComponentRoundTrip, GeneratedFilesReadBackAsTheSameProgram) {
    auto bench = test::MakeBench(test::ComponentFileGenerator::Channels());
    test::Loaded first, second;
    test::ComponentFileGenerator generator(20260415);
    constexpr int kFiles = 3000;
    int loaded = 0, failedCompiles = 0, items = 0, components = 0;
    for (int n = 0; n < kFiles; ++n) {
        const std::string text = generator.File();
        std::string_view view(text);
        const int32_t a =
            LoadComponentProgram(bench.get(), first.model.get(), "gen.ict", &view,
                                 first.strings.data(), first.strings.size(), first.error);
        // Compile failures still leave a complete model; only a parse error leaves none.
        const bool compiled = a > 0;
        ASSERT_TRUE(compiled || first.model->componentCount > 0)
            << "file " << n << ": " << first.error << "\n"
            << text;
        const std::string saved = WriteModel(*first.model);
        std::string_view savedView(saved);
        const int32_t b =
            LoadComponentProgram(bench.get(), second.model.get(), "gen.ict", &savedView,
                                 second.strings.data(), second.strings.size(), second.error);
        ASSERT_EQ(a, b) << "file " << n << ": " << second.error << "\n" << saved;
        // The same failures; a sorted program is saved in its new order.
        EXPECT_EQ(Lines(first.error), Lines(second.error));
        const ComponentModel& ma = *first.model;
        const ComponentModel& mb = *second.model;
        ASSERT_EQ(ma.componentCount, mb.componentCount);
        EXPECT_STREQ(ma.variants, mb.variants);
        EXPECT_EQ(ma.itemCount, mb.itemCount);
        for (int32_t i = 0; i < ma.componentCount; ++i) {
            CompareComponent(ma.components[i], mb.components[i],
                             "file " + std::to_string(n) + " component " + std::to_string(i));
        }
        // Saving the reloaded program writes the same file again.
        ASSERT_EQ(WriteModel(mb), saved) << "file " << n << "\n" << text;
        if (::testing::Test::HasFailure()) {
            FAIL() << "file " << n << "\n" << text << "\n--- saved ---\n" << saved;
        }
        loaded += compiled;
        failedCompiles += !compiled;
        items += ma.itemCount;
        components += ma.componentCount;
    }
    // The generator reaches both outcomes and a fair amount of each kind of content.
    EXPECT_GT(loaded, kFiles / 10);
    EXPECT_GT(failedCompiles, kFiles / 20);
    EXPECT_GT(items, kFiles * 5);
    EXPECT_GT(components, kFiles * 5);
}

// Components that the compensation step marked are saved with "#COMPENSATION" and load again as
// the same compensation components, with everything their compile derives.
TEST(ComponentRoundTrip, CompensationComponentsReadBackAsTheSameProgram) {
    auto bench = test::MakeBench(test::ComponentFileGenerator::Channels());
    const std::string text = "[1, \"SETUP\", \"SETUP\", \"\", \"\"]\n"
                             "[2, \"CAP0\", \"CAPACITOR\", \"\", \"\"]\n#COMPENSATION\n"
                             "TP=\"P1\"\nTP=\"P2\"\nNV=10e-6\n"
                             "[3, \"IND0\", \"INDUCTOR\", \"\", \"\"]\n#LOCKED\n#COMPENSATION\n"
                             "TP=\"P1\"\nTP=\"P2\"\n"
                             "[4, \"RES0\", \"RESISTOR\", \"\", \"\"]\n#COMPENSATION\n"
                             "TP=\"P1\"\nTP=\"P2\"\nNV=100\n"
                             "[5, \"C1\", \"CAPACITOR\", \"\", \"\"]\n"
                             "TP=\"P3\"\nTP=\"P4\"\nNV=1e-6\n";
    test::Loaded first, second;
    std::string_view view(text);
    ASSERT_EQ(LoadComponentProgram(bench.get(), first.model.get(), "comp.ict", &view,
                                   first.strings.data(), first.strings.size(), first.error),
              5)
        << first.error;
    const std::string saved = WriteModel(*first.model);
    std::string_view savedView(saved);
    ASSERT_EQ(LoadComponentProgram(bench.get(), second.model.get(), "comp.ict", &savedView,
                                   second.strings.data(), second.strings.size(), second.error),
              5)
        << second.error << "\n"
        << saved;
    for (int32_t i = 0; i < 5; ++i) {
        CompareComponent(first.model->components[i], second.model->components[i],
                         "component " + std::to_string(i));
    }
    for (int32_t i = 1; i < 4; ++i) {
        EXPECT_TRUE(second.model->components[i].flags & kFlagCompensation) << i;
    }
    EXPECT_FALSE(second.model->components[4].flags & kFlagCompensation);
    // The compensation capacitor is compiled for its own nominal, not for the one written.
    EXPECT_EQ(second.model->components[1].sub[0].nv, 100e-12);
    EXPECT_EQ(second.model->components[1].sub[0].f, 10000);
}

// A component's own compensation value, as the compensation step measured it, is saved as the
// "#CAP0" (IND0, RES0) line of its class and loads back into the record; the line is refused
// under another class or without a value.
TEST(ComponentRoundTrip, CompensationValuesAreSavedWithTheirComponents) {
    auto bench = test::MakeBench(test::ComponentFileGenerator::Channels());
    const std::string text = "[1, \"C1\", \"CAPACITOR\", \"\", \"\"]\n#CAP0, 8.012345e-11\n"
                             "TP=\"P1\"\nTP=\"P2\"\nNV=10e-12\n"
                             "[2, \"L1\", \"INDUCTOR\", \"\", \"\"]\n#IND0\t4.1e-6\n"
                             "TP=\"P1\"\nTP=\"P2\"\nNV=10e-6\n"
                             "[3, \"R1\", \"RESISTOR\", \"\", \"\"]\n#RES0,1.25\n"
                             "TP=\"P3\"\nTP=\"P4\"\nNV=0.47\n"
                             "[4, \"R2\", \"RESISTOR\", \"\", \"\"]\nTP=\"P3\"\nTP=\"P4\"\nNV=10\n";
    test::Loaded first, second;
    std::string_view view(text);
    ASSERT_EQ(LoadComponentProgram(bench.get(), first.model.get(), "comp.ict", &view,
                                   first.strings.data(), first.strings.size(), first.error),
              4)
        << first.error;
    const double values[] = {8.012345e-11, 4.1e-6, 1.25, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(first.model->components[i].compensation, values[i]) << i;
    }
    const std::string saved = WriteModel(*first.model);
    for (const char* line :
         {"\n#CAP0, 8.012345e-11\n", "\n#IND0, 4.1e-06 \n", "\n#RES0, 1.25    \n"}) {
        EXPECT_NE(saved.find(line), std::string::npos) << line << "\n" << saved;
    }
    EXPECT_EQ(saved.find("#RES0", saved.find("\"R2\"")), std::string::npos) << saved;
    std::string_view savedView(saved);
    ASSERT_EQ(LoadComponentProgram(bench.get(), second.model.get(), "comp.ict", &savedView,
                                   second.strings.data(), second.strings.size(), second.error),
              4)
        << second.error;
    for (int i = 0; i < 4; ++i) {
        CompareComponent(first.model->components[i], second.model->components[i],
                         "component " + std::to_string(i));
        EXPECT_EQ(second.model->components[i].compensation, values[i]) << i;
    }

    const struct {
        const char* line;
        const char* error;
    } refused[] = {
        {"#CAP0,1e-12", "Invalid Pre-Processor command #CAP0"},
        {"#RES0", "Invalid PARAMETER VALUE definition"},
        {"#RES0, ohm", "Invalid PARAMETER VALUE definition"},
    };
    for (const auto& r : refused) {
        test::Loaded bad;
        const std::string file =
            std::string("[3, \"R1\", \"RESISTOR\", \"\", \"\"]\n") + r.line + "\nNV=1\n";
        EXPECT_LE(bad.Parse(bench.get(), file), 0) << r.line;
        EXPECT_EQ(std::string(bad.error).rfind(r.error, 0), 0u) << r.line << ": " << bad.error;
    }
}

// Broken files: every failure names the line it stopped at, and a file that still loads is
// saved and read back without loss.
TEST(ComponentRoundTrip, MutatedFilesFailWithTheirLineOrReadBack) {
    auto bench = test::MakeBench(test::ComponentFileGenerator::Channels());
    test::Loaded first, second;
    test::ComponentFileGenerator generator(7);
    std::mt19937 rng(11);
    const std::string alphabet = "[]\",=#/*-+?;01xbHLZ \n\tPNV";
    int failures = 0;
    for (int n = 0; n < 1500; ++n) {
        std::string text = generator.File();
        for (int edits = std::uniform_int_distribution<int>(1, 4)(rng); edits > 0; --edits) {
            const std::size_t at = std::uniform_int_distribution<std::size_t>(0, text.size())(rng);
            const char c = alphabet[rng() % alphabet.size()];
            switch (rng() % 3) {
            case 0:
                text.insert(at, 1, c);
                break;
            case 1:
                text.erase(at, 1);
                break;
            default:
                text.replace(at, 1, 1, c);
                break;
            }
        }
        const int32_t a = first.Parse(bench.get(), text, "gen.ict");
        if (a < 0) {
            ++failures;
            const std::string error = first.error;
            const std::string suffix = "\n\nFILE: gen.ict\n\nLINE: ";
            const std::size_t at = error.rfind(suffix);
            ASSERT_NE(at, std::string::npos) << error;
            const long line = std::atol(error.c_str() + at + suffix.size());
            const long lines = static_cast<long>(std::count(text.begin(), text.end(), '\n')) + 1;
            EXPECT_GE(line, 1) << error;
            EXPECT_LE(line, lines) << error;
            continue;
        }
        EXPECT_LE(first.model->itemCount, kMaxVectorItems);
        std::string_view view(text);
        const int32_t loaded =
            LoadComponentProgram(bench.get(), first.model.get(), "gen.ict", &view,
                                 first.strings.data(), first.strings.size(), first.error);
        if (loaded < 1) {
            continue;
        }
        const std::string saved = WriteModel(*first.model);
        std::string_view savedView(saved);
        EXPECT_EQ(LoadComponentProgram(bench.get(), second.model.get(), "gen.ict", &savedView,
                                       second.strings.data(), second.strings.size(), second.error),
                  loaded)
            << second.error << "\n"
            << text;
    }
    EXPECT_GT(failures, 300);
}

} // namespace
} // namespace kora
