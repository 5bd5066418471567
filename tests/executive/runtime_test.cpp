// The executive runtime as the library and the test programs rely on it.
#include "support/executive.h"

#include <cmath>
#include <cstring>
#include <string>

namespace kora {
namespace {

class Runtime : public test::ExecutiveTest {};

TEST_F(Runtime, NumericVerdicts) {
    struct Case {
        const char* lowOp;
        double low, value, high;
        const char* highOp;
        long verdictArg;
        rvo::Verdict verdict;
    } cases[] = {
        {"<=", 1, 1, 2, "<=", 99, rvo::Verdict::Pass},
        {"<", 1, 1, 2, "<=", 99, rvo::Verdict::Fail},
        {"<=", 1, 2, 2, "<", 99, rvo::Verdict::Fail},
        {"=", 1, 1, 0, "", 99, rvo::Verdict::Pass},
        {"==", 1, 1.5, 0, "", 99, rvo::Verdict::Fail},
        {"", 0, 5, 4, "<=", 99, rvo::Verdict::Fail},
        {"", 0, 5, 0, "", 99, rvo::Verdict::Done},
        {"<=", 0, NAN, 1, "<=", 99, rvo::Verdict::Fail},
        {"<>", 0, 1, 0, "", 99, rvo::Verdict::Pass},
        {"=<", 1, 1, 0, nullptr, 99, rvo::Verdict::Pass},
        {"??", 1, 1, 2, "<=", 99, rvo::Verdict::Error},
        {"<=", 1, 5, 2, "<=", -2, rvo::Verdict::Error}, // the step's own verdict wins
        {"<=", 1, 5, 2, "<=", 0, rvo::Verdict::Done},
    };
    void* data = nullptr;
    rvo_EnterSTEPMethod(1, "S", 0x100, 0, "", "M", 8, &data);
    for (const auto& c : cases) {
        long answer = rvo_VerifyR(0, "S", 0x100, 5, c.low, c.lowOp, c.value, c.highOp, c.high,
                                  c.verdictArg, 0.0, nullptr, nullptr);
        auto r = lastResult();
        EXPECT_EQ(r.verdict, c.verdict) << c.lowOp << " " << c.value;
        bool failed = c.verdict == rvo::Verdict::Fail || c.verdict == rvo::Verdict::Error;
        EXPECT_EQ(answer, failed ? -1 : 0);
        EXPECT_EQ(r.stepRef, 1);
    }
    rvo_VerifyI(2, "Sub", 0x100, 2, 3, "<=", 3, "<", 4, 99, 0.0, "ch", "cm");
    auto r = lastResult();
    EXPECT_EQ(r.verdict, rvo::Verdict::Pass);
    EXPECT_EQ(r.resultNo, 2);
    EXPECT_EQ(r.name, "Sub");
    rvo_ExitSTEP();
    EXPECT_EQ(rvo().step(1)->results.size(), std::size(cases) + 1);
}

TEST_F(Runtime, SubResultsAreDeleted) {
    void* data = nullptr;
    rvo_EnterSTEPMethod(1, "S", 0x100, 0, "", "M", 8, &data);
    RVO_COMPONENT c = rvo_GetCurrentComponent();
    rvo_VerifyI(1, "a", 0, 0, 0, "", 1, "", 0, 99, 0, nullptr, nullptr);
    rvo_VerifyI(0, "S", 0, 0, 0, "", 2, "", 0, 99, 0, nullptr, nullptr);
    rvo_VerifyI(2, "b", 0, 0, 0, "", 3, "", 0, 99, 0, nullptr, nullptr);
    rvo_ExitSTEP();
    rvo_EnterSTEPMethod(2, "T", 0x100, 0, "", "M", 8, &data);
    rvo_VerifyI(1, "other", 0, 0, 0, "", 4, "", 0, 99, 0, nullptr, nullptr);
    rvo_ExitSTEP();
    EXPECT_EQ(rvo_DeleteSubResults(c), 2);
    auto r = results();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].valueInt, 2);
    EXPECT_EQ(r[1].name, "other"); // another step's sub-results stay
    EXPECT_EQ(rvo().step(1)->results.size(), 1u);
}

TEST_F(Runtime, RecordIsZeroFilledOnceAndKept) {
    void* first = nullptr;
    rvo_EnterSTEPMethod(9, "S", 0, 0, "", "M", 64, &first);
    ASSERT_NE(first, nullptr);
    auto* bytes = static_cast<unsigned char*>(first);
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(bytes[i], 0);
    }
    std::memset(first, 0xAB, 64);
    rvo_ExitSTEP();
    void* again = nullptr;
    rvo_EnterSTEPMethod(9, "S", 0, 0, "", "M", 64, &again);
    EXPECT_EQ(again, first);
    EXPECT_EQ(static_cast<unsigned char*>(again)[63], 0xAB);
    rvo_ExitSTEP();
    void* other = nullptr;
    rvo_EnterSTEPMethod(10, "S", 0, 0, "", "M", 64, &other);
    EXPECT_NE(other, first);
    rvo_ExitSTEP();
}

TEST_F(Runtime, NestedStepsRecordUnderTheInnerStep) {
    void* data = nullptr;
    rvo_EnterSTEPMethod(1, "Outer", 0, 0, "", "EXEC", 8, &data);
    rvo_EnterSTEPMethod(2, "R1", 0, 0, "", "RES", 8, &data);
    rvo_VerifyR(0, "R1", 0, 13, 0, "", 100, "", 0, 99, 0, nullptr, nullptr);
    rvo_SetSTEPResult(-1);
    rvo_ExitSTEP();
    rvo_VerifyI(0, "Outer", 0, 2, 0, "", 1, "", 0, 99, 0, nullptr, nullptr);
    rvo_ExitSTEP();
    auto r = results();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].stepRef, 2);
    EXPECT_EQ(r[1].stepRef, 1);
    EXPECT_EQ(rvo().step(2)->stepResult, -1);
    EXPECT_EQ(rvo().step(1)->stepResult, 0);
}

TEST_F(Runtime, AttributesBoundToRecordAddresses) {
    struct Rec {
        int32_t count;
        double level;
        char mode[8];
    };
    void* data = nullptr;
    rvo_EnterSTEPMethod(4, "S", 0, 0, "", "M", sizeof(Rec), &data);
    auto* rec = static_cast<Rec*>(data);
    RVO_COMPONENT c = rvo_GetCurrentComponent();
    std::strcpy(rec->mode, "NO");
    rvo_DefineAttrI("Count", "M", &rec->count, 0, nullptr);
    rvo_DefineAttrR("Level", "SETTINGS", &rec->level, 5, "HOLM");
    rvo_DefineAttrSList("DATA", "M", rec->mode, sizeof rec->mode, "NO,YES", nullptr);
    rvo_DefineAttrI("Count", "M", &rec->count, 0, nullptr); // redefinition replaces
    EXPECT_EQ(rvo().attributes(4).size(), 3u);
    EXPECT_EQ(rvo_UpdateAttrR(c, &rec->level), 0);
    double unknown = 0;
    EXPECT_EQ(rvo_UpdateAttrR(c, &unknown), -1);
    // The operator edits; the values land in the record.
    EXPECT_TRUE(rvo().editAttribute(4, "Count", "17"));
    EXPECT_TRUE(rvo().editAttribute(4, "Level", "2.5"));
    EXPECT_TRUE(rvo().editAttribute(4, "DATA", "YESSIR-TOO-LONG"));
    EXPECT_FALSE(rvo().editAttribute(4, "Nope", "1"));
    EXPECT_EQ(rec->count, 17);
    EXPECT_EQ(rec->level, 2.5);
    EXPECT_STREQ(rec->mode, "YESSIR-"); // cut to the field
    char back[8] = {};
    EXPECT_EQ(rvo_ReadAttrSList(c, rec->mode, sizeof rec->mode), 0);
    (void)back;
    EXPECT_EQ(rvo_SetAttrEnabled(c, &rec->level, 0), 0);
    const auto* level = rvo().attribute(4, "Level");
    EXPECT_FALSE(level->enabled);
    EXPECT_EQ(level->category, "HOLM");
    EXPECT_EQ(level->unitOrOption, 5);
    EXPECT_EQ(level->updates, 1);
    rvo_ExitSTEP();
}

// Attributes share one copy of a list text only while the text is the same: a list changed in
// the caller's buffer reaches the next definition, and what was defined before keeps its text.
TEST_F(Runtime, SelectionListsAreSharedWhileTheTextIsTheSame) {
    char list[32] = "-,P1,P2,P3";
    char method[] = "AUTO,2W,4W";
    char pin[8] = "P1";
    rvo_EnterSTEPMethod(6, "S", 0, 0, "", "M", 0, nullptr);
    struct Case {
        const char* name;
        const char* list;
    } cases[] = {
        {"TP1", list}, {"METHOD", method}, {"TP2", list}, {"GP1", list}, {"EMPTY", ""},
    };
    for (const auto& c : cases) {
        rvo_DefineAttrSList(c.name, "PINS", pin, sizeof pin, c.list, nullptr);
    }
    std::strcpy(list, "-,P1,P2"); // shorter: a prefix of what was shared
    rvo_DefineAttrSList("TP3", "PINS", pin, sizeof pin, list, nullptr);
    std::strcpy(list, "-,P1,P2,P4"); // the same length, another text
    rvo_DefineAttrSList("TP4", "PINS", pin, sizeof pin, list, nullptr);
    rvo_ExitSTEP();

    const auto* tp1 = rvo().attribute(6, "TP1");
    const auto* tp2 = rvo().attribute(6, "TP2");
    const auto* gp1 = rvo().attribute(6, "GP1");
    ASSERT_TRUE(tp1 && tp2 && gp1);
    EXPECT_TRUE(tp1->list.sharesWith(tp2->list));
    EXPECT_TRUE(tp1->list.sharesWith(gp1->list));
    EXPECT_EQ(tp1->list, "-,P1,P2,P3");
    EXPECT_EQ(rvo().attribute(6, "METHOD")->list, method);
    EXPECT_EQ(rvo().attribute(6, "EMPTY")->list, "");
    EXPECT_EQ(rvo().attribute(6, "TP3")->list, "-,P1,P2");
    EXPECT_EQ(rvo().attribute(6, "TP4")->list, "-,P1,P2,P4");
}

// Each step keeps its own attribute callback through registrations and removals of others.
TEST_F(Runtime, AttributeCallbacksStayWithTheirSteps) {
    const RVO_CALLBACK answer = [](long, void* context, long) {
        return *static_cast<long*>(context);
    };
    auto registerIn = [&](long stepRef, long value) {
        rvo_EnterSTEPMethod(stepRef, "S", 0, 0, "", "M", 0, nullptr);
        rvo_RegisterCallback(RVO_CALLBACK_ATTRIBUTE, 0, answer, sizeof value, &value);
        rvo_ExitSTEP();
    };
    long save = 99;
    rvo_RegisterCallback(RVO_CALLBACK_SAVE, 0, answer, sizeof save, &save);
    registerIn(1, 10);
    registerIn(2, 20);
    registerIn(3, 30);
    registerIn(2, 21); // a step registers again: its callback is replaced
    EXPECT_EQ(rvo_UnRegisterCallback(RVO_CALLBACK_SAVE), 0); // the others move up
    registerIn(4, 40);
    struct Case {
        long stepRef, expected;
    } cases[] = {{1, 10}, {2, 21}, {3, 30}, {4, 40}, {5, -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(rvo().invokeAttributeCallback(c.stepRef, 0), c.expected) << c.stepRef;
    }
    EXPECT_EQ(rvo().callbacks().size(), 4u);
    EXPECT_EQ(rvo_UnRegisterCallback(RVO_CALLBACK_ATTRIBUTE), 0);
    EXPECT_EQ(rvo().invokeAttributeCallback(3, 0), -1);
}

TEST_F(Runtime, AlertAnswersScriptThenPolicy) {
    rvo().scriptAlertAnswers({-5});
    EXPECT_EQ(rvo_Alert(nullptr, "first", 0x30), -5);
    EXPECT_EQ(rvo_Alert("T", "second", 12), 0); // no script, no policy
    rvo().setAlertPolicy([](const rvo::Alert& a) { return a.flags == 12 ? 11L : -2L; });
    EXPECT_EQ(rvo_Alert("SAVE", "q", 12), 11);
    EXPECT_EQ(rvo_Alert(nullptr, "e", 0x30), -2);
    auto a = alerts();
    ASSERT_EQ(a.size(), 4u);
    EXPECT_EQ(a[0].answer, -5);
    EXPECT_EQ(a[1].title, "T");
    EXPECT_EQ(a[2].answer, 11);
}

// A progress window reaches the operator through the alert policy, as no alert: it takes no
// scripted answer and is not recorded. The policy's stop closes it, as does a panel's terminate.
TEST_F(Runtime, ProgressWindowGoesThroughTheAlertPolicy) {
    std::vector<rvo::Alert> seen;
    std::vector<rvo::ProgressWindow> shown;
    rvo().scriptAlertAnswers({11});
    rvo().setAlertPolicy([&](const rvo::Alert& a) {
        seen.push_back(a);
        shown.push_back(rvo().progressWindow());
        return a.flags == rvo::kAlertProgress && shown.back().position == 2 ? -5L : 0L;
    });
    rvo_ProgressOpen("TITLE", "text", 120);
    EXPECT_EQ(rvo_ProgressStep(1, "hit 1\n"), 0);
    EXPECT_EQ(rvo_ProgressIsOpen(), 1);
    EXPECT_EQ(rvo_ProgressStep(2, "hit 1\nhit 2\n"), -1); // the operator's terminate
    EXPECT_EQ(rvo_ProgressIsOpen(), 0);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].title, "TITLE");
    EXPECT_EQ(seen[0].text, "text");
    EXPECT_EQ(shown[0].steps, 120);
    EXPECT_EQ(shown[2].detail, "hit 1\nhit 2\n");
    const rvo::ProgressWindow w = rvo().progressWindow();
    EXPECT_TRUE(w.terminated);
    EXPECT_EQ(w.detail, "hit 1\nhit 2\n");
    EXPECT_TRUE(alerts().empty());
    EXPECT_EQ(rvo_Alert("SAVE", "q", 12), 11); // the scripted answer is still there

    rvo_ProgressOpen("AGAIN", "", 10);
    rvo().terminateProgress();
    EXPECT_EQ(rvo_ProgressIsOpen(), 0);
    rvo_ProgressOpen("LAST", "", 10);
    rvo_ProgressClose();
    EXPECT_FALSE(rvo().progressWindow().terminated);
}

TEST_F(Runtime, EnvironmentExpansion) {
    setenv("KORA_TEST_DIR", "/data/st", 1);
    rvo().setSetting("PROGRAM_DIR", "/prog");
    struct Case {
        const char* text;
        const char* expanded;
        long size;
        long result;
    } cases[] = {
        {"%KORA_TEST_DIR%/a.ini", "/data/st/a.ini", 256, 14},
        {"${PROGRAM_DIR}/b", "/prog/b", 256, 7},
        {"${UNKNOWN_KORA_X}/c", "${UNKNOWN_KORA_X}/c", 256, 19},
        {"100%", "100%", 256, 4},
        {"%KORA_TEST_DIR%", "/dat", 5, -1}, // cut to the buffer
        {nullptr, "", 16, 0},
    };
    for (const auto& c : cases) {
        char out[256];
        EXPECT_EQ(rvo_ExpandEnvironmentVariable(c.text, out, c.size), c.result);
        EXPECT_STREQ(out, c.expanded);
    }
}

TEST_F(Runtime, StationUutAndSystemParameters) {
    rvo().setStation(7, 2);
    rvo().setUut(2, 55, "SN-0042");
    RVO_STATION st = rvo_StationCurrent();
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(rvo_StationID(st), 7);
    EXPECT_EQ(rvo_StationGetItemIndex(st), 2);
    RVO_NEST nest = rvo_StationNest(st, 2);
    EXPECT_EQ(rvo_StationNestGetUUTID(nest), 55);
    RVO_UUT uut = rvo_UUTForID(55);
    ASSERT_NE(uut, nullptr);
    EXPECT_STREQ(rvo_UUTIdent(uut), "SN-0042");
    EXPECT_EQ(rvo_UUTSetPanelIndex(uut, 3), 0);
    EXPECT_EQ(rvo().uut(55)->panelIndex, 3);
    EXPECT_EQ(rvo_UUTForID(56), nullptr);

    EXPECT_EQ(rvo_SysParaGet("SYS", "VCC"), nullptr);
    rvo::SysPara p;
    p.section = "SYS";
    p.name = "VCC";
    p.realValue = 5.0;
    p.unit = 5;
    rvo().setSysPara(p);
    RVO_SYSPARA h = rvo_SysParaGet("SYS", "VCC");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(rvo_SysParaGetValueReal(h), 5.0);
    EXPECT_EQ(rvo_SysParaGetComment(h), nullptr);
    rvo_SysParaSetValueReal(h, 3.3);
    rvo_SysParaSetComment(h, "rail");
    rvo_SysParaFree(h);
    EXPECT_EQ(rvo().sysPara("SYS", "VCC")->realValue, 3.3);
    EXPECT_EQ(rvo().sysPara("SYS", "VCC")->comment, "rail");
}

long gCallbackReason = 0;
long SaveCallback(long reason, void* context, long size) {
    gCallbackReason = reason;
    return size == sizeof(long) ? *static_cast<long*>(context) : -1;
}

TEST_F(Runtime, CallbacksKeepTheirContext) {
    long context = 42;
    EXPECT_EQ(rvo_RegisterCallback(RVO_CALLBACK_SAVE, 0, SaveCallback, sizeof context, &context),
              0);
    EXPECT_EQ(rvo_RegisterCallback(RVO_CALLBACK_SAVE, 0, SaveCallback, 0, nullptr), -1);
    context = 0; // the executive copied it
    EXPECT_EQ(rvo().invokeCallback(RVO_CALLBACK_SAVE, 0x80000000L), 42);
    EXPECT_EQ(gCallbackReason, 0x80000000L);
    EXPECT_EQ(rvo_UnRegisterCallback(RVO_CALLBACK_SAVE), 0);
    EXPECT_EQ(rvo().invokeCallback(RVO_CALLBACK_SAVE, 1), -1);
}

TEST_F(Runtime, ClockCanBeReplaced) {
    double t = 10.0;
    rvo().setClock([&] { return t; });
    EXPECT_EQ(rvo_TSTAMP(), 10.0);
    t = 12.5;
    EXPECT_EQ(rvo_TSTAMP(), 12.5);
    rvo().setClock(nullptr);
    double a = rvo_TSTAMP(), b = rvo_TSTAMP();
    EXPECT_LE(a, b);
}

} // namespace
} // namespace kora
