// The C entry points of the executive, each a thin call into the runtime.
#include "rvo_runtime.h"

#include <cmath>
#include <cstring>

using kora::rvo::Attribute;
using kora::rvo::AttrKind;
using kora::rvo::Result;
using kora::rvo::ResultKind;
using kora::rvo::Runtime;

namespace {

Runtime& rt() {
    return Runtime::instance();
}

std::string text(const char* s) {
    return s ? s : "";
}

// Station, nest and UUT handles carry their index; 0 stays the null handle.
void* handleOf(long n) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(n) + 1);
}
long indexOf(void* h) {
    return static_cast<long>(reinterpret_cast<intptr_t>(h) - 1);
}

Result head(long resultNo, const char* name, long lineCode, long unit, long verdict,
            const char* channel, const char* comment) {
    Result r;
    r.resultNo = resultNo;
    r.name = text(name);
    r.lineCode = lineCode;
    r.unit = unit;
    r.verdictArg = verdict;
    r.channel = text(channel);
    r.comment = text(comment);
    return r;
}

long define(const char* name, const char* group, AttrKind kind, void* address, long size,
            long unitOrOption, const char* category, const char* textValue = nullptr,
            const char* list = nullptr) {
    Attribute a;
    a.name = text(name);
    a.group = text(group);
    a.category = text(category);
    a.kind = kind;
    a.address = address;
    a.sizeOrCount = size;
    a.unitOrOption = unitOrOption;
    a.text = text(textValue);
    a.list = rt().shareList(list);
    return rt().defineAttribute(std::move(a)) ? 0 : -1;
}

long touch(RVO_COMPONENT component, const void* address, bool read) {
    Attribute* a = rt().findAttribute(component, address);
    if (!a) {
        return -1;
    }
    (read ? a->reads : a->updates)++;
    return 0;
}

} // namespace

extern "C" {

long rvo_EnterSTEPMethod(long stepRef, const char* stepName, long lineCode, long stepArg,
                         const char* comment, const char* methodName, long dataSize,
                         void** dataOut) {
    return rt().enterStep(stepRef, stepName, lineCode, stepArg, comment, methodName, dataSize,
                          dataOut, nullptr, nullptr, false);
}

long rvo_EnterSTEPMethodAlloc(long stepRef, const char* stepName, long lineCode, long stepArg,
                              const char* comment, const char* methodName, void** dataOut,
                              RVO_RECORD_ALLOC allocate, RVO_RECORD_FREE release) {
    return rt().enterStep(stepRef, stepName, lineCode, stepArg, comment, methodName, 0, dataOut,
                          allocate, release, true);
}

long rvo_ExitSTEP(void) {
    return rt().exitStep();
}
void rvo_ExitSTEPEx(long result) {
    rt().exitStepEx(result);
}

void rvo_SetSTEPResult(long result) {
    if (auto* s = rt().currentStep()) {
        s->stepResult = result;
    } else {
        rt().setLooseResult(result);
    }
}

RVO_COMPONENT rvo_GetCurrentComponent(void) {
    return rt().currentStep();
}

void rvo_SetSTEPDeviceName(const char* deviceName) {
    if (auto* s = rt().currentStep()) {
        s->deviceName = text(deviceName);
    }
}

long rvo_IsGROUPCompiled(void) {
    return rt().groupCompiled() ? 1 : 0;
}

long rvo_DefineAttrS(const char* name, const char* group, const char* value, long option,
                     const char* category) {
    return define(name, group, AttrKind::Text, const_cast<char*>(value), 0, option, category,
                  value);
}
long rvo_DefineAttrR(const char* name, const char* group, double* value, long unit,
                     const char* category) {
    return define(name, group, AttrKind::Real, value, 1, unit, category);
}
long rvo_DefineAttrI(const char* name, const char* group, int32_t* value, long unit,
                     const char* category) {
    return define(name, group, AttrKind::Int, value, 1, unit, category);
}
long rvo_DefineAttrSList(const char* name, const char* group, char* value, long size,
                         const char* list, const char* category) {
    return define(name, group, AttrKind::TextList, value, size, 0, category, value, list);
}
long rvo_DefineAttr(const char* name, const char* group, long kind, void* address, long sizeOrCount,
                    long unitOrOption, const char* category) {
    AttrKind k = AttrKind::Other;
    switch (kind) {
    case RVO_ATTR_INT:
        k = AttrKind::Int;
        break;
    case RVO_ATTR_REAL:
        k = AttrKind::Real;
        break;
    case RVO_ATTR_TEXT:
        k = AttrKind::TextList;
        break;
    case RVO_ATTR_BUTTON:
        k = AttrKind::Button;
        break;
    case RVO_ATTR_REAL_ARRAY:
        k = AttrKind::RealArray;
        break;
    default:
        break;
    }
    const char* initial = k == AttrKind::TextList ? static_cast<const char*>(address) : nullptr;
    return define(name, group, k, address, sizeOrCount, unitOrOption, category, initial);
}

long rvo_UpdateAttrI(RVO_COMPONENT component, int32_t* address) {
    return touch(component, address, false);
}
long rvo_UpdateAttrR(RVO_COMPONENT component, double* address) {
    return touch(component, address, false);
}
long rvo_UpdateAttr(RVO_COMPONENT component, void* address) {
    return touch(component, address, false);
}
long rvo_UpdateAttrS(RVO_COMPONENT component, const char* name, const char* value) {
    auto* s = component ? static_cast<kora::rvo::Step*>(component) : rt().currentStep();
    if (!s) {
        return -1;
    }
    for (auto& a : s->attributes) {
        if (a.name == text(name)) {
            a.text = text(value);
            a.updates++;
            return 0;
        }
    }
    return -1;
}

long rvo_ReadAttrI(RVO_COMPONENT component, int32_t* address) {
    return touch(component, address, true);
}
long rvo_ReadAttrR(RVO_COMPONENT component, double* address) {
    return touch(component, address, true);
}
long rvo_ReadAttrB(RVO_COMPONENT component, int32_t* address) {
    return touch(component, address, true);
}
long rvo_ReadAttrAB(RVO_COMPONENT component, double* address, long count) {
    return touch(component, address, true);
}
long rvo_ReadAttr(RVO_COMPONENT component, void* address) {
    return touch(component, address, true);
}
long rvo_ReadAttrS(RVO_COMPONENT component, char* address, long size) {
    Attribute* a = rt().findAttribute(component, address);
    if (!a || !address || size <= 0) {
        return -1;
    }
    a->reads++;
    auto n = std::min<std::size_t>(a->text.size(), static_cast<std::size_t>(size - 1));
    std::memmove(address, a->text.data(), n);
    address[n] = 0;
    return 0;
}
long rvo_ReadAttrSList(RVO_COMPONENT component, char* address, long size) {
    return rvo_ReadAttrS(component, address, size);
}

long rvo_ScaleAttrR(RVO_COMPONENT component, double* address, long unit) {
    Attribute* a = rt().findAttribute(component, address);
    if (!a) {
        return -1;
    }
    a->unitOrOption = unit;
    return 0;
}
long rvo_SetAttrEnabled(RVO_COMPONENT component, void* address, long enabled) {
    Attribute* a = rt().findAttribute(component, address);
    if (!a) {
        return -1;
    }
    a->enabled = enabled != 0;
    return 0;
}

long rvo_VerifyR(long resultNo, const char* name, long lineCode, long unit, double low,
                 const char* lowOp, double value, const char* highOp, double high, long verdict,
                 double reserved, const char* channel, const char* comment) {
    Result r = head(resultNo, name, lineCode, unit, verdict, channel, comment);
    r.kind = ResultKind::Real;
    r.low = low;
    r.value = value;
    r.high = high;
    r.lowOp = text(lowOp);
    r.highOp = text(highOp);
    return rt().verify(std::move(r));
}

long rvo_VerifyI(long resultNo, const char* name, long lineCode, long unit, long low,
                 const char* lowOp, long value, const char* highOp, long high, long verdict,
                 double reserved, const char* channel, const char* comment) {
    Result r = head(resultNo, name, lineCode, unit, verdict, channel, comment);
    r.kind = ResultKind::Integer;
    r.lowInt = low;
    r.valueInt = value;
    r.highInt = high;
    r.low = static_cast<double>(low);
    r.value = static_cast<double>(value);
    r.high = static_cast<double>(high);
    r.lowOp = text(lowOp);
    r.highOp = text(highOp);
    return rt().verify(std::move(r));
}

long rvo_VerifyS(long resultNo, const char* name, long lineCode, long mode, const char* value,
                 const char* op, const char* expected, long verdict, double reserved,
                 const char* channel, const char* comment) {
    Result r = head(resultNo, name, lineCode, mode, verdict, channel, comment);
    r.kind = ResultKind::Text;
    r.text = text(value);
    r.lowOp = text(op);
    r.expected = text(expected);
    r.expectedGiven = expected != nullptr;
    return rt().verify(std::move(r));
}

long rvo_VerifyRE(long resultNo, const char* name, long lineCode, long unit, long count,
                  const double* values, double span, const char* comment) {
    Result r = head(resultNo, name, lineCode, unit, RVO_VERDICT_EXECUTIVE, nullptr, comment);
    r.kind = ResultKind::Series;
    if (values && count > 0) {
        r.series.assign(values, values + count);
    }
    r.span = span;
    return rt().verify(std::move(r));
}

long rvo_DeleteSubResults(RVO_COMPONENT component) {
    return rt().deleteSubResults(component);
}

long rvo_Alert(const char* title, const char* text, long flags) {
    return rt().alert(title, text, flags);
}
long rvo_UserMessageBox(const char* title, const char* text, long flags) {
    return rt().alert(title, text, flags);
}
void rvo_GUIMessage(long level, const char* text) {
    rt().guiMessage(level, text);
}

long rvo_ProgressOpen(const char* title, const char* text, long steps) {
    rt().guiMessage(0, (std::string(title ? title : "") + "\n" + (text ? text : "")).c_str());
    rt().openProgress(title, text, steps);
    return 0;
}
long rvo_ProgressStep(long position, const char* text) {
    return rt().stepProgress(position, text) ? 0 : -1;
}
long rvo_ProgressIsOpen(void) {
    return rt().progressOpen() ? 1 : 0;
}
void rvo_ProgressClose(void) {
    rt().closeProgress();
}

double rvo_TSTAMP(void) {
    return rt().now();
}

long rvo_RegisterCallback(long kind, long mode, RVO_CALLBACK callback, long contextSize,
                          const void* context) {
    kora::rvo::Callback cb;
    cb.kind = kind;
    cb.mode = mode;
    cb.function = callback;
    if (context && contextSize > 0) {
        auto* p = static_cast<const uint8_t*>(context);
        cb.context.assign(p, p + contextSize);
    }
    return rt().registerCallback(std::move(cb));
}
long rvo_UnRegisterCallback(long kind) {
    return rt().unregisterCallback(kind);
}
long rvo_SetAttributeCallback(long mode, long value) {
    rt().guiMessage(
        1, ("attribute callback " + std::to_string(mode) + "," + std::to_string(value)).c_str());
    return 0;
}

RVO_STATION rvo_StationCurrent(void) {
    return handleOf(rt().stationId());
}
long rvo_StationID(RVO_STATION station) {
    return station ? indexOf(station) : 0;
}
long rvo_StationGetItemIndex(RVO_STATION station) {
    return station ? rt().stationItemIndex() : 0;
}
RVO_NEST rvo_StationNest(RVO_STATION station, long index) {
    return station ? handleOf(index) : nullptr;
}
long rvo_StationNestGetUUTID(RVO_NEST nest) {
    return nest ? rt().nestUutId(indexOf(nest)) : 0;
}
RVO_UUT rvo_StationNestGetUUT(RVO_NEST nest) {
    long id = rvo_StationNestGetUUTID(nest);
    return id && rt().uut(id) ? handleOf(id) : nullptr;
}
void rvo_StationFree(RVO_STATION) {}
RVO_UUT rvo_UUTForID(long uutId) {
    return rt().uut(uutId) ? handleOf(uutId) : nullptr;
}
const char* rvo_UUTIdent(RVO_UUT uut) {
    // The text lives in a thread-local buffer until the next call on this thread.
    thread_local std::string serial;
    auto u = uut ? rt().uut(indexOf(uut)) : std::nullopt;
    serial = u ? u->serial : "";
    return serial.c_str();
}
long rvo_UUTSetPanelIndex(RVO_UUT uut, long panelIndex) {
    if (!uut) {
        return -1;
    }
    rt().setUutPanelIndex(indexOf(uut), panelIndex);
    return 0;
}
void rvo_UUTFree(RVO_UUT) {}
long rvo_FixtureGetCurrentPosition(long* position) {
    if (!position) {
        return -1;
    }
    *position = rt().fixturePosition();
    return 0;
}
RVO_LOGGER rvo_LoggerCurrent(void) {
    return handleOf(0);
}

RVO_SYSPARA rvo_SysParaGet(const char* section, const char* name) {
    return rt().sysParaRef(text(section), text(name));
}
static kora::rvo::SysPara* para(RVO_SYSPARA p) {
    return static_cast<kora::rvo::SysPara*>(p);
}
long rvo_SysParaGetValueInt(RVO_SYSPARA p) {
    return p ? para(p)->intValue : 0;
}
double rvo_SysParaGetValueReal(RVO_SYSPARA p) {
    return p ? para(p)->realValue : NAN;
}
const char* rvo_SysParaGetValueString(RVO_SYSPARA p) {
    return p ? para(p)->stringValue.c_str() : nullptr;
}
long rvo_SysParaGetUnit(RVO_SYSPARA p) {
    return p ? para(p)->unit : 0;
}
const char* rvo_SysParaGetComment(RVO_SYSPARA p) {
    return p && !para(p)->comment.empty() ? para(p)->comment.c_str() : nullptr;
}
long rvo_SysParaSetValueInt(RVO_SYSPARA p, long v) {
    if (!p)
        return -1;
    para(p)->intValue = v;
    para(p)->written = 'I';
    return 0;
}
long rvo_SysParaSetValueReal(RVO_SYSPARA p, double v) {
    if (!p)
        return -1;
    para(p)->realValue = v;
    para(p)->written = 'R';
    return 0;
}
long rvo_SysParaSetValueString(RVO_SYSPARA p, const char* v) {
    if (!p)
        return -1;
    para(p)->stringValue = text(v);
    para(p)->written = 'S';
    return 0;
}
long rvo_SysParaSetUnit(RVO_SYSPARA p, long unit) {
    if (!p)
        return -1;
    para(p)->unit = unit;
    return 0;
}
long rvo_SysParaSetComment(RVO_SYSPARA p, const char* c) {
    if (!p)
        return -1;
    para(p)->comment = text(c);
    return 0;
}
void rvo_SysParaFree(RVO_SYSPARA) {}

long rvo_ExpandEnvironmentVariable(const char* text, char* out, long size) {
    return rt().expand(text, out, size);
}
long rvo_DeviceNaming(void) {
    return rt().deviceNaming();
}

} // extern "C"
