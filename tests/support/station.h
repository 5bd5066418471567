// A fixture with the example station on a fresh virtual bench, the executive runtime in test
// mode and short ways to call the bench life-cycle steps; tests may run on edited copies of the
// station's files.
#pragma once

#include "frame/bench_context.h"
#include "support/executive.h"

#include <kora/step_methods.h>
#include <resmgr/resmgr_inspect.h>
#include <vbench/bench/virtual_bench.h>
#include <winapi.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace kora::test {

using vbench::VirtualBench;
namespace fs = std::filesystem;

inline const fs::path kStation = fs::path(KORA_EXAMPLES_DIR) / "station";

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class StationTest : public ExecutiveTest {
  protected:
    void SetUp() override {
        ExecutiveTest::SetUp();
        resmgr::inspect::Reset();
        SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
        UseStation(kStation);
    }
    void TearDown() override {
        FreeBenchContext();
        VirtualBench::activate(nullptr);
        resmgr::inspect::Reset();
        ExecutiveTest::TearDown();
    }

    // A fresh virtual station from the files in `dir`, active for the test.
    void UseStation(const fs::path& dir) {
        hw_ = (dir / "hardware.ini").string();
        sw_ = (dir / "system.ini").string();
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(vbench::LoadStation(hw_));
        VirtualBench::activate(bench_);
    }

    // A copy of the example station in a temporary folder with one file's text edited.
    fs::path EditedStation(const std::string& file, const std::string& from,
                           const std::string& to) {
        return EditedStation(file, {{from, to}});
    }
    fs::path EditedStation(const std::string& file,
                           const std::vector<std::pair<std::string, std::string>>& edits) {
        const fs::path dir =
            fs::temp_directory_path() /
            ("kora_station_" + std::to_string(::getpid()) + "_" + std::to_string(++edits_));
        fs::remove_all(dir);
        fs::create_directories(dir);
        for (const auto& e : fs::directory_iterator(kStation)) {
            fs::copy_file(e.path(), dir / e.path().filename());
        }
        std::string text = ReadFile(dir / file);
        for (const auto& [from, to] : edits) {
            const auto at = text.find(from);
            EXPECT_NE(at, std::string::npos) << from;
            if (at != std::string::npos) {
                text.replace(at, from.size(), to);
            }
        }
        std::ofstream(dir / file, std::ios::trunc) << text;
        return dir;
    }

    long Setup(const char* benchName = "LINE", long count = 2, long stepRef = 1) {
        return SETUP_KORA(stepRef, "Setup", 0x100, 0, "", benchName, count, sw_.c_str(),
                          hw_.c_str());
    }
    // The example board has no supply of its own: SUPPLY_A6!CH1 powers it at `volts`, sensed at
    // the board, through the routing of bench LINE.
    static long PowerBoard(double volts = 5, long stepRef = 40) {
        const long sensed = CONF_DCPWR(stepRef, "Sense", 0x180, 0, "", "SUPPLY_A6!CH1|XSENSING", 1);
        return sensed != 0 ? sensed
                           : SET_DCPWR(stepRef + 1, "Power", 0x190, 0, "",
                                       "SUPPLY_A6!CH1_HI>VCC,SUPPLY_A6!CH1_LO>GND,"
                                       "SUPPLY_A6!CH1_SHI>VCC,SUPPLY_A6!CH1_SLO>GND",
                                       "SUPPLY_A6!CH1|VDC_CREG.OFF_ON", volts, "AUTORANGE", 0.1,
                                       "AUTORANGE", NAN, NAN, "");
    }
    static long Cleanup(const char* devChanAttr, long stepRef = 50) {
        return CLEANUP_KORA(stepRef, "Cleanup", 0x200, 0, "", devChanAttr);
    }
    static long Conf(const char* devChanAttr, long value, long stepRef = 60) {
        return CONF_KORA(stepRef, "Conf", 0x300, 0, "", devChanAttr, value);
    }
    static long Geti(const char* devChanAttr, long benchIndex, long* out, long stepRef = 70) {
        return GETI_KORA(stepRef, "Geti", 0x400, 0, "", devChanAttr, benchIndex, out);
    }

    std::vector<std::string> Log() const {
        std::vector<std::string> lines;
        for (const auto& m : rvo().messages()) {
            lines.push_back(m.text);
        }
        return lines;
    }
    size_t Calls(const char* function) const { return bench_->journal().count(function); }
    std::string LastAlert() const {
        auto a = alerts();
        return a.empty() ? std::string() : a.back().text;
    }

    std::shared_ptr<VirtualBench> bench_;
    std::string hw_, sw_;
    int edits_ = 0;
};

} // namespace kora::test
