// The resource manager's trace: master switch, per-session flags, memory and file output.
#include "resmgr_inspect.h"

#include <resmgr.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using kora::resmgr::inspect::TraceLines;
using Lines = std::vector<std::string>;

namespace {

struct Reply {
    int32_t warning = 0;
    int32_t error = 0;
    char message[RESMGR_MESSAGE_SIZE] = {};
};

// A scratch directory; the trace goes to memory unless a test names a file.
class Scratch {
  public:
    Scratch() {
        unsetenv("KORA_RESMGR_TRACE");
        kora::resmgr::inspect::Reset();
        std::string pattern = (fs::temp_directory_path() / "resmgr_trace_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            dir_ = pattern;
        }
    }
    ~Scratch() {
        unsetenv("KORA_RESMGR_TRACE");
        kora::resmgr::inspect::Reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    fs::path path(const std::string& name) const { return dir_ / name; }

    // Sets the resource manager up with one bench and two devices.
    void setUpStation() const {
        std::ofstream(path("physical.ini")) << "[device->PIO2_A5]\nType = PIO2\n"
                                               "[device->SM160_B1]\nType = SM160\n";
        std::ofstream(path("software.ini")) << "[Bench_LINE]\nType = BENCH\n";
        Reply reply;
        ASSERT_EQ(RESMGR_Setup(0, path("physical.ini").c_str(), path("software.ini").c_str(),
                               &reply.warning, &reply.error, reply.message),
                  0)
            << reply.message;
    }

  private:
    fs::path dir_;
};

Lines ReadFileLines(const fs::path& file) {
    Lines lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool Mentions(const Lines& lines, const std::string& text) {
    for (const std::string& line : lines) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(ResmgrTrace, WritesOnlyWhileTracingIsOn) {
    Scratch scratch;
    EXPECT_FALSE(kora::resmgr::inspect::TracingEnabled());
    EXPECT_EQ(RESMGR_Trace("before"), RESMGR_WARN_TRACING_OFF);
    EXPECT_EQ(RESMGR_Enable_Tracing(1), 0);
    EXPECT_EQ(RESMGR_Trace("one"), 0);
    EXPECT_EQ(RESMGR_Trace("two\nthree\r\n"), 0);
    EXPECT_EQ(RESMGR_Trace(""), 0);
    EXPECT_EQ(RESMGR_Enable_Tracing(0), 0);
    EXPECT_EQ(RESMGR_Trace("after"), RESMGR_WARN_TRACING_OFF);
    EXPECT_EQ(RESMGR_Trace(nullptr), RESMGR_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(TraceLines(), (Lines{"one", "two", "three", ""}));
}

TEST(ResmgrTrace, SessionFlagsSelectWhichSessionsAreTraced) {
    Scratch scratch;
    scratch.setUpStation();
    Reply reply;
    int32_t bench = 0;
    ASSERT_EQ(
        RESMGR_Alloc_Resource(0, "Bench_LINE", &bench, &reply.warning, &reply.error, reply.message),
        0);
    int32_t adio = 0;
    int32_t matrix = 0;
    int32_t first = 0;
    ASSERT_EQ(RESMGR_Open_Session(0, bench, "PIO2_A5", &adio, &first, &reply.warning, &reply.error,
                                  reply.message),
              0);
    ASSERT_EQ(RESMGR_Open_Session(0, bench, "SM160_B1", &matrix, &first, &reply.warning,
                                  &reply.error, reply.message),
              0);
    // Lock, register a handle and unlock both devices.
    const auto work = [&] {
        for (const char* device : {"PIO2_A5", "SM160_B1"}) {
            RESMGR_Lock_Device(0, bench, device, 0, &reply.warning, &reply.error, reply.message);
            RESMGR_Set_Session_Handle(0, bench, device, 5, &reply.warning, &reply.error,
                                      reply.message);
            RESMGR_Unlock_Device(0, bench, device, &reply.warning, &reply.error, reply.message);
        }
    };

    RESMGR_Set_Trace_Flag(adio, 1);
    work(); // tracing is off: the flag alone writes nothing
    EXPECT_TRUE(TraceLines().empty());
    EXPECT_FALSE(kora::resmgr::inspect::SessionTraced(adio));

    RESMGR_Enable_Tracing(1);
    EXPECT_TRUE(kora::resmgr::inspect::SessionTraced(adio));
    EXPECT_FALSE(kora::resmgr::inspect::SessionTraced(matrix));
    work();
    const Lines traced = TraceLines();
    EXPECT_EQ(traced.size(), 3u);
    EXPECT_TRUE(Mentions(traced, "RESMGR_Lock_Device(Bench_LINE, PIO2_A5)"));
    EXPECT_TRUE(Mentions(traced, "RESMGR_Set_Session_Handle(Bench_LINE, PIO2_A5): handle 5"));
    EXPECT_TRUE(Mentions(traced, "RESMGR_Unlock_Device(Bench_LINE, PIO2_A5)"));
    EXPECT_FALSE(Mentions(traced, "SM160_B1"));

    RESMGR_Set_Trace_Flag(adio, 0);
    RESMGR_Set_Trace_Flag(matrix, 1);
    work();
    const Lines switched = TraceLines();
    EXPECT_EQ(switched.size(), 6u);
    EXPECT_TRUE(Mentions(Lines(switched.begin() + 3, switched.end()), "SM160_B1"));
    EXPECT_FALSE(Mentions(Lines(switched.begin() + 3, switched.end()), "PIO2_A5"));

    // A flagged session's close is traced too, with whether it was the last.
    int32_t last = 0;
    RESMGR_Close_Session(0, bench, "SM160_B1", &last, &reply.warning, &reply.error, reply.message);
    EXPECT_EQ(TraceLines().back(), "RESMGR_Close_Session(Bench_LINE, SM160_B1): session " +
                                       std::to_string(matrix) + ", last 1");
}

TEST(ResmgrTrace, DriversTraceThroughTheirSessionFlag) {
    Scratch scratch;
    RESMGR_Enable_Tracing(1);
    RESMGR_Set_Trace_Flag(42, 1);
    EXPECT_TRUE(kora::resmgr::inspect::TraceSession(42, "DMM_Read(42)"));
    EXPECT_FALSE(kora::resmgr::inspect::TraceSession(43, "DMM_Read(43)"));
    EXPECT_EQ(TraceLines(), (Lines{"DMM_Read(42)"}));
}

TEST(ResmgrTrace, GoesToTheFileNamedInTheEnvironment) {
    Scratch scratch;
    const fs::path file = scratch.path("trace.log");
    std::ofstream(file) << "earlier line\n";
    ASSERT_EQ(setenv("KORA_RESMGR_TRACE", file.c_str(), 1), 0);
    RESMGR_Enable_Tracing(1);
    EXPECT_EQ(RESMGR_Trace("WRITE_KORA text"), 0);
    EXPECT_EQ(RESMGR_Trace("a\nb"), 0);
    EXPECT_EQ(ReadFileLines(file), (Lines{"earlier line", "WRITE_KORA text", "a", "b"}))
        << "appended to the file";
    EXPECT_EQ(TraceLines(), ReadFileLines(file));

    // A trace file that cannot be written is reported to the caller.
    ASSERT_EQ(setenv("KORA_RESMGR_TRACE", scratch.path("no/such/dir/trace.log").c_str(), 1), 0);
    EXPECT_EQ(RESMGR_Trace("lost"), RESMGR_ERR_TRACE_FILE);

    // Without the variable the trace stays in memory, and nothing of the file went there.
    ASSERT_EQ(unsetenv("KORA_RESMGR_TRACE"), 0);
    EXPECT_EQ(RESMGR_Trace("in memory"), 0);
    EXPECT_EQ(TraceLines(), (Lines{"in memory"}));
}

TEST(ResmgrTrace, FullCleanupSwitchesTracingOffAndKeepsTheLines) {
    Scratch scratch;
    scratch.setUpStation();
    RESMGR_Enable_Tracing(1);
    RESMGR_Set_Trace_Flag(7, 1);
    RESMGR_Trace("kept");
    Reply reply;
    ASSERT_EQ(RESMGR_Cleanup(0, &reply.warning, &reply.error, reply.message), 0);
    EXPECT_FALSE(kora::resmgr::inspect::TracingEnabled());
    RESMGR_Enable_Tracing(1);
    EXPECT_FALSE(kora::resmgr::inspect::SessionTraced(7))
        << "flags belong to the released sessions";
    EXPECT_EQ(TraceLines(), (Lines{"kept"}));
}
