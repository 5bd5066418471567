// Routing lists and the route steps on the example station: prepared texts, the commands sent to
// the switching library, and routing failures shown with the engineer's channel names.
#include "routing/routing.h"
#include "support/station.h"

#include <gtest/gtest.h>

#include <cstring>

#include <string>

namespace kora {
namespace {

using RouteSteps = test::StationTest;

TEST(CompileRouting, PreparesBothTexts) {
    const std::string fits(254, 'a'), tooLong(255, 'a');
    const struct {
        const char *pre, *post;
        int32_t result;
        const char *preOut, *postOut, *message;
    } cases[] = {
        {"A>B,C>D", "#|", 0, "A>B,C>D", "A|B,C|D", ""},
        {"A>B", "#|ignored", 0, "A>B", "A|B", ""},
        {"A>B", "X|Y", 0, "A>B", "X|Y", ""},
        {nullptr, nullptr, 0, "", "", ""},
        {fits.c_str(), "#|", 0, fits.c_str(), fits.c_str(), ""},
        {tooLong.c_str(), "", 1, nullptr, "",
         "_CompileRouting: Insufficient BufferSize (255) for PRE-Routing - String truncated"},
        {"A>B", tooLong.c_str(), 1, "A>B", nullptr,
         "_CompileRouting: Insufficient BufferSize (255) for POST-Routing - String truncated"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pre ? std::string(c.pre).substr(0, 20) : "<null>");
        char pre[kRoutingTextSize], post[kRoutingTextSize], message[1024] = {};
        EXPECT_EQ(_CompileRouting(c.pre, c.post, pre, post, sizeof pre, message), c.result);
        if (c.preOut) {
            EXPECT_STREQ(pre, c.preOut);
        }
        if (c.postOut) {
            EXPECT_STREQ(post, c.postOut);
        }
        EXPECT_STREQ(message, c.message);
    }
}

TEST_F(RouteSteps, ConnectionFailuresNameTheApplicationChannels) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    bench_->faults().add({"ROUTE_Execute", 1, false, -37005,
                          "  MATRIX_A7!P1 > matrix_a7!p2 \nK9!P1>K9!P2\nno connection here\n"});
    EXPECT_EQ(EXEC_ROUTE(90, "Route", 0x500, 0, "", "MATRIX_A7!P1>MATRIX_A7!P2"), -2);
    const std::string alert = LastAlert();
    EXPECT_NE(alert.find("ERROR# -37005 (0xFFFF6F73)"), std::string::npos) << alert;
    EXPECT_NE(alert.find("MATRIX_A7!P1 (VCC) > matrix_a7!p2 (DIV_MID)\nK9!P1 () > K9!P2 ()\n"
                         "no connection here\n"),
              std::string::npos)
        << alert;

    char name[64];
    ResolveChannelName("matrix_a7!p5", "LINE", name, sizeof name);
    EXPECT_STREQ(name, "R5_B");
    ResolveChannelName("DMM_B!HI", "LINE2", name, sizeof name);
    EXPECT_STREQ(name, "OUT");
    ResolveChannelName("DMM_B!HI", "LINE", name, sizeof name);
    EXPECT_STREQ(name, "");
    ResolveChannelName("X!Y", "NOBENCH", name, sizeof name);
    EXPECT_STREQ(name, "");
    // A section named like the bench is not used without a "LogicalNames" entry.
    ResolveChannelName("matrix_a7!p5", "BENCH_LINE", name, sizeof name);
    EXPECT_STREQ(name, "");
}

TEST_F(RouteSteps, ConfRouteSendsItsCommands) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    const struct {
        const char* devChanAttr;
        const char* chanlist;
        const char* command;
        const char* channel;
        long result;
    } cases[] = {
        {"DISCONNECT", "VCC, DIV_MID", "%,VCC||,DIV_MID||", "DISCONNECT.LIST", 0},
        {"DISCONNECT", "", "%", "DISCONNECT.LIST", 0},
        {"DISCONNECT", "  ", "%,||", "DISCONNECT.LIST", 0},
        {"RESET", nullptr, "%,||", "RESET", 1},
        {"DISCONNECT", nullptr, "%,", "DISCONNECT.ALL", 1}, // nothing is connected
    };
    long ref = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        bench_->journal().clear();
        EXPECT_EQ(CONF_ROUTE(++ref, "Conf route", 0x600, 0, "", c.devChanAttr, c.chanlist, 0),
                  c.result)
            << LastAlert();
        const auto sent = bench_->journal().calls("ROUTE_Execute");
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_NE(sent[0].arguments.find(std::string("\"") + c.command + "\""), std::string::npos)
            << sent[0].arguments;
        EXPECT_EQ(lastResult().text, c.command);
        EXPECT_EQ(lastResult().channel, c.channel);
    }
    EXPECT_EQ(CONF_ROUTE(++ref, "Conf route", 0x600, 0, "", "CONNECT", "A", 0), -2);
    EXPECT_NE(LastAlert().find("(0x81000006)"), std::string::npos);
}

TEST_F(RouteSteps, StatusIsReturnedOrShown) {
    ASSERT_EQ(Setup(), 0) << LastAlert();
    char buffer[256] = "stale";
    long length = 99;
    EXPECT_EQ(GETS_ROUTE(120, "Status", 0x700, 0, "", "STATUS", sizeof buffer, buffer, &length), 1)
        << LastAlert();
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(length, 0);
    // A buffer without a size is cleared all the same, and the connections are shown.
    std::strcpy(buffer, "stale");
    EXPECT_EQ(GETS_ROUTE(125, "Status", 0x700, 0, "", "STATUS", 0, buffer, nullptr), 1);
    EXPECT_STREQ(buffer, "");
    // Without a buffer the connections are shown instead.
    EXPECT_EQ(GETS_ROUTE(121, "Status", 0x700, 0, "", "STATUS", 0, nullptr, nullptr), 1);
    const auto messages = rvo().messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().level, 1);
    EXPECT_EQ(messages.back().text, "ROUTING [LINE] - Status ........ NONE\n");
    // On a bench without routing there is nothing to return.
    EXPECT_EQ(CONF_KORA(122, "Conf", 0x300, 0, "", "BENCH", 2), 0);
    EXPECT_EQ(GETS_ROUTE(123, "Status", 0x700, 0, "", "STATUS", sizeof buffer, buffer, &length), 0);
    EXPECT_EQ(GETS_ROUTE(124, "Status", 0x700, 0, "", "LIST", sizeof buffer, buffer, &length), -2);
    EXPECT_NE(LastAlert().find("(0x81000006)"), std::string::npos);
}

} // namespace
} // namespace kora
