#include "operator.h"

namespace kora::run {

const std::vector<AlertButton>& AlertButtons(long flags) {
    // An error report may be ignored (the ICT component tests then clear the error) or end the
    // run; the save question of the clean-up saves only on its own answer.
    static const std::vector<AlertButton> kError = {
        {"Continue", 0}, {"Ignore", 11}, {"Stop", RVO_ANSWER_STOP}};
    static const std::vector<AlertButton> kSave = {{"Save", RVO_ANSWER_SAVE}, {"Do not save", 0}};
    static const std::vector<AlertButton> kNotice = {{"OK", 0}};
    switch (flags) {
    case RVO_ALERT_ERROR:
        return kError;
    case RVO_ALERT_SAVE_QUESTION:
        return kSave;
    default:
        return kNotice;
    }
}

} // namespace kora::run
