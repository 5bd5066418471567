// ZQsm160: the switch-matrix driver over the virtual bench's matrix card model (see
// vbench/modules/matrix_card.h for the card's relays and how they reach the analog bus).
//
// A card is opened by resource descriptor: the station must hold a device with it, unless the
// options hold "Simulate=1" (see OpenStationDevice). Its relays are modelled on the bench either
// way, so opening needs an active bench.
//
// What the numeric arguments mean here:
// - Channel ids: pins P1..P160 are 1..160, the card lines LABA1..LABD2 are 1001..1008
//   (ZQsm160_getChannelId).
// - quickConnect connects or opens the crosspoint between a pin and a card line (either order).
// - quickConnectABCD serves the tests that move one pin at a time between a stimulus, a return
//   and a parking place (contact, short, track, discharge, pin location); its groups name those
//   roles, not line pairs: group B's 1 is the stimulus line LABA1 (the DC source's force HI, the
//   discharge unit and the meter input of the discharge), its 2 the return line LABB2 (the meter
//   input of the contact and track tests, the DC source of the discharge); group A's 1 and 2 park
//   the pin on LABD1 or LABD2, which no instrument of those tests uses as a stimulus or a meter
//   input; groups C and D put the pin on their own line 1 or 2. 3 and 4 in any group close the
//   pin's relay to the card's ground reference; 0 leaves the group out. The pin ends on exactly
//   the lines selected (see docs/analog-bus.md).
// - quickConnectArray: bit p % 32 of word p / 32 selects pin P(p+1); each selected pin goes to the
//   card lines busChannel1 and busChannel2 (a negative id leaves that side out); with both
//   negative the selected pins are released.
// - Connect by names: a pin ("P7") with a card line ("LABA1"), or a card line with the analog bus
//   line of the same name ("ABA1"), which closes that line's coupling relay.
// - Attribute 1150002 (channel ""): the card's ICT mark; it switches no relay (a card line reaches
//   the analog bus while a pin sits on it, or after Connect of the line with its bus line).
// - DisconnectAll opens every relay and waits for them to settle; hscDisconnectAll does not wait.
//   Neither changes the ICT mark.
#include <zqsm160.h>

#include <vbench/bench/journal.h>
#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/matrix_card.h>

#include "driver_status.h"
#include "module_sessions.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

using kora::vbench::DriverCall;
using kora::vbench::FormatArgs;
using kora::vbench::Hex;
using kora::vbench::MatrixCard;
using kora::vbench::VirtualBench;

namespace {

constexpr const char* kInterface = "ZQsm160";

constexpr ViStatus kErrChannelName = -1074118654;  // 0xBFFA4002
constexpr ViStatus kErrChannelId = -1074118652;    // 0xBFFA4004
constexpr ViStatus kErrNoPath = -1074118651;       // 0xBFFA4005
constexpr ViStatus kErrLineSelector = -1074118650; // 0xBFFA4006
constexpr ViStatus kErrAttribute = -1074118649;    // 0xBFFA4007
constexpr ViStatus kErrDebounce = -1074118648;     // 0xBFFA4008

using kora::drivers::kErrNullPointer;
using kora::drivers::StatusText;

// The driver's own codes; the shared ones come with driver_status.h.
constexpr StatusText kStatusTexts[] = {
    {kErrChannelName, "Unknown channel name"},
    {kErrChannelId, "Invalid channel id"},
    {kErrNoPath, "No relay of the card connects these channels"},
    {kErrLineSelector, "Invalid line selector (0 to 4)"},
    {kErrAttribute, "Attribute not supported"},
    {kErrDebounce, "Relays did not settle within the maximum time"},
};

constexpr ViAttr kAttrIctMark = 1150002;

// Card line (0 LABA1 .. 7 LABD2) of quickConnectABCD's selector 1 and 2 in each group A..D.
constexpr int kRoleLine[4][2] = {{6, 7}, {0, 3}, {4, 5}, {6, 7}};
constexpr ViInt32 kFirstLineId = 1001;

kora::drivers::SessionTable g_sessions;

// The frame of every call on one card: journal entry, injected fault, session check; the body
// runs on the session's card and its status finishes the call.
template <typename Body>
ViStatus WithCard(const char* function, std::string arguments, ViSession vi, Body&& body) {
    return kora::drivers::WithSession(kInterface, function, std::move(arguments), g_sessions, vi,
                                      [&](DriverCall& call, const std::string& card) {
                                          return body(call, call.bench()->matrixCard(card));
                                      });
}

bool IsPinId(ViInt32 id) {
    return id >= 1 && id <= MatrixCard::kPins;
}

bool IsLineId(ViInt32 id) {
    return id >= kFirstLineId && id < kFirstLineId + MatrixCard::kLines;
}

std::string Upper(const char* text) {
    std::string out = text ? text : "";
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

// "LABA1".."LABD2" (card line) or "ABA1".."ABD2" (analog bus line): the line index, else -1.
int LineOf(const std::string& upper, bool card) {
    const std::string body = card ? (upper.rfind("LAB", 0) == 0 ? upper.substr(1) : "")
                                  : (upper.rfind("AB", 0) == 0 ? upper : "");
    if (body.size() != 4 || body[2] < 'A' || body[2] > 'D' || (body[3] != '1' && body[3] != '2')) {
        return -1;
    }
    return (body[2] - 'A') * 2 + (body[3] - '1');
}

int PinOf(const char* name) {
    ViInt32 id = 0;
    if (ZQsm160_getChannelId(0, name, &id) == VI_SUCCESS && IsPinId(id)) {
        return id;
    }
    return 0;
}

// Opens, or with `wait` also lets settle, every relay of the card.
ViStatus DisconnectAll(const char* function, ViSession vi, bool wait) {
    return WithCard(
        function, FormatArgs(vi), vi, [&](DriverCall& call, MatrixCard& card) -> ViStatus {
            card.openAll();
            if (wait) {
                const auto* station = call.bench()->station();
                call.bench()->clock().waitSeconds(station ? station->debounceTime
                                                          : kora::vbench::Station{}.debounceTime);
            }
            return VI_SUCCESS;
        });
}

} // namespace

extern "C" {

ViStatus ZQsm160_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                 ViConstString optionString, ViSession* vi) {
    // The card's relays live on the bench, also for a simulated card.
    return kora::drivers::OpenSession(kInterface, __func__,
                                      FormatArgs(resourceName, idQuery, reset, optionString, vi),
                                      g_sessions, resourceName, optionString, reset, vi,
                                      [](DriverCall& call, const std::string& card) {
                                          MatrixCard& c = call.bench()->matrixCard(card);
                                          c.openAll();
                                          c.setIctMark(false);
                                      });
}

ViStatus ZQsm160_close(ViSession vi) {
    return kora::drivers::CloseSession(kInterface, __func__, g_sessions, vi);
}

ViStatus ZQsm160_error_message(ViSession vi, ViStatus status,
                               ViChar message[VI_ERROR_MESSAGE_SIZE]) {
    DriverCall call(kInterface, __func__, FormatArgs(vi, Hex{static_cast<uint32_t>(status)}));
    return kora::drivers::ErrorMessage(call, kStatusTexts, status, message);
}

ViStatus ZQsm160_SetAttributeViBoolean(ViSession vi, ViConstString channel, ViAttr attribute,
                                       ViBoolean value) {
    return WithCard(__func__, FormatArgs(vi, channel, attribute, value), vi,
                    [&](DriverCall& call, MatrixCard& card) -> ViStatus {
                        if (attribute != kAttrIctMark) {
                            return kErrAttribute;
                        }
                        if (channel && channel[0] != '\0') {
                            return kErrChannelName;
                        }
                        card.setIctMark(value != VI_FALSE);
                        return VI_SUCCESS;
                    });
}

ViStatus ZQsm160_Connect(ViSession vi, ViConstString channel1, ViConstString channel2) {
    return WithCard(__func__, FormatArgs(vi, channel1, channel2), vi,
                    [&](DriverCall& call, MatrixCard& card) -> ViStatus {
                        if (!channel1 || !channel2) {
                            return kErrNullPointer;
                        }
                        const std::string a = Upper(channel1), b = Upper(channel2);
                        const int pinA = PinOf(a.c_str()), pinB = PinOf(b.c_str());
                        const int cardA = LineOf(a, true), cardB = LineOf(b, true);
                        const int busA = LineOf(a, false), busB = LineOf(b, false);
                        if ((!pinA && cardA < 0 && busA < 0) || (!pinB && cardB < 0 && busB < 0)) {
                            return kErrChannelName;
                        }
                        if (pinA && cardB >= 0) {
                            card.setCrosspoint(pinA, cardB, true);
                        } else if (pinB && cardA >= 0) {
                            card.setCrosspoint(pinB, cardA, true);
                        } else if (cardA >= 0 && cardA == busB) {
                            card.setCoupling(cardA, true);
                        } else if (cardB >= 0 && cardB == busA) {
                            card.setCoupling(cardB, true);
                        } else {
                            return kErrNoPath;
                        }
                        return VI_SUCCESS;
                    });
}

ViStatus ZQsm160_quickConnect(ViSession vi, ViInt32 connect, ViInt32 channel1, ViInt32 channel2) {
    return WithCard(__func__, FormatArgs(vi, connect, channel1, channel2), vi,
                    [&](DriverCall& call, MatrixCard& card) -> ViStatus {
                        for (ViInt32 id : {channel1, channel2}) {
                            if (!IsPinId(id) && !IsLineId(id)) {
                                return kErrChannelId;
                            }
                        }
                        const ViInt32 pin = IsPinId(channel1) ? channel1 : channel2;
                        const ViInt32 line = IsLineId(channel1) ? channel1 : channel2;
                        if (!IsPinId(pin) || !IsLineId(line)) {
                            return kErrNoPath;
                        }
                        card.setCrosspoint(pin, line - kFirstLineId, connect != 0);
                        return VI_SUCCESS;
                    });
}

ViStatus ZQsm160_quickConnectABCD(ViSession vi, ViInt32 pinId, ViInt32 lineA, ViInt32 lineB,
                                  ViInt32 lineC, ViInt32 lineD, ViInt32 options) {
    return WithCard(__func__, FormatArgs(vi, pinId, lineA, lineB, lineC, lineD, options), vi,
                    [&](DriverCall& call, MatrixCard& card) -> ViStatus {
                        if (!IsPinId(pinId)) {
                            return kErrChannelId;
                        }
                        const ViInt32 selectors[4] = {lineA, lineB, lineC, lineD};
                        for (ViInt32 s : selectors) {
                            if (s < ZQSM160_LINE_NONE || s > ZQSM160_LINE_GROUND) {
                                return kErrLineSelector;
                            }
                        }
                        // Close the new relays before opening the old ones, so a pin moving between
                        // lines is never left floating for an instant that a board capacitor would
                        // notice.
                        bool wanted[MatrixCard::kLines] = {};
                        bool ground = false;
                        for (int group = 0; group < 4; ++group) {
                            const ViInt32 s = selectors[group];
                            if (s == ZQSM160_LINE_1 || s == ZQSM160_LINE_2) {
                                wanted[kRoleLine[group][s - ZQSM160_LINE_1]] = true;
                            } else if (s == ZQSM160_LINE_GROUND_REF || s == ZQSM160_LINE_GROUND) {
                                ground = true;
                            }
                        }
                        for (int line = 0; line < MatrixCard::kLines; ++line) {
                            if (wanted[line]) {
                                card.setCrosspoint(pinId, line, true);
                            }
                        }
                        if (ground) {
                            card.setPinGround(pinId, true);
                        }
                        for (int line = 0; line < MatrixCard::kLines; ++line) {
                            if (!wanted[line]) {
                                card.setCrosspoint(pinId, line, false);
                            }
                        }
                        if (!ground) {
                            card.setPinGround(pinId, false);
                        }
                        return VI_SUCCESS;
                    });
}

ViStatus ZQsm160_quickConnectArray(ViSession vi, const ViUInt32 pinMask[ZQSM160_MASK_WORDS],
                                   ViInt32 busChannel1, ViInt32 busChannel2) {
    std::string mask = "NULL";
    if (pinMask) {
        mask = "{";
        for (int w = 0; w < ZQSM160_MASK_WORDS; ++w) {
            mask += (w ? ", " : "") + FormatArgs(Hex{pinMask[w]});
        }
        mask += "}";
    }
    return WithCard(__func__,
                    FormatArgs(vi) + ", " + mask + ", " + FormatArgs(busChannel1, busChannel2), vi,
                    [&](DriverCall& call, MatrixCard& card) -> ViStatus {
                        if (!pinMask) {
                            return kErrNullPointer;
                        }
                        for (ViInt32 id : {busChannel1, busChannel2}) {
                            if (id >= 0 && !IsLineId(id)) {
                                return kErrChannelId;
                            }
                        }
                        const bool release = busChannel1 < 0 && busChannel2 < 0;
                        for (int p = 0; p < MatrixCard::kPins; ++p) {
                            if (!(pinMask[p / 32] & (1u << (p % 32)))) {
                                continue;
                            }
                            if (release) {
                                card.releasePin(p + 1);
                                continue;
                            }
                            for (ViInt32 id : {busChannel1, busChannel2}) {
                                if (id >= 0) {
                                    card.setCrosspoint(p + 1, id - kFirstLineId, true);
                                }
                            }
                        }
                        return VI_SUCCESS;
                    });
}

ViStatus ZQsm160_WaitForDebounce(ViSession vi, ViInt32 maxTimeMs) {
    return WithCard(__func__, FormatArgs(vi, maxTimeMs), vi,
                    [&](DriverCall& call, MatrixCard& card) -> ViStatus {
                        VirtualBench& bench = *call.bench();
                        const auto* station = bench.station();
                        const double debounce =
                            station ? station->debounceTime : kora::vbench::Station{}.debounceTime;
                        const int64_t settled =
                            card.lastSwitchNs() + static_cast<int64_t>(debounce * 1e9 + 0.5);
                        const int64_t remaining = settled - bench.clock().nowNs();
                        if (remaining <= 0) {
                            return VI_SUCCESS;
                        }
                        const int64_t allowed =
                            static_cast<int64_t>(std::max<ViInt32>(maxTimeMs, 0)) * 1000000;
                        if (remaining > allowed) {
                            bench.clock().wait(allowed);
                            return kErrDebounce;
                        }
                        bench.clock().wait(remaining);
                        return VI_SUCCESS;
                    });
}

ViStatus ZQsm160_DisconnectAll(ViSession vi) {
    return DisconnectAll(__func__, vi, true);
}

ViStatus ZQsm160_hscDisconnectAll(ViSession vi) {
    return DisconnectAll(__func__, vi, false);
}

} // extern "C"
