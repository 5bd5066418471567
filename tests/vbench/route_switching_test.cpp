// The ROUTE switching library through its C functions: connections and disconnections in the
// command language, the display of what is connected, the report of connections that cannot be
// made, settling in virtual time, the relays in the bench's circuit, the journal and injected
// faults; and the routing table of the example station.
#include <resmgr/resmgr_inspect.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/circuit/elements.h>
#include <vbench/modules/psu.h>

#include <platform_types.h>
#include <resmgr.h>
#include <route.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace kora::vbench::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kData = fs::path(KORA_EXAMPLES_DIR).parent_path() / "tests" / "vbench" / "data";
const fs::path kExample = fs::path(KORA_EXAMPLES_DIR) / "station";

constexpr int32_t kUnknownPoint = -37010;
constexpr int32_t kInvalidCommand = -37006;
constexpr int32_t kNotConnected = 37101;
constexpr int32_t kConnectedAlready = 37102;
constexpr int32_t kTruncated = 37103;
constexpr double kRelay = 0.5; // route_physical.ini
constexpr int64_t kDebounceNs = 3'000'000;

// What the routing library reads of a failed connection line (its channel-name rewriting).
const std::regex kConnectionLine("\\s*([^>\\s]+)\\s*>\\s*([^>\\s]+)\\s*");

struct Result {
    int32_t code = 0;
    int32_t status = 0;
    int32_t error = 0;
    std::string message;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const auto nl = text.find('\n', start);
        out.push_back(text.substr(start, nl - start));
        if (nl == std::string::npos) {
            return out;
        }
        start = nl + 1;
    }
}

// The group lines of a display.
std::vector<std::string> Groups(const std::string& display) {
    std::vector<std::string> out;
    for (const std::string& line : Lines(display)) {
        if (!line.empty() && line[0] == '$') {
            out.push_back(line);
        }
    }
    return out;
}

class RouteSwitching : public ::testing::Test {
  protected:
    void SetUp() override { Bring(kData / "route_physical.ini", kData / "route_software.ini"); }
    void TearDown() override {
        CloseSessions();
        int32_t warning = 0, error = 0;
        char message[CLASSLIB_MESSAGE_SIZE];
        RESMGR_Cleanup(0, &warning, &error, message);
        VirtualBench::activate(nullptr);
        resmgr::inspect::Reset();
    }

    void Bring(const fs::path& physical, const fs::path& software) {
        resmgr::inspect::Reset();
        bench_ = std::make_shared<VirtualBench>();
        bench_->loadStation(LoadStation(physical.string()));
        VirtualBench::activate(bench_);
        int32_t warning = 0, error = 0;
        char message[CLASSLIB_MESSAGE_SIZE];
        ASSERT_EQ(RESMGR_Setup(0, physical.c_str(), software.c_str(), &warning, &error, message), 0)
            << message;
    }

    // A routing session of a bench section; 0 when it cannot be opened.
    int32_t Open(const char* bench) {
        int32_t handle = 0, warning = 0, error = 0;
        char message[CLASSLIB_MESSAGE_SIZE];
        EXPECT_EQ(ROUTE_Setup(0, bench, &handle, &warning, &error, message), 0) << message;
        if (handle > 0) {
            handles_.push_back(handle);
        }
        return handle > 0 ? handle : 0;
    }

    Result Exec(const char* command, int32_t handle = 0) {
        Result r;
        r.status = 77;
        r.error = 77;
        char message[CLASSLIB_MESSAGE_SIZE] = "stale";
        r.code = ROUTE_Execute(0, handle ? handle : Main(), command, &r.status, &r.error, message);
        r.message = message;
        return r;
    }

    std::string Display(int32_t handle = 0) {
        int32_t length = -1, warning = 0, error = 0;
        char message[CLASSLIB_MESSAGE_SIZE];
        EXPECT_EQ(ROUTE_GetDisplayString(0, handle ? handle : Main(), nullptr, 0, &length, &warning,
                                         &error, message),
                  0)
            << message;
        std::string text(static_cast<std::size_t>(length) + 1, '\0');
        EXPECT_EQ(ROUTE_GetDisplayString(0, handle ? handle : Main(), text.data(),
                                         static_cast<long>(text.size()), &length, &warning, &error,
                                         message),
                  0)
            << message;
        text.resize(static_cast<std::size_t>(length));
        return text;
    }

    // Current through a board resistor from its first node to its second, as the solver has it.
    double Current(const char* resistor) {
        EXPECT_TRUE(bench_->settle().ok());
        const Circuit& c = bench_->circuit();
        const auto* r = c.findAs<Resistor>(resistor);
        EXPECT_NE(r, nullptr) << resistor;
        return r ? r->current(c.solution().data(), c.unknowns()) : NAN;
    }
    double Volts(const char* net) {
        EXPECT_TRUE(bench_->settle().ok());
        return bench_->circuit().voltage(net);
    }

    int32_t Main() {
        if (!main_) {
            main_ = Open("Bench_R");
        }
        return main_;
    }
    void CloseSessions() {
        for (int32_t h : handles_) {
            int32_t warning = 0, error = 0;
            char message[CLASSLIB_MESSAGE_SIZE];
            ROUTE_Cleanup(0, h, &warning, &error, message);
        }
        handles_.clear();
        main_ = 0;
    }

    std::shared_ptr<VirtualBench> bench_;
    std::vector<int32_t> handles_;
    int32_t main_ = 0;
};

TEST_F(RouteSwitching, ConnectionsAndDisconnectionsShowInTheDisplayGroupByGroup) {
    const std::string sourceLoad = "$G1 (CARD1!P1 CARD1!P2)\n"
                                   "CARD1!P1 (src)\n"
                                   "        CARD1!P2 (load)\n"
                                   "                K1_1 (CARD1!P1-BUS!L1) O\n"
                                   "                K1_2 (BUS!L1-CARD1!P2) O";
    const std::string loAux = "METER!LO (meter!lo)\n"
                              "        CARD1!P3 (aux)\n"
                              "                KM_LO (METER!LO-BUS!L2) O\n"
                              "                K2_3 (BUS!L2-CARD1!P3) O";
    struct Step {
        const char* command;
        int32_t status;
        std::string display;
    } steps[] = {
        {"SOURCE>LOAD", 0, sourceLoad},
        // Blanks around names, and a physical name in another case.
        {" M_LO > aux ", 0, sourceLoad + "\n$G2 (METER!LO CARD1!P3)\n" + loAux},
        {"LOAD>SOURCE", kConnectedAlready, sourceLoad + "\n$G2 (METER!LO CARD1!P3)\n" + loAux},
        // The path from the source to the meter's LO line may pass through BUS!L1, which is
        // joined to the source already, and BUS!L2, joined to LO: the groups merge.
        {"SOURCE>M_LO", 0,
         "$G1 (CARD1!P1 CARD1!P2 METER!LO CARD1!P3)\n"
         "CARD1!P1 (src)\n"
         "        CARD1!P2 (load)\n"
         "                K1_1 (CARD1!P1-BUS!L1) O\n"
         "                K1_2 (BUS!L1-CARD1!P2) O\n"
         "        METER!LO (meter!lo)\n"
         "                K2_1 (CARD1!P1-BUS!L2) O\n"
         "                KM_LO (BUS!L2-METER!LO) O\n" +
             loAux},
        // Undoing it leaves KM_LO closed: M_LO>AUX still holds it.
        {"M_LO|SOURCE", 0, sourceLoad + "\n$G2 (METER!LO CARD1!P3)\n" + loAux},
        {"SOURCE|M_LO", kNotConnected, sourceLoad + "\n$G2 (METER!LO CARD1!P3)\n" + loAux},
        {"CARD1!P1||", 0, "$G1 (METER!LO CARD1!P3)\n" + loAux},
        {"%", 0, ""},
        {"%", 0, ""},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.command);
        const Result r = Exec(s.command);
        EXPECT_EQ(r.code, s.status) << r.message;
        EXPECT_EQ(r.status, s.status > 0 ? s.status : 0);
        EXPECT_EQ(r.error, 0);
        EXPECT_EQ(Display(), s.display);
    }
}

TEST_F(RouteSwitching, WarningsNameTheItemsThatHadNothingToDo) {
    ASSERT_EQ(Exec("SOURCE>LOAD").code, 0);
    struct Case {
        const char* command;
        int32_t status;
        const char* message;
    } cases[] = {
        {"AUX|LOAD", kNotConnected, "Points were not connected: 'AUX|LOAD' (not connected)"},
        {"AUX||", kNotConnected, "Points were not connected: 'AUX||' (not connected)"},
        {"LOAD>SOURCE,BUS!L1>CARD1!P2", kConnectedAlready,
         "Points were connected already: 'LOAD>SOURCE' (connected already), 'BUS!L1>CARD1!P2' "
         "(connected already)"},
        {"SOURCE>SOURCE", kConnectedAlready, "'SOURCE>SOURCE' (connected already)"},
        {"SOURCE>LOAD,M_HI|AUX", kNotConnected,
         "Points were not connected: 'M_HI|AUX' (not connected), 'SOURCE>LOAD' (connected "
         "already)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const Result r = Exec(c.command);
        EXPECT_EQ(r.code, c.status);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.error, 0);
        EXPECT_NE(r.message.find(c.message), std::string::npos) << r.message;
    }
    EXPECT_EQ(Groups(Display()), std::vector<std::string>{"$G1 (CARD1!P1 CARD1!P2)"})
        << "no warning changed anything";
}

TEST_F(RouteSwitching, FailedConnectionsAreListedOneALineAndTheOthersAreMade) {
    ASSERT_EQ(Exec("SOURCE>LOAD,M_LO>AUX").code, 0);
    struct Case {
        const char* command;
        std::vector<std::string> message; // lines
        std::vector<std::string> groups;  // afterwards
    } cases[] = {
        // The meter's HI reaches the pins only over BUS!L1, which joins source and load: busy.
        // The island has no relay to the card at all.
        {"M_HI>AUX, ISLAND!A >  LOAD ,ISLAND!A>ISLAND!B",
         {"Connection failed: 2 of 3 connections not made (1 blocked by points in use, 1 "
          "without any path)",
          "M_HI > AUX", "ISLAND!A > LOAD"},
         {"$G1 (CARD1!P1 CARD1!P2)", "$G2 (METER!LO CARD1!P3)", "$G3 (ISLAND!A ISLAND!B)"}},
        // Terminals are never passed through: the meter's HI cannot reach the island's pins or
        // BUS!L2 by way of CARD1!P1.
        {"M_HI>BUS!L2,card1!p9>ISLAND!B",
         {"Connection failed: 2 of 2 connections not made (0 blocked by points in use, 2 "
          "without any path)",
          "M_HI > BUS!L2", "card1!p9 > ISLAND!B"},
         {"$G1 (CARD1!P1 CARD1!P2)", "$G2 (METER!LO CARD1!P3)", "$G3 (ISLAND!A ISLAND!B)"}},
        // Once the bus line is free the same connection is made.
        {"SOURCE||,M_HI>AUX", {}, {"$G1 (METER!LO CARD1!P3 METER!HI)", "$G2 (ISLAND!A ISLAND!B)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const Result r = Exec(c.command);
        if (c.message.empty()) {
            EXPECT_EQ(r.code, 0) << r.message;
        } else {
            EXPECT_EQ(r.code, ROUTE_ERR_CONNECTION);
            EXPECT_EQ(r.error, ROUTE_ERR_CONNECTION);
            EXPECT_EQ(r.status, 0);
            const auto lines = Lines(r.message);
            EXPECT_EQ(lines, c.message);
            for (std::size_t i = 1; i < lines.size(); ++i) {
                EXPECT_TRUE(std::regex_match(lines[i], kConnectionLine)) << lines[i];
            }
            EXPECT_FALSE(std::regex_search(lines[0], kConnectionLine)) << lines[0];
        }
        EXPECT_EQ(Groups(Display()), c.groups);
    }
}

TEST_F(RouteSwitching, DisconnectListsUndoWhatTheyNameOrEverything) {
    const std::string all[] = {"$G1 (CARD1!P1 CARD1!P2)", "$G2 (METER!LO CARD1!P3)",
                               "$G3 (ISLAND!A ISLAND!B)"};
    struct Case {
        const char* command;
        int32_t status;
        std::vector<std::string> groups;
    } cases[] = {
        {"%", 0, {}},
        {"%,", 0, {}},
        {"%,?#", 0, {}},
        {"%,||", 0, {}},
        {"||", 0, {}},
        {"%,SOURCE||,ISLAND!B||", 0, {"$G1 (METER!LO CARD1!P3)"}},
        {"%,LOAD||", 0, {"$G1 (METER!LO CARD1!P3)", "$G2 (ISLAND!A ISLAND!B)"}},
        // An internal point: every connection that runs over it.
        {"%,BUS!L2||", 0, {all[0], "$G2 (ISLAND!A ISLAND!B)"}},
        {"%,CARD1!P4||,ISLAND!A||", kNotConnected, {all[0], "$G2 (METER!LO CARD1!P3)"}},
        {"%,CARD1!P4||", kNotConnected, {all[0], all[1], all[2]}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        ASSERT_EQ(Exec("%,?#").code, 0);
        ASSERT_EQ(Exec("SOURCE>LOAD,M_LO>AUX,ISLAND!A>ISLAND!B").code, 0);
        const Result r = Exec(c.command);
        EXPECT_EQ(r.code, c.status) << r.message;
        EXPECT_EQ(Groups(Display()), c.groups);
    }
}

TEST_F(RouteSwitching, TextsThatAreNoCommandsOrNameNoPointsSwitchNothing) {
    struct Case {
        const char* command;
        int32_t status;
        const char* message;
    } cases[] = {
        {"SOURCE>LOAD,A>B>C", kInvalidCommand,
         "Invalid routing command: 'A>B>C' (a connection is POINT>POINT)"},
        {"SOURCE>LOAD,SOURCE>", kInvalidCommand, "'SOURCE>'"},
        {"SOURCE>LOAD,>LOAD", kInvalidCommand, "'>LOAD'"},
        {"SOURCE>LOAD,SOURCE|", kInvalidCommand, "'SOURCE|' (a disconnection is POINT|POINT"},
        {"SOURCE>LOAD,SOURCE|LOAD||", kInvalidCommand, "'SOURCE|LOAD||'"},
        {"SOURCE>LOAD,%", kInvalidCommand, "'%' only as the first item"},
        {"%,SOURCE>LOAD", kInvalidCommand,
         "'SOURCE>LOAD' (a list that begins with '%' only disconnects)"},
        {"SOURCE>LOAD,?", kInvalidCommand, "'?' (not a routing command)"},
        {"SOURCE>LOAD,CONNECT", kInvalidCommand, "'CONNECT' (not a routing command)"},
        {"SOURCE>LOAD,SOURCE>LO AD", kInvalidCommand, "'SOURCE>LO AD'"},
        {"SOURCE>NOWHERE", kUnknownPoint,
         "Unknown routing point: 'NOWHERE' (not a point of routing table Routing_R)"},
        {"SOURCE>LOAD,ELSEWHERE>LOAD", kUnknownPoint, "'ELSEWHERE' (OTHER!X) (not a point"},
        {"SOURCE>LOAD,NOWHERE|LOAD,AUX||,M_HI>ELSEWHERE", kUnknownPoint,
         "'NOWHERE', 'ELSEWHERE' (OTHER!X) (not a point"},
        {nullptr, -37004, "Null pointer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command ? c.command : "(null)");
        const Result r = Exec(c.command);
        EXPECT_EQ(r.code, c.status);
        EXPECT_EQ(r.error, c.status);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.message.find(c.message), std::string::npos) << r.message;
        EXPECT_EQ(Display(), "") << "the text is refused as a whole";
    }
    EXPECT_EQ(bench_->circuit().find("route:routing_r:k1_1"), nullptr) << "no relay ever closed";
}

TEST_F(RouteSwitching, SettlingWaitsOutTheDebounceOfTheLastChange) {
    Clock& clock = bench_->clock();
    const int64_t t0 = clock.nowNs();
    ASSERT_EQ(Exec("SOURCE>LOAD").code, 0);
    EXPECT_EQ(clock.nowNs(), t0) << "connecting does not wait";
    ASSERT_EQ(Exec("?#").code, 0);
    EXPECT_EQ(clock.nowNs(), t0 + kDebounceNs);
    ASSERT_EQ(Exec("?#").code, 0);
    EXPECT_EQ(clock.nowNs(), t0 + kDebounceNs) << "settled already";

    const int64_t t1 = clock.nowNs();
    ASSERT_EQ(Exec("SOURCE|LOAD").code, 0);
    clock.wait(1'000'000);
    ASSERT_EQ(Exec("?#").code, 0);
    EXPECT_EQ(clock.nowNs(), t1 + kDebounceNs) << "only what is left of the debounce";

    // Nothing switches: nothing to wait for.
    ASSERT_EQ(Exec("%,?#").code, 0);
    ASSERT_EQ(Exec("LOAD|SOURCE,?#").code, kNotConnected);
    EXPECT_EQ(clock.nowNs(), t1 + kDebounceNs);

    // A list that switches and then settles waits from its last change.
    clock.wait(10'000'000);
    const int64_t t2 = clock.nowNs();
    ASSERT_EQ(Exec("SOURCE>AUX,?#,M_LO>LOAD").code, 0);
    EXPECT_EQ(clock.nowNs(), t2 + kDebounceNs);
    ASSERT_EQ(Exec("%,?#").code, 0);
    EXPECT_EQ(clock.nowNs(), t2 + 2 * kDebounceNs);
}

TEST_F(RouteSwitching, ARelayPathCarriesCurrentOnlyWhileItIsClosed) {
    EXPECT_NEAR(Current("r1"), 0, 1e-12);
    ASSERT_EQ(Exec("SOURCE>LOAD").code, 0);
    EXPECT_NEAR(Current("r1"), 1.0 / (1000 + 2 * kRelay), 1e-12);
    EXPECT_NEAR(Current("r2"), 0, 1e-12);

    // The second load hangs off the bus line the first path uses: both share its first relay.
    ASSERT_EQ(Exec("SOURCE>AUX").code, 0);
    const double g = 1 / (1000 + kRelay) + 1 / (2000 + kRelay);
    const double bus = 1 / (1 + kRelay * g);
    EXPECT_NEAR(Current("r1"), bus / (1000 + kRelay), 1e-12);
    EXPECT_NEAR(Current("r2"), bus / (2000 + kRelay), 1e-12);

    ASSERT_EQ(Exec("SOURCE|LOAD").code, 0);
    EXPECT_NEAR(Current("r1"), 0, 1e-11) << "open relays leave only their leakage";
    EXPECT_NEAR(Current("r2"), 1.0 / (2000 + 2 * kRelay), 1e-12);

    // Points are nets: a meter terminal is the net of its folded name, an unwired pin of the
    // card is the card's own pin node.
    ASSERT_EQ(Exec("%").code, 0);
    ASSERT_EQ(Exec("M_HI>LOAD,M_LO>CARD1!P4,BUS!L2>CARD1!P9").code, 0);
    EXPECT_NEAR(Volts("meter!hi"), 0, 1e-6) << "the load is not driven";
    ASSERT_EQ(Exec("M_HI|LOAD,M_HI>SOURCE").code, 0);
    EXPECT_NEAR(Volts("meter!hi"), 1.0, 1e-9);
    EXPECT_NEAR(Volts("meter!hi") - Volts("meter!lo"), 1.0, 1e-9);
    EXPECT_TRUE(bench_->circuit().findNode("vb:card1:p9").has_value());

    ASSERT_EQ(Exec("%").code, 0);
    EXPECT_NEAR(Current("r1"), 0, 1e-11);
    EXPECT_NEAR(Current("r2"), 0, 1e-11);
    const auto* relay = bench_->circuit().findAs<Switch>("route:routing_r:k1_1");
    ASSERT_NE(relay, nullptr);
    EXPECT_FALSE(relay->closed());
}

TEST_F(RouteSwitching, SessionsOfOneBenchAndTableSwitchTheSameRelays) {
    const int32_t plain = Open("Bench_Plain");
    ASSERT_GT(plain, 0);
    ASSERT_EQ(Exec("CARD1!P1>CARD1!P2", plain).code, 0);
    EXPECT_EQ(Display(), Display(plain));
    EXPECT_EQ(Groups(Display()), std::vector<std::string>{"$G1 (CARD1!P1 CARD1!P2)"});
    const Result r = Exec("SOURCE>AUX", plain);
    EXPECT_EQ(r.code, kUnknownPoint) << "Bench_Plain has no application channel names";
    EXPECT_EQ(Exec("SOURCE|LOAD").code, 0);
    EXPECT_EQ(Display(plain), "");
}

TEST_F(RouteSwitching, TheFirstSessionOfATableStartsFromOpenRelays) {
    ASSERT_EQ(Exec("CARD1!P1>CARD1!P2").code, 0);
    // A second session joins the connections of the open one...
    const int32_t joined = Open("Bench_Plain");
    EXPECT_EQ(Groups(Display(joined)), std::vector<std::string>{"$G1 (CARD1!P1 CARD1!P2)"});
    // ...but once every session is closed, a program left nothing for the next one.
    CloseSessions();
    EXPECT_EQ(Display(), "");
}

TEST_F(RouteSwitching, DisplayLengthAndBufferLimits) {
    ASSERT_EQ(Exec("SOURCE>LOAD").code, 0);
    const std::string full = Display();
    ASSERT_FALSE(full.empty());
    int32_t length = -1, warning = 7, error = 7;
    char message[CLASSLIB_MESSAGE_SIZE];
    char small[10];
    EXPECT_EQ(
        ROUTE_GetDisplayString(0, Main(), small, sizeof small, &length, &warning, &error, message),
        kTruncated);
    EXPECT_EQ(warning, kTruncated);
    EXPECT_EQ(length, static_cast<int32_t>(full.size()));
    EXPECT_EQ(std::string(small), full.substr(0, 9));
    EXPECT_NE(std::string(message).find("9 of " + std::to_string(full.size())), std::string::npos)
        << message;
    EXPECT_EQ(ROUTE_GetDisplayString(0, Main(), small, 0, &length, &warning, &error, message),
              -37007);
    EXPECT_EQ(
        ROUTE_GetDisplayString(0, Main(), small, sizeof small, nullptr, &warning, &error, message),
        -37004);
    EXPECT_EQ(ROUTE_GetDisplayString(0, 999, nullptr, 0, &length, &warning, &error, message),
              -37002);
}

TEST_F(RouteSwitching, EveryCallIsJournaledAndAnInjectedFaultSwitchesNothing) {
    const int32_t h = Main();
    bench_->journal().clear();
    bench_->faults().add(FaultRule{"ROUTE_Execute", 2, false, -37900, "Relay supply off"});
    EXPECT_EQ(Exec("SOURCE>LOAD").code, 0);
    const Result failed = Exec("%,M_LO>AUX");
    EXPECT_EQ(failed.code, -37900);
    EXPECT_EQ(failed.error, -37900);
    EXPECT_EQ(failed.message, "Relay supply off");
    const std::string shown = Display();
    EXPECT_EQ(Groups(shown), std::vector<std::string>{"$G1 (CARD1!P1 CARD1!P2)"})
        << "the failed call did not disconnect";
    EXPECT_EQ(Exec("M_HI>AUX").code, ROUTE_ERR_CONNECTION);
    EXPECT_EQ(Exec("LOAD|SOURCE").code, 0);

    const auto calls = bench_->journal().callsOf("ROUTE");
    const std::string hs = std::to_string(h);
    struct Expected {
        const char* function;
        std::string arguments;
        int32_t result;
        bool injected;
    } expected[] = {
        {"ROUTE_Execute", "0, " + hs + ", \"SOURCE>LOAD\"", 0, false},
        {"ROUTE_Execute", "0, " + hs + ", \"%,M_LO>AUX\"", -37900, true},
        {"ROUTE_GetDisplayString", "0, " + hs + ", &, 0, &", 0, false},
        {"ROUTE_GetDisplayString", "0, " + hs + ", &, " + std::to_string(shown.size() + 1) + ", &",
         0, false},
        {"ROUTE_Execute", "0, " + hs + ", \"M_HI>AUX\"", ROUTE_ERR_CONNECTION, false},
        {"ROUTE_Execute", "0, " + hs + ", \"LOAD|SOURCE\"", 0, false},
    };
    ASSERT_GE(calls.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].function, expected[i].function);
        EXPECT_EQ(calls[i].arguments, expected[i].arguments);
        EXPECT_EQ(calls[i].result, expected[i].result);
        EXPECT_EQ(calls[i].injected, expected[i].injected);
    }
}

TEST_F(RouteSwitching, SetupRefusesATableLineThatIsNoRelay) {
    struct Case {
        const char* bench;
        const char* message;
    } cases[] = {
        {"Bench_OnePoint", "Invalid routing table: [Routing_OnePoint] K2 = BUS!L1 (a relay joins "
                           "two points: RELAY = POINT_A, POINT_B)"},
        {"Bench_SamePoint", "K1 = BUS!L1, bus!l1 (a relay joins two different points)"},
        {"Bench_Twice", "relay k1 is listed twice"},
        {"Bench_ThreePoints", "K1 = BUS!L1, CARD1!P1, CARD1!P2 (a relay joins two points"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bench);
        int32_t handle = 0, warning = 0, error = 0;
        char message[CLASSLIB_MESSAGE_SIZE];
        EXPECT_EQ(ROUTE_Setup(0, c.bench, &handle, &warning, &error, message), -37053);
        EXPECT_EQ(handle, -1);
        EXPECT_NE(std::string(message).find(c.message), std::string::npos) << message;
    }
}

// The routing table of the example station: the meter's terminals reach every fixture pin, for
// 2-wire and 4-wire measurements, and the meter sees the board's voltages through the relays. The
// supply's channel, routed with its sense leads to the board, holds VCC at its level.
TEST_F(RouteSwitching, ExampleStationRoutesTheMeterToEveryPin) {
    TearDown();
    Bring(kExample / "hardware.ini", kExample / "system.ini");
    const int32_t line = Open("BENCH_LINE");
    ASSERT_GT(line, 0);
    vbench::PsuModule& supply = vbench::PsuOf(*bench_, "SUPPLY_A6");
    supply.setRemoteSensing(0, true);
    supply.setVoltageLevel(0, 5);
    supply.setOutputEnabled(0, true);
    const std::string power = "SUPPLY_A6!CH1_HI>VCC,SUPPLY_A6!CH1_LO>GND,SUPPLY_A6!CH1_SHI>VCC,"
                              "SUPPLY_A6!CH1_SLO>GND,";
    const double divider = 5 * 4.7 / 14.7;
    struct Case {
        const char* pin;
        double volts;  // of the board at that pin
        size_t groups; // the supply's two and the meter's (its HI joins VCC's group at VCC)
    } cases[] = {{"VCC", 5, 2}, {"DIV_MID", divider, 3}, {"R5_A", 0, 3}, {"MATRIX_A7!P5", 0, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pin);
        ASSERT_EQ(Exec("%", line).code, 0);
        const std::string command = power + "DMM_HI>" + c.pin + ",DMM_LO>GND,?#";
        const Result r = Exec(command.c_str(), line);
        ASSERT_EQ(r.code, 0) << r.message;
        EXPECT_EQ(Groups(Display(line)).size(), c.groups) << Display(line);
        EXPECT_NEAR(Volts("dmm_a!hi") - Volts("dmm_a!lo"), c.volts, 1e-6);
    }

    // The display of the routing model's documentation.
    ASSERT_EQ(Exec("%", line).code, 0);
    ASSERT_EQ(Exec("DMM_A!HI>MATRIX_A7!P1,DMM_A!LO>MATRIX_A7!P3", line).code, 0);
    EXPECT_EQ(Display(line), "$G1 (DMM_A!HI MATRIX_A7!P1)\n"
                             "DMM_A!HI (dmm_a!hi)\n"
                             "        MATRIX_A7!P1 (vcc)\n"
                             "                K_HI_L1 (DMM_A!HI-RBUS!L1) O\n"
                             "                K_L1_P1 (RBUS!L1-MATRIX_A7!P1) O\n"
                             "$G2 (DMM_A!LO MATRIX_A7!P3)\n"
                             "DMM_A!LO (dmm_a!lo)\n"
                             "        MATRIX_A7!P3 (0)\n"
                             "                K_LO_L2 (DMM_A!LO-RBUS!L2) O\n"
                             "                K_L2_P3 (RBUS!L2-MATRIX_A7!P3) O");

    const Result fourWire =
        Exec("||,DMM_A!HI>R5_A,DMM_A!SHI>R5_A,DMM_A!LO>R5_B,DMM_A!SLO>R5_B", line);
    EXPECT_EQ(fourWire.code, 0) << fourWire.message;
    EXPECT_EQ(Groups(Display(line)),
              (std::vector<std::string>{"$G1 (DMM_A!HI MATRIX_A7!P4 DMM_A!SHI)",
                                        "$G2 (DMM_A!LO MATRIX_A7!P5 DMM_A!SLO)"}));
}

} // namespace
} // namespace kora::vbench::testing
