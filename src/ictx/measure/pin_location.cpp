// The pin location tool. The PSAM's DC source drives 0.5 V with a 10 mA limit onto both A lines
// with its LO on ground; every pin of a matrix module goes onto the A lines at once, and a needle
// that the operator's probe holds on system ground closes the loop, so the source limits. Then
// the module's pins are tried one by one to find which. The scans repeat, a second apart (two
// after a hit), until the operator closes the progress window or 120 scans in a row find nothing.
#include "ictx/measure/pin_location.h"

#include "exports/export.h"
#include "frame/bench_context.h"
#include "frame/errors.h"
#include "frame/step_frame.h"
#include "frame/text.h"
#include "ictx/measure/ict_hardware.h"
#include "ictx/measure/pin_test_support.h"

#include <kora/step_methods.h>
#include <rspsam.h>
#include <rvoapi.h>
#include <winapi.h>
#include <zqsm160.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>

namespace kora {

namespace {

constexpr const char* kCallbackName = "CALLBACK PINLOCATION";
constexpr const char* kInvalidTestIndex = "Invalid TEST INDEX selected";
constexpr const char* kNoMatrix = "No ICT MATRIX of Type SM160 defined";
constexpr const char* kNoPsam = "No DigitalMultimeter|ICTDevice of Type PSAM defined";
constexpr const char* kPsamType = "PSAM";
constexpr const char* kTitle = "PIN LOCATION:  BENCH[%li]  -  SM160 MODULES=%li";
constexpr const char* kText =
    "Please use PROBE against SYSTEM GROUND\t\t\t\t\t\n\nPins with CONTACT "
    "are listed below progress\n\n\nTERMINATE (%d SEC)";
constexpr const char* kHitFormat = "%-20s%s%s\n";
constexpr const char* kTablePinFormat = "%s.%s";
constexpr const char* kBarePinFormat = "%s.P%li";
constexpr const char* kBarePinLine = "%-20s\n";
constexpr const char* kFirstPinName = "P1";
constexpr const char* kCardLines[2][2] = {{"LABa1", "ABa1"}, {"LABa2", "ABa2"}};
constexpr const char* kPsamError = "PSAM: %s";
constexpr const char* kMatrixError = "SM160: %s";
// The marker line above the hits once older ones were dropped: one mark per ten dropped hits,
// every tenth of them a hundred.
constexpr const char* kDropHead = "<<";
constexpr char kDropTen = '.';
constexpr char kDropHundred = '|';

constexpr long kCallbackMode = 3;
constexpr ViAttr kMatrixInUse = 1150002;
constexpr ViAttr kSourceMode = 1150026;
constexpr ViInt32 kVoltageSource = 1;
constexpr int kIdleScans = 120;
constexpr int kResultLines = 32;
constexpr double kSourceVolts = 0.5;
constexpr double kCurrentLimit = 0.01;
constexpr ViInt32 kOffCoupling = 0;
constexpr ViInt32 kScanCoupling = 192; // A1 and B1
constexpr ViInt32 kAllLines = 255;
constexpr ViInt32 kQueryCurrentLimit = 1;
constexpr DWORD kIdleWaitMs = 1000;
constexpr DWORD kHitWaitMs = 2000;
struct TerminalMask {
    ViInt32 terminal, mask;
};
constexpr TerminalMask kTerminals[] = {{0, 0}, {1, 0x88}, {2, 0x88}, {3, 0x22}, {5, 0}, {8, 0}};
constexpr ViInt32 kGroundedTerminals[] = {8, 4};

// The data block the executive keeps with the callback.
struct PinLocationBlock {
    BusChannelIds bus;
    char result[2048];
    int32_t freeLines;
    int32_t scans;
    int32_t idleScans;
    int32_t hits;
    int32_t droppedHits;
    char reserved[1028];
};
static_assert(sizeof(PinLocationBlock) == 3128, "the executive keeps 3,128 bytes");

// The hits shown under the progress bar: the newest that fit, below the drop marker.
class HitList {
  public:
    explicit HitList(PinLocationBlock& b) : b_(b) {
        b_.result[0] = 0;
        b_.freeLines = kResultLines;
        b_.hits = b_.droppedHits = 0;
    }
    void Add(const char* line) {
        lines_.emplace_back(line);
        ++b_.hits;
        const std::size_t room =
            kResultLines - (b_.droppedHits > 0 || lines_.size() > kResultLines);
        while (lines_.size() > room) {
            lines_.pop_front();
            ++b_.droppedHits;
        }
        Render();
    }

  private:
    void Render() {
        std::string text;
        if (b_.droppedHits > 0) {
            text = kDropHead;
            for (int32_t tens = 1; tens <= b_.droppedHits / 10; ++tens) {
                text.push_back(tens % 10 == 0 ? kDropHundred : kDropTen);
            }
            text.push_back('\n');
        }
        for (const std::string& l : lines_) {
            text += l;
        }
        CopyText(b_.result, text);
        b_.freeLines = kResultLines - static_cast<int32_t>(lines_.size()) - (b_.droppedHits > 0);
    }

    PinLocationBlock& b_;
    std::deque<std::string> lines_;
};

// The PSAM of the tool: the bench's ICT PSAM, or else its first multimeter on the PSAM driver.
bool FindPsam(const BenchRecord& bench, ViSession& psam) {
    const IctModuleRecord& ict = bench.ictModules[kIctPsam];
    if (ict.inUse && std::strcmp(ict.type, kPsamType) == 0) {
        psam = static_cast<ViSession>(ict.handle);
        return true;
    }
    for (const DeviceRecord& dmm : bench.dmm) {
        if (dmm.inUse && dmm.driverKind == kDriverPsam) {
            psam = static_cast<ViSession>(dmm.handle);
            return true;
        }
    }
    return false;
}

class PinLocation {
  public:
    PinLocation(BenchRecord& bench, PinLocationBlock& block, ViSession psam)
        : bench_(bench), b_(block), psam_(psam), modules_(MatrixModuleCount(bench)), hits_(block) {}

    void Run(long benchIndex) {
        if (Prepare()) {
            char title[128], text[256];
            FormatText(title, sizeof title, kTitle, benchIndex, static_cast<long>(modules_));
            FormatText(text, sizeof text, kText, kIdleScans);
            rvo_ProgressOpen(title, text, kIdleScans);
            Scan();
            rvo_ProgressClose();
        }
        for (int32_t m = 0; m < modules_; ++m) {
            Matrix(ZQsm160_hscDisconnectAll(ModuleHandle(bench_, m)), m);
        }
    }

    // The first driver error, texted by its driver; false when none.
    bool Error(StepError& error) const {
        char message[VI_ERROR_MESSAGE_SIZE] = {};
        if (psamStatus_ != 0) {
            rspsam_error_message(psam_, psamStatus_, message);
            return !error.SetF(static_cast<uint32_t>(psamStatus_), kPsamError, message);
        }
        if (matrixStatus_ != 0) {
            ZQsm160_error_message(ModuleHandle(bench_, matrixModule_), matrixStatus_, message);
            return !error.SetF(static_cast<uint32_t>(matrixStatus_), kMatrixError, message);
        }
        return false;
    }

  private:
    bool Psam(ViStatus s) {
        if (s < 0 && psamStatus_ == 0) {
            psamStatus_ = s;
        }
        return psamStatus_ == 0;
    }
    bool Matrix(ViStatus s, int32_t module) {
        if (s < 0 && matrixStatus_ == 0) {
            matrixStatus_ = s;
            matrixModule_ = module;
        }
        return matrixStatus_ == 0;
    }
    bool Failed() const { return psamStatus_ != 0 || matrixStatus_ != 0; }

    bool Prepare() {
        for (int32_t m = 0; m < modules_ && !Failed(); ++m) {
            const ViSession h = ModuleHandle(bench_, m);
            Matrix(ZQsm160_SetAttributeViBoolean(h, "", kMatrixInUse, VI_FALSE), m) &&
                Matrix(ZQsm160_hscDisconnectAll(h), m);
        }
        bool ok = !Failed() && Psam(rspsam_ConfigureCoupling(psam_, kOffCoupling));
        for (const TerminalMask& t : kTerminals) {
            ok = ok && Psam(rspsam_cnx_Matrix(psam_, t.terminal, kAllLines, t.mask));
        }
        for (ViInt32 terminal : kGroundedTerminals) {
            ok = ok && Psam(rspsam_cnx_Gnd(psam_, terminal, VI_TRUE));
        }
        // A test before may have left the source forcing current; the tool needs a voltage.
        return ok && Psam(rspsam_SetAttributeViInt32(psam_, "", kSourceMode, kVoltageSource)) &&
               Psam(rspsam_dcs_ConfigureVoltageLevel(psam_, kSourceVolts)) &&
               Psam(rspsam_dcs_ConfigureCurrentLimitRange(psam_, 0)) &&
               Psam(rspsam_dcs_ConfigureCurrentLimit(psam_, kCurrentLimit)) &&
               Psam(rspsam_dcs_ConfigureOutputEnabled(psam_, VI_TRUE)) &&
               Psam(rspsam_ConfigureCoupling(psam_, kScanCoupling)) &&
               Matrix(ZQsm160_getChannelId(0, kFirstPinName, &firstPin_), 0);
    }

    bool Limiting(ViSession module, int32_t m, bool& limiting) {
        ViBoolean state = VI_FALSE;
        const bool ok = Matrix(ZQsm160_WaitForDebounce(module, kDebounceMs), m) &&
                        Psam(rspsam_dcs_QueryOutputState(psam_, kQueryCurrentLimit, &state));
        limiting = ok && state != VI_FALSE;
        return ok;
    }

    void ListPin(int32_t m, const ChannelRecord* pin, int32_t index) {
        const char* module = bench_.switchCards[m].name;
        char name[160], line[512];
        if (pin) {
            FormatText(name, sizeof name, kTablePinFormat, module, pin->pinName);
            FormatText(line, sizeof line, kHitFormat, name, pin->appName, pin->aliasText);
        } else {
            FormatText(name, sizeof name, kBarePinFormat, module, static_cast<long>(index) + 1);
            FormatText(line, sizeof line, kBarePinLine, name);
        }
        hits_.Add(line);
    }

    // One module: all its pins on the A lines; after a contact, each pin alone. True on a hit.
    bool ScanModule(int32_t m) {
        const ViSession h = ModuleHandle(bench_, m);
        PinMask all{};
        all.fill(~0u);
        bool limiting = false, hit = false;
        bool ok =
            Matrix(ZQsm160_Connect(h, kCardLines[0][0], kCardLines[0][1]), m) &&
            Matrix(ZQsm160_Connect(h, kCardLines[1][0], kCardLines[1][1]), m) &&
            Matrix(ZQsm160_quickConnectArray(h, all.data(), b_.bus[kLabA1], b_.bus[kLabA2]), m) &&
            Limiting(h, m, limiting);
        if (ok && limiting) {
            ok = Matrix(ZQsm160_quickConnectArray(h, all.data(), -1, -1), m);
            const ModulePins pins = PinsOfModule(bench_, m);
            for (int32_t p = 0; ok && p < kCardPins; ++p) {
                const ViInt32 id = firstPin_ + p;
                ok = Matrix(ZQsm160_quickConnectABCD(h, id, 0, ZQSM160_LINE_1, 0, 0, 0), m) &&
                     Limiting(h, m, limiting) &&
                     Matrix(ZQsm160_quickConnectABCD(h, id, 0, 0, 0, 0, 0), m);
                if (ok && limiting) {
                    ListPin(m, pins[static_cast<std::size_t>(p)], p);
                    hit = true;
                }
            }
        }
        // The card's own bus connections have no release of their own: open the whole card.
        Matrix(ZQsm160_hscDisconnectAll(h), m);
        return hit;
    }

    void Scan() {
        b_.scans = b_.idleScans = 0;
        while (!Failed() && b_.idleScans < kIdleScans) {
            bool hit = false;
            for (int32_t m = 0; m < modules_ && !Failed(); ++m) {
                hit = ScanModule(m) || hit;
            }
            ++b_.scans;
            b_.idleScans = hit ? 0 : b_.idleScans + 1;
            rvo_ProgressStep(b_.idleScans, b_.result);
            if (Failed() || !rvo_ProgressIsOpen()) {
                break;
            }
            Sleep(hit ? kHitWaitMs : kIdleWaitMs);
            if (!rvo_ProgressIsOpen()) {
                break;
            }
        }
    }

    BenchRecord& bench_;
    PinLocationBlock& b_;
    ViSession psam_;
    int32_t modules_;
    HitList hits_;
    ViInt32 firstPin_ = 0;
    ViStatus psamStatus_ = 0, matrixStatus_ = 0;
    int32_t matrixModule_ = 0;
};

long PinLocationCallback(long reason, void* context, long contextSize) {
    (void)reason;
    if (!context || contextSize < static_cast<long>(sizeof(PinLocationBlock))) {
        return -2;
    }
    auto& block = *static_cast<PinLocationBlock*>(context);
    RVO_STATION station = rvo_StationCurrent();
    const long index = station ? rvo_StationGetItemIndex(station) : 0;
    rvo_StationFree(station);
    BenchRecord* bench =
        index >= 1 && index < BenchCount() ? BenchByIndex(static_cast<int32_t>(index)) : nullptr;
    StepError error;
    ViSession psam = 0;
    if (!bench) {
        error.Set(kErrResource, kInvalidTestIndex);
    } else if (MatrixModuleCount(*bench) == 0) {
        error.Set(kErrResource, kNoMatrix);
    } else if (!FindPsam(*bench, psam)) {
        error.Set(kErrResource, kNoPsam);
    } else {
        PinLocation tool(*bench, block, psam);
        tool.Run(index);
        tool.Error(error);
        // The tool left the modules as no ICT step expects them: the next one sets them up.
        if (BenchRecord* active = ActiveBench()) {
            active->LastStepKind = kKindNone;
        }
        bench->LastStepKind = kKindNone;
    }
    if (error.failed()) {
        ReportStepError(0, kCallbackName, error.code, error.message);
        return -2;
    }
    return 0;
}

} // namespace

void RegisterPinLocationCallback() {
    PinLocationBlock block{};
    FetchBusChannelIds(block.bus);
    block.freeLines = kResultLines;
    const long size = static_cast<long>(sizeof block);
    if (rvo_RegisterCallback(RVO_CALLBACK_PINLOCATION, kCallbackMode, PinLocationCallback, size,
                             &block) != 0) {
        rvo_UnRegisterCallback(RVO_CALLBACK_PINLOCATION);
        rvo_RegisterCallback(RVO_CALLBACK_PINLOCATION, kCallbackMode, PinLocationCallback, size,
                             &block);
    }
}

} // namespace kora

using namespace kora;

// The tool runs as the station's callback; as a step of a program it has nothing to do.
KORA_EXPORT EN_NEV_RESULT PINTEST_ICT(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment) {
    (void)stepRef;
    (void)stepName;
    (void)lineCode;
    (void)stepArg;
    (void)comment;
    return -2;
}
