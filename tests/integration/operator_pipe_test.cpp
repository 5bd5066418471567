// The operator of a run started by the panel: questions wait for an answer the executive offers,
// requests arrive while a step runs, and without the panel the run goes on.
#include "operator_pipe.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <thread>

namespace kora::run {
namespace {

std::string ReadLine(int fd) {
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n') {
        line.push_back(c);
    }
    return line;
}

void Send(int fd, const std::string& text) {
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

TEST(PipeOperator, WaitsForAnOfferedAnswerAndGoesOnWithoutThePanel) {
    auto& rt = rvo::Runtime::instance();
    rt.reset();
    int events[2], requests[2];
    ASSERT_EQ(::pipe(events), 0);
    ASSERT_EQ(::pipe(requests), 0);
    {
        PipeOperator op(events[1], requests[0]);
        std::string dialog;
        std::thread panel([&] {
            dialog = ReadLine(events[0]);
            // An answer the question does not offer is no answer.
            Send(requests[1], "answer 1 5\nanswer 1 11\n");
        });
        EXPECT_EQ(op.Answer({"SAVE ICTX PARAMETERS", "Save?", RVO_ALERT_SAVE_QUESTION, 0}),
                  RVO_ANSWER_SAVE);
        panel.join();
        EXPECT_EQ(dialog.rfind("dialog {\"id\":1,", 0), 0u) << dialog;
        EXPECT_NE(dialog.find("{\"label\":\"Save\",\"answer\":11}"), std::string::npos) << dialog;
        EXPECT_EQ(ReadLine(events[0]), "answered {\"id\":1,\"answer\":11}");

        // Requests are taken in order while the step waits on its next question.
        rt.openProgress("PIN LOCATION", "", 120);
        EXPECT_FALSE(op.StopRequested());
        Send(requests[1], "close-progress\nstop\nanswer 2 -5\n");
        EXPECT_EQ(op.Answer({"", "ERROR# 1", RVO_ALERT_ERROR, 0}), RVO_ANSWER_STOP);
        EXPECT_TRUE(op.StopRequested());
        EXPECT_FALSE(rt.progressOpen());

        ::close(requests[1]); // the panel is gone
        EXPECT_EQ(op.Answer({"", "ERROR# 2", RVO_ALERT_ERROR, 0}), 0);
    }
    for (int fd : {events[0], events[1], requests[0]}) {
        ::close(fd);
    }
    rt.reset();
}

} // namespace
} // namespace kora::run
