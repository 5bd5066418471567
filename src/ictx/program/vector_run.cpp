#include "ictx/program/vector_run.h"

#include "frame/text.h"
#include "ictx/program/value_definition.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace kora {

namespace {

constexpr const char* kNameFormat = "[%03li]  %s";
constexpr const char* kPartName = "[%03li]--PART--";
constexpr const char* kExitText = "[EXIT %c] \"%s\"";
constexpr const char* kGotoExit = "EXIT";
constexpr const char* kStateMismatch = "STATE COUNT MISMATCH (%li/%li)";
constexpr const char* kInsertText = "[ %s ]";
constexpr const char* kInsertComment = "PART %li [%li...%li]";
constexpr const char* kDebugInput = "[%03li] DI '%.*s'=%c";
constexpr const char* kDebugCurrents = ", IH/L: %+6.2lf / %+6.2lf mA";
constexpr const char* kDebugOutput = "[%03li] '%.*s'=%.2lf V";
constexpr const char* kDebugControl = "[%03li] DC '%.*s'=%c (%.2lf V)";
constexpr const char* kDebugTerm = "[%03li] TERM=%li,%li";
constexpr const char* kLimitLow = ", ILIM_L";
constexpr const char* kLimitHigh = ", ILIM_H";
constexpr const char* kLimitControl = ", ILIM_C";

// Descriptions of the sub-results.
constexpr const char* kDescDriveLevels = "VI H/L";
constexpr const char* kDescOutputLevels = "VO H/L";
constexpr const char* kDescControlLevels = "VC H/L";
constexpr const char* kDescLimits = "CL H/L/C";
constexpr const char* kDescTerm = "TERM H/L";
constexpr const char* kDescTimeout = "TIMEOUT";
constexpr const char* kDescDelay = "DO MEAS DELAY";
constexpr const char* kDescInRange = "VMEAS IN RANGE";
constexpr const char* kDescOutOfRange = "VMEAS OUT OF RANGE";
constexpr const char* kDescLine = "LINE#";

constexpr long kUnitVolt = 5;
constexpr long kUnitSecond = 16;
constexpr double kMilli = 1000.0;

const char* Str(const char* s) {
    return s ? s : "";
}

struct Run {
    VectorItem* items;
    int32_t count;
    DigitalIo& io;
    VectorReport& report;
    VectorState& s;
    char name[48] = {};
    char text[256] = {};
    char comment[128] = {};
    char exitText[256] = {};

    void Name(const char* what) {
        FormatText(name, sizeof name, kNameFormat, static_cast<long>(s.item), what);
    }
    void Debug(const char* line) {
        if (s.details) {
            report.Debug(line);
        }
    }

    // Jumps by the item's offset; true when the program ends at a ">" or ">>" label.
    bool Jump(const VectorItem& item, int32_t* index) {
        if (item.offset == 0) {
            if (item.jumpMode) {
                s.exitMode = item.jumpMode;
                return true;
            }
            return false; // an unlinked jump of count 0 goes nowhere
        }
        *index += item.offset;
        return false;
    }
    // Reads the pins of a DO or STAT item into value and mask bits (first pin most significant).
    bool ReadPins(const VectorItem& item, uint32_t* value, uint32_t* mask) {
        *value = 0;
        *mask = 0;
        const uint32_t n = item.pinCount;
        for (uint32_t k = 0; k < n; ++k) {
            const PinRef& p = item.pin[k];
            const uint32_t bit = 1u << (n - 1 - k);
            if (!p.channel) {
                if (p.forced == 1) {
                    *value |= bit;
                }
                continue;
            }
            double volts = NAN;
            if (!io.ReadPin(*p.channel, &volts)) {
                return false;
            }
            DecodeOutput(volts, s.voh, s.vol, bit, value, mask);
            if (s.details) {
                bool flags[3] = {};
                if (!io.LimitFlags(flags)) {
                    return false;
                }
                char line[160];
                FormatText(line, sizeof line, kDebugOutput, static_cast<long>(s.item),
                           static_cast<int>(p.nameLength), p.name, volts);
                AppendText(line, sizeof line, flags[0] ? kLimitLow : "");
                AppendText(line, sizeof line, flags[1] ? kLimitHigh : "");
                report.Debug(line);
            }
        }
        return true;
    }

    // The text of value and mask bits in the item's format; in state letters when the format
    // cannot show them.
    void StateText(const VectorItem& item, uint32_t value, uint32_t mask, uint32_t states,
                   char* out, std::size_t size) {
        if (!FormatValueDefinition(value, mask, item.format == 's' ? states : item.digits,
                                   item.format, out, size)) {
            FormatValueDefinition(value, mask, states, 's', out, size);
        }
    }

    bool Input(const VectorItem& item) {
        const uint32_t n = item.pinCount;
        for (uint32_t k = 0; k < n; ++k) {
            const PinRef& p = item.pin[k];
            const uint32_t bit = 1u << (n - 1 - k);
            if (!p.channel) {
                continue; // a placeholder keeps its forced state
            }
            const bool masked = (item.mask & bit) != 0;
            const bool high = (item.value & bit) != 0;
            if (masked && high) {
                continue; // don't care: left as it is
            }
            const int state = masked ? -1 : high ? 1 : 0;
            if (!io.DrivePin(*p.channel, state)) {
                return false;
            }
            if (s.details) {
                double ih = 0, il = 0;
                if (!io.DriveCurrents(&ih, &il)) {
                    return false;
                }
                char line[160];
                FormatText(line, sizeof line, kDebugInput, static_cast<long>(s.item),
                           static_cast<int>(p.nameLength), p.name,
                           state < 0 ? 'Z'
                           : state   ? 'H'
                                     : 'L');
                char currents[64];
                FormatText(currents, sizeof currents, kDebugCurrents, ih * kMilli, il * kMilli);
                AppendText(line, sizeof line, currents);
                report.Debug(line);
            }
        }
        if (!io.Settle()) {
            return false;
        }
        Name("INPUT");
        report.Text(name, Str(item.raw), nullptr, false, nullptr);
        return true;
    }

    bool Output(const VectorItem& item) {
        uint32_t value = 0, mask = 0;
        if (!ReadPins(item, &value, &mask)) {
            return false;
        }
        const uint32_t care = ~item.mask & (item.pinCount >= 32 ? ~0u : (1u << item.pinCount) - 1);
        const bool passed = ((value ^ item.value) & care) == 0 && (mask & care) == 0;
        StateText(item, value, mask, item.pinCount, text, sizeof text);
        s.lastCheck = passed ? 1 : -1;
        s.failed = s.failed || !passed;
        Name("OUTPUT");
        report.Text(name, text, Str(item.raw), !passed, Str(item.comment));
        return true;
    }

    bool State(const VectorItem& item) {
        if (!ReadPins(item, &s.stateValue, &s.stateMask)) {
            return false;
        }
        s.stateCount = item.pinCount;
        FormatValueDefinition(s.stateValue, s.stateMask, s.stateCount, 's', text, sizeof text);
        Name("STAT");
        report.Text(name, text, nullptr, false, Str(item.pins));
        return true;
    }

    // ?STEQ / ?STNE; false when the program ends on a count mismatch.
    bool CompareState(const VectorItem& item, int32_t* index, bool* exit) {
        if (s.stateCount != item.stateCount) {
            FormatText(text, sizeof text, kStateMismatch, static_cast<long>(s.stateCount),
                       static_cast<long>(item.stateCount));
            s.failed = true;
            Name("?STAT");
            report.Text(name, text, nullptr, true, nullptr);
            *exit = true;
            return true;
        }
        char state[64], pattern[64];
        StateText(item, s.stateValue, s.stateMask, s.stateCount, state, sizeof state);
        StateText(item, item.value, item.mask, item.stateCount, pattern, sizeof pattern);
        const bool equal = StateMatches(state, pattern);
        const bool jump = item.type == kItemStateEq ? equal : !equal;
        if (jump) {
            *exit = Jump(item, index);
        }
        Name(item.type == kItemStateEq ? "?STEQ" : "?STNE");
        report.Text(name, ExitOr(state), pattern, false, Str(item.label));
        return true;
    }

    // ?FAIL / ?PASS: acts when the last check matches the item's kind.
    void CheckJump(VectorItem& item, int32_t* index, bool* exit) {
        const bool acts = item.type == kItemFail ? s.lastCheck == -1 : s.lastCheck == 1;
        long flag = 0;
        auto counter = static_cast<int32_t>(item.counter);
        if (acts) {
            if (item.count != 0) {
                --counter;
                item.counter = static_cast<uint32_t>(counter);
            }
            flag = counter >= 0 || item.count == 0 ? 1 : 0;
        }
        FormatText(comment, sizeof comment, "%li/%li", static_cast<long>(item.count),
                   static_cast<long>(counter));
        if (flag) {
            *exit = Jump(item, index);
        }
        Name(item.type == kItemFail ? "?FAIL" : "?PASS");
        report.Integer(name, flag, 0, static_cast<long>(item.count), false, ExitOr(comment));
    }

    void Repeat(VectorItem& item, int32_t* index, bool* exit) {
        auto counter = static_cast<int32_t>(item.counter);
        if (item.count > 0) {
            --counter;
        }
        const bool again = counter >= 0 || item.count == 0;
        FormatText(comment, sizeof comment, "%li/%li", static_cast<long>(item.count),
                   static_cast<long>(counter < 0 ? 0 : counter));
        item.counter = again ? static_cast<uint32_t>(counter) : item.count;
        if (again) {
            *exit = Jump(item, index);
        }
        Name("REPEAT");
        report.Integer(name, again ? 1 : 0, 0, static_cast<long>(item.count), false,
                       ExitOr(comment));
    }

    // The exit text after a jump that ended the program, else `other`.
    const char* ExitOr(const char* other) {
        if (!s.exitMode) {
            return other;
        }
        FormatText(exitText, sizeof exitText, kExitText, s.exitMode, Str(items[s.item - 1].label));
        return exitText;
    }

    bool Step(int32_t* index, bool* exit) {
        VectorItem& item = items[*index];
        switch (item.type) {
        case kItemVdi:
            if (!io.SetDriveLevels(item.level[0], item.level[1])) {
                return false;
            }
            Name("VDI");
            report.Text(name, Str(item.raw), nullptr, false, kDescDriveLevels);
            break;
        case kItemVdo:
            s.voh = item.level[0];
            s.vol = item.level[1];
            Name("VDO");
            report.Text(name, Str(item.raw), nullptr, false, kDescOutputLevels);
            break;
        case kItemVdc:
            s.vch = item.level[0];
            s.vcl = item.level[1];
            if (!io.SetControlLevels(item.level[0], item.level[1])) {
                return false;
            }
            Name("VDC");
            report.Text(name, Str(item.raw), nullptr, false, kDescControlLevels);
            break;
        case kItemIlim:
            if (!io.SetLimits(item.level[0], item.level[1], item.level[2])) {
                return false;
            }
            Name("ILIM");
            report.Text(name, Str(item.raw), nullptr, false, kDescLimits);
            break;
        case kItemDi:
            return Input(item);
        case kItemDo:
            return Output(item);
        case kItemStat:
            return State(item);
        case kItemDc: {
            const bool high = (item.value & 1u) != 0;
            double volts = 0;
            const PinRef* pin = item.pinCount ? &item.pin[0] : nullptr;
            if (!io.DriveControl(pin ? pin->channel : nullptr, high, &volts)) {
                return false;
            }
            if (s.details) {
                bool flags[3] = {};
                if (!io.LimitFlags(flags)) {
                    return false;
                }
                char line[160];
                FormatText(line, sizeof line, kDebugControl, static_cast<long>(s.item),
                           pin ? static_cast<int>(pin->nameLength) : 0, pin ? pin->name : "",
                           high ? 'H' : 'L', volts);
                AppendText(line, sizeof line, flags[2] ? kLimitControl : "");
                report.Debug(line);
            }
            Name("CTRL");
            report.Text(name, Str(item.raw), nullptr, false, Str(item.pins));
            break;
        }
        case kItemMd:
            if (!io.Delay(item.level[0])) {
                return false;
            }
            Name("MD");
            report.Real(name, item.level[0], 0, 0, kUnitSecond, false, kDescDelay);
            break;
        case kItemComment:
            Name("//");
            report.Text(name, Str(item.comment), nullptr, false, nullptr);
            break;
        case kItemLabel:
            if (item.value > 0) {
                Name(Str(item.label));
                report.Text(name, Str(item.label), nullptr, false, nullptr);
            }
            break;
        case kItemFail:
        case kItemPass:
            CheckJump(item, index, exit);
            break;
        case kItemStateEq:
        case kItemStateNe:
            return CompareState(item, index, exit);
        case kItemIlimJump: {
            bool flags[3] = {};
            if (!io.LimitFlags(flags)) {
                return false;
            }
            FormatText(text, sizeof text, "%i,%i,%i", flags[0] ? 1 : 0, flags[1] ? 1 : 0,
                       flags[2] ? 1 : 0);
            if (flags[0] || flags[1] || flags[2]) {
                *exit = Jump(item, index);
            }
            Name("?ILIM");
            report.Text(name, text, nullptr, false, ExitOr(Str(item.label)));
            break;
        }
        case kItemRepeat:
            Repeat(item, index, exit);
            break;
        case kItemGoto:
            *exit = Jump(item, index);
            Name("GOTO");
            report.Text(name, *exit ? kGotoExit : Str(item.label), nullptr, false, ExitOr(nullptr));
            break;
        case kItemGroup:
            Name("GROUP");
            report.Text(name, Str(item.pins), nullptr, false, Str(item.raw));
            break;
        case kItemDterm: {
            if (!io.Terminate(item.value, item.second)) {
                return false;
            }
            char line[64];
            FormatText(line, sizeof line, kDebugTerm, static_cast<long>(s.item),
                       static_cast<long>(item.value), static_cast<long>(item.second));
            Debug(line);
            Name("DTERM");
            report.Text(name, Str(item.raw), nullptr, false, kDescTerm);
            break;
        }
        case kItemTo:
            s.timeout = item.level[0];
            s.timeoutStart = io.Now();
            Name("TO");
            report.Real(name, item.level[0], 0, 0, kUnitSecond, false, kDescTimeout);
            break;
        case kItemToJump: {
            const double elapsed = io.Now() - s.timeoutStart;
            const bool over = elapsed > s.timeout;
            if (over) {
                s.failed = true;
                *exit = Jump(item, index);
            }
            Name("?TO");
            report.Real(name, elapsed, 0, s.timeout, kUnitSecond, over, ExitOr(kDescTimeout));
            break;
        }
        case kItemVmir:
        case kItemVmor: {
            double volts = NAN;
            if (item.pinCount >= 1 && item.pin[0].channel &&
                !io.ReadPin(*item.pin[0].channel, &volts)) {
                return false;
            }
            const bool inside = volts >= item.level[0] && volts <= item.level[1];
            const bool passed = item.type == kItemVmir ? inside : !inside;
            s.lastCheck = passed ? 1 : -1;
            s.failed = s.failed || !passed;
            Name(item.type == kItemVmir ? "VMIR" : "VMOR");
            report.Real(name, volts, item.level[0], item.level[1], kUnitVolt, !passed,
                        item.type == kItemVmir ? kDescInRange : kDescOutOfRange);
            break;
        }
        case kItemInsert: {
            FormatText(text, sizeof text, kInsertText, Str(item.label));
            FormatText(comment, sizeof comment, kInsertComment, static_cast<long>(item.value),
                       static_cast<long>(s.item + 1),
                       static_cast<long>(s.item + static_cast<int32_t>(item.second)));
            Name("INSERT");
            report.Text(name, text, nullptr, false, comment);
            break;
        }
        case kItemPart:
            FormatText(name, sizeof name, kPartName, static_cast<long>(s.item));
            FormatText(text, sizeof text, "%li", static_cast<long>(item.value));
            report.Text(name, text, nullptr, false, kDescLine);
            break;
        default:
            break;
        }
        return true;
    }
};

} // namespace

void DecodeOutput(double volts, double voh, double vol, uint32_t bit, uint32_t* value,
                  uint32_t* mask) {
    if (std::isnan(volts)) {
        *value |= bit;
        *mask |= bit;
    } else if (volts >= voh) {
        *value |= bit;
    } else if (volts > vol) {
        *mask |= bit;
    }
}

bool StateMatches(const char* state, const char* pattern) {
    const std::size_t n = std::strlen(pattern);
    if (std::strlen(state) != n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (pattern[i] != '-' && pattern[i] != state[i]) {
            return false;
        }
    }
    return true;
}

int RunVectors(VectorItem* items, int32_t count, DigitalIo& io, VectorReport& report,
               VectorState& state) {
    for (int32_t i = 0; i < count; ++i) {
        items[i].counter = items[i].count;
    }
    Run run{items, count, io, report, state};
    for (int32_t i = 0; i < count; ++i) {
        state.item = i + 1;
        const int32_t at = i;
        bool exit = false;
        if (!run.Step(&i, &exit)) {
            return -2;
        }
        if (exit) {
            break;
        }
        if (i != at) {
            --i; // jumped: the loop's advance must land on the target
        }
    }
    return state.failed ? -1 : 0;
}

} // namespace kora
