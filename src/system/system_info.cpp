// GETI_SYSTEM: integer system parameters, the station's identity, the fixture position, and the
// computer's drives and network echo.
#include "exports/export.h"
#include "system/system_step.h"

#include <kora/step_methods.h>
#include <rvoapi.h>
#include <winapi.h>

#include <cstdlib>
#include <cstring>

namespace kora {
namespace {

constexpr const char* kSources = "RVO,CPU";
constexpr const char* kStationItems = "STATION_ID,ITEM_INDEX,PANEL_ID,FIXTURE_POS";
constexpr const char* kComputerItems = "DRIVES,DRIVE_VOL,NW_ECHO";
constexpr const char* kParameterNotDefined = "PARAMETER not defined";
constexpr const char* kInvalidAttributeName = "INVALID ATTRIBUTE NAME => no execution";
constexpr const char* kDriveName = "Drive";
constexpr const char* kFreeSpaceName = "FreeSpace (GB)";
constexpr const char* kEchoUnavailable = "NW_ECHO: no ICMP echo on this host (LastError=%lu)";
constexpr long kMaskUnit = 0x19;
constexpr long kSecondsWord = 0x510;
constexpr int kFirstDriveResult = 100;
constexpr DWORD kEchoTimeoutMs = 1000;
constexpr DWORD kEchoReplySize = 512;
constexpr std::size_t kInfoSize = 257;

enum Item : int32_t {
    kItemNone,
    kItemParameter,
    kItemStationId,
    kItemItemIndex,
    kItemPanelId,
    kItemFixturePos,
    kItemDrives,
    kItemDriveVolume,
    kItemEcho,
};

struct GetIntRecord {
    StepHead head; // selector: Item
    int32_t compMask;
    int32_t compValue;
    int32_t echoStatus;
    double roundTripTime;
    uint8_t address[4]; // in network order
};

// Dotted decimal as the executive's own parser reads it: up to four parts, each read with atoi,
// then its digits and one separator skipped.
void ParseAddress(const char* text, uint8_t (&address)[4]) {
    const char* p = text;
    for (auto& part : address) {
        part = static_cast<uint8_t>(std::atoi(p));
        while (*p >= '0' && *p <= '9') {
            ++p;
        }
        if (*p != 0) {
            ++p;
        }
    }
}

struct Volume {
    char driveText[4];   // "C:\"
    char display[300];   // "name (C:\)" or "C:\"
    char freeSpace[32];  // "%1 GB"
    char fileSystem[64]; // type of the file system
};

// The mounted volumes whose root reads "X:/": on the target the roots come that way, here the
// operating-system layer hands out "X:\" roots of its drive map, which are read alike.
int ListVolumes(Volume* out, int capacity) {
    char roots[512];
    const DWORD length = GetLogicalDriveStringsA(sizeof roots, roots);
    if (length == 0 || length >= sizeof roots) {
        return 0;
    }
    int count = 0;
    for (const char* root = roots; *root && count < capacity; root += std::strlen(root) + 1) {
        char rootPath[8];
        CopyText(rootPath, root);
        for (char& c : rootPath) {
            c = c == '\\' ? '/' : c;
        }
        const bool letter = (rootPath[0] >= 'A' && rootPath[0] <= 'Z') ||
                            (rootPath[0] >= 'a' && rootPath[0] <= 'z');
        if (!letter || rootPath[1] != ':' || rootPath[2] != '/') {
            continue;
        }
        Volume& v = out[count];
        char name[256] = {};
        char type[64] = {};
        if (!GetVolumeInformationA(root, name, sizeof name, nullptr, nullptr, nullptr, type,
                                   sizeof type)) {
            continue; // not a valid volume
        }
        ULARGE_INTEGER available{};
        GetDiskFreeSpaceExA(root, &available, nullptr, nullptr);
        FormatText(v.driveText, sizeof v.driveText, "%c%c\\", rootPath[0], rootPath[1]);
        if (name[0]) {
            FormatText(v.display, sizeof v.display, "%s (%s)", name, v.driveText);
        } else {
            CopyText(v.display, v.driveText);
        }
        FormatText(v.freeSpace, sizeof v.freeSpace, "%llu GB",
                   static_cast<unsigned long long>(available.QuadPart >> 30));
        CopyText(v.fileSystem, type);
        ++count;
    }
    return count;
}

constexpr int kMaxVolumes = 26;

long ReportDrives(const StepCall& call) {
    Volume volumes[kMaxVolumes];
    const int n = ListVolumes(volumes, kMaxVolumes);
    for (int i = 0; i < n; ++i) {
        rvo_VerifyS(kFirstDriveResult + i, volumes[i].display, call.lineCode, 0,
                    volumes[i].freeSpace, "", "", 0, 0.0, volumes[i].fileSystem, call.comment);
    }
    return n;
}

long ReportDriveVolume(const StepCall& call, const char* driveText) {
    Volume volumes[kMaxVolumes];
    const int n = ListVolumes(volumes, kMaxVolumes);
    for (int i = 0; i < n; ++i) {
        if (std::strcmp(volumes[i].driveText, driveText) == 0) {
            rvo_VerifyS(1, kDriveName, call.lineCode, 0, volumes[i].display, "", "", 0, 0.0,
                        volumes[i].fileSystem, call.comment);
            rvo_VerifyS(2, kFreeSpaceName, call.lineCode, 0, volumes[i].freeSpace, "", "", 0, 0.0,
                        volumes[i].fileSystem, call.comment);
            return 1;
        }
    }
    return 0;
}

// One echo; the value as the step reports it. A failed echo leaves 0 and its status.
long Echo(GetIntRecord& r, long compValue) {
    r.echoStatus = -1;
    r.roundTripTime = 0.0;
    long value = 0;
    HANDLE icmp = IcmpCreateFile();
    if (icmp == INVALID_HANDLE_VALUE) {
        char line[128];
        FormatText(line, sizeof line, kEchoUnavailable, static_cast<unsigned long>(GetLastError()));
        rvo_GUIMessage(0, line);
    } else {
        const char* data = r.head.parts.suffix;
        const WORD size = static_cast<WORD>(std::strlen(data));
        alignas(ICMP_ECHO_REPLY) unsigned char reply[kEchoReplySize] = {};
        auto* echo = reinterpret_cast<ICMP_ECHO_REPLY*>(reply);
        echo->Status = static_cast<ULONG>(-1);
        IPAddr destination = 0;
        std::memcpy(&destination, r.address, sizeof destination);
        const DWORD replies = IcmpSendEcho(icmp, destination, const_cast<char*>(data), size,
                                           nullptr, reply, sizeof reply, kEchoTimeoutMs);
        IcmpCloseHandle(icmp);
        r.echoStatus = static_cast<int32_t>(echo->Status);
        r.roundTripTime = echo->RoundTripTime * 0.001;
        if (replies > 0 && echo->Status == IP_SUCCESS) {
            value = echo->DataSize;
            if (compValue != 0) {
                if (echo->DataSize == size) {
                    const auto* back = static_cast<const char*>(echo->Data);
                    value = 0;
                    for (WORD i = 0; i < size; ++i) {
                        value += back[i] == data[i];
                    }
                } else {
                    value = -static_cast<long>(echo->DataSize);
                }
            }
        }
    }
    rvo_UpdateAttrI(r.head.component, &r.echoStatus);
    rvo_UpdateAttrR(r.head.component, &r.roundTripTime);
    return value;
}

void CompileItem(StepPass<GetIntRecord>& pass, const char* devChanAttr, long compMask,
                 long compValue) {
    GetIntRecord& r = *pass.record;
    const int source = CompileSource(pass, devChanAttr, kSources, 1);
    if (source == 0) {
        return;
    }
    const DevChanParts& parts = r.head.parts;
    int32_t item = kItemNone;
    if (source == 1 && parts.channel[0] != 0) {
        item = parts.function[0] ? kItemParameter : kItemNone;
    } else if (source == 1) {
        const int k = MatchKeyword(parts.function, kStationItems);
        item = k > 0 ? kItemStationId + k - 1 : kItemNone;
    } else {
        const int k = MatchKeyword(parts.function, kComputerItems);
        item = k > 0 ? kItemDrives + k - 1 : kItemNone;
        if (item == kItemEcho) {
            ParseAddress(parts.channel, r.address);
            item = parts.suffix[0] ? kItemEcho : kItemNone;
        }
    }
    if (item == kItemNone) {
        RefuseDevChanAttr(pass.error, devChanAttr);
        return;
    }
    r.head.selector = item;
    r.compMask = static_cast<int32_t>(compMask);
    r.compValue = static_cast<int32_t>(compValue);
    rvo_DefineAttrI("CompMask", pass.call.methodName, &r.compMask, kMaskUnit, nullptr);
    rvo_DefineAttrI("CompValue", pass.call.methodName, &r.compValue, kMaskUnit, nullptr);
    if (item == kItemEcho) {
        rvo_DefineAttrI("EchoStatus", pass.call.methodName, &r.echoStatus, kMaskUnit, nullptr);
        rvo_DefineAttrR("RoundTripTime", pass.call.methodName, &r.roundTripTime, kSecondsWord,
                        nullptr);
    }
}

} // namespace
} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT GETI_SYSTEM(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* DevChanAttr,
                                      long* Value, long CompMask, long CompValue) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "GETI_SYSTEM"};
    return RunStandardPass<GetIntRecord>(
        call, kKindNone, true,
        [&](auto& pass) { CompileItem(pass, DevChanAttr, CompMask, CompValue); },
        [&](auto& pass) -> EN_NEV_RESULT {
            GetIntRecord& r = *pass.record;
            r.compMask = static_cast<int32_t>(CompMask);
            r.compValue = static_cast<int32_t>(CompValue);
            rvo_UpdateAttrI(r.head.component, &r.compMask);
            rvo_UpdateAttrI(r.head.component, &r.compValue);
            RVO_STATION station = pass.bench->station ? pass.bench->station : rvo_StationCurrent();
            long value = 0;
            long unit = 0;
            const char* shown = comment;
            char parComment[kInfoSize] = {};
            bool checkFound = false;
            switch (r.head.selector) {
            case kItemParameter: {
                RVO_SYSPARA p = rvo_SysParaGet(r.head.parts.channel, r.head.parts.function);
                if (!p) {
                    pass.error.Set(kErrFunction, kParameterNotDefined);
                    return -2;
                }
                value = rvo_SysParaGetValueInt(p);
                unit = rvo_SysParaGetUnit(p);
                if (const char* c = rvo_SysParaGetComment(p)) {
                    CopyText(parComment, c);
                    shown = parComment;
                }
                rvo_SysParaFree(p);
                break;
            }
            case kItemStationId:
                value = rvo_StationID(station);
                break;
            case kItemItemIndex:
                value = rvo_StationGetItemIndex(station);
                break;
            case kItemPanelId:
                value = pass.bench->panelId;
                break;
            case kItemFixturePos:
                rvo_FixtureGetCurrentPosition(&value);
                break;
            case kItemDrives:
                value = ReportDrives(call);
                break;
            case kItemDriveVolume:
                value = ReportDriveVolume(call, r.head.parts.suffix);
                checkFound = true;
                break;
            case kItemEcho:
                value = Echo(r, CompValue);
                break;
            default:
                pass.error.Set(kErrFunction, kInvalidAttributeName);
                return -2;
            }
            if (Value) {
                *Value = value;
            }
            if (checkFound) {
                return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, stepName, lineCode, unit, 0, "",
                                                              value, "=", 1, RVO_VERDICT_EXECUTIVE,
                                                              0.0, DevChanAttr, shown));
            }
            if (CompMask != 0) {
                return static_cast<EN_NEV_RESULT>(
                    rvo_VerifyI(0, stepName, lineCode, unit, 0, "", value, "=", CompValue,
                                RVO_VERDICT_EXECUTIVE, 0.0, DevChanAttr, shown));
            }
            return static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, stepName, lineCode, unit, 0, "", value,
                                                          "", 0, 0, 0.0, DevChanAttr, shown));
        });
}
