/* The test executive's programming interface (RVOAPI and RVOCommon).
 *
 * On the target platform these calls live in the closed executive; here librvo (platform/executive)
 * implements them as a small, real executive. Step methods reach the executive only through this
 * header. Integers are `long` as the executive declares them; 32-bit fields inside step data
 * records are `int32_t`. */
#ifndef KORA_PLATFORM_RVOAPI_H
#define KORA_PLATFORM_RVOAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result of every step method: 0 done, -2 error reported, -5 run stopped by the operator. */
typedef int32_t EN_NEV_RESULT;

typedef void* RVO_COMPONENT; /* the step's component (attribute owner) */
typedef void* RVO_STATION;
typedef void* RVO_NEST;
typedef void* RVO_UUT;
typedef void* RVO_SYSPARA;
typedef void* RVO_LOGGER;

/* Phase numbers answered by rvo_EnterSTEPMethod. */
#define RVO_PHASE_RUN 1
#define RVO_PHASE_COMPILE_RUN 2
#define RVO_PHASE_COMPILE 98
/* Answer of rvo_ExitSTEP that asks for the whole pass again. */
#define RVO_EXIT_AGAIN 12
/* Verdict argument of the verification calls: let the executive decide from value and limits. */
#define RVO_VERDICT_EXECUTIVE 99

/* Alert flags and answers. */
#define RVO_ALERT_NOTICE 1
#define RVO_ALERT_SAVE_QUESTION 12
#define RVO_ALERT_ERROR 0x30
#define RVO_ANSWER_STOP (-5)
#define RVO_ANSWER_SAVE 11

/* ---- steps ---------------------------------------------------------------------------------- */

long rvo_EnterSTEPMethod(long stepRef, const char* stepName, long lineCode, long stepArg,
                         const char* comment, const char* methodName, long dataSize,
                         void** dataOut);

typedef void* (*RVO_RECORD_ALLOC)(void);
typedef void (*RVO_RECORD_FREE)(void* record);
long rvo_EnterSTEPMethodAlloc(long stepRef, const char* stepName, long lineCode, long stepArg,
                              const char* comment, const char* methodName, void** dataOut,
                              RVO_RECORD_ALLOC allocate, RVO_RECORD_FREE release);

long rvo_ExitSTEP(void);
void rvo_ExitSTEPEx(long result);
void rvo_SetSTEPResult(long result);
RVO_COMPONENT rvo_GetCurrentComponent(void);
void rvo_SetSTEPDeviceName(const char* deviceName);
/* Non-zero when the step group of the current step has been compiled already. */
long rvo_IsGROUPCompiled(void);

/* ---- attributes ----------------------------------------------------------------------------
 * An attribute is named by the step's component and the address of its value in the step data
 * record. Texts defined from an argument are copied by the executive; `category` is 0 or a
 * group of the operator's display such as "HOLM". */

long rvo_DefineAttrS(const char* name, const char* group, const char* text, long option,
                     const char* category);
long rvo_DefineAttrR(const char* name, const char* group, double* value, long unit,
                     const char* category);
long rvo_DefineAttrI(const char* name, const char* group, int32_t* value, long unit,
                     const char* category);
/* A text chosen from a comma list (e.g. "NO,YES"); `value` is a buffer of `size` bytes. */
long rvo_DefineAttrSList(const char* name, const char* group, char* value, long size,
                         const char* list, const char* category);
/* Attribute kinds of the generic calls. */
#define RVO_ATTR_INT 1
#define RVO_ATTR_REAL 2
#define RVO_ATTR_TEXT 3
#define RVO_ATTR_BUTTON 4
#define RVO_ATTR_REAL_ARRAY 5
long rvo_DefineAttr(const char* name, const char* group, long kind, void* address, long sizeOrCount,
                    long unitOrOption, const char* category);

long rvo_UpdateAttrI(RVO_COMPONENT component, int32_t* address);
long rvo_UpdateAttrR(RVO_COMPONENT component, double* address);
long rvo_UpdateAttrS(RVO_COMPONENT component, const char* name, const char* text);
long rvo_UpdateAttr(RVO_COMPONENT component, void* address);

long rvo_ReadAttrI(RVO_COMPONENT component, int32_t* address);
long rvo_ReadAttrR(RVO_COMPONENT component, double* address);
long rvo_ReadAttrS(RVO_COMPONENT component, char* address, long size);
long rvo_ReadAttrSList(RVO_COMPONENT component, char* address, long size);
long rvo_ReadAttrB(RVO_COMPONENT component, int32_t* address);
long rvo_ReadAttrAB(RVO_COMPONENT component, double* address, long count);
long rvo_ReadAttr(RVO_COMPONENT component, void* address);

long rvo_ScaleAttrR(RVO_COMPONENT component, double* address, long unit);
long rvo_SetAttrEnabled(RVO_COMPONENT component, void* address, long enabled);

/* ---- verification ----------------------------------------------------------------------------
 * resultNo 0 is the step's own result, others are numbered sub-results. `verdict` is 99 to let
 * the executive compare value and limits, or the verdict itself (0 done, -2 failed). An empty or
 * null operator means that side is not checked. Each call returns the step result it implies
 * (0 passed or done, -1 failed). */

long rvo_VerifyR(long resultNo, const char* name, long lineCode, long unit, double low,
                 const char* lowOp, double value, const char* highOp, double high, long verdict,
                 double reserved, const char* channel, const char* comment);
long rvo_VerifyI(long resultNo, const char* name, long lineCode, long unit, long low,
                 const char* lowOp, long value, const char* highOp, long high, long verdict,
                 double reserved, const char* channel, const char* comment);
/* mode 0 records the text, mode 1 compares it with `expected` using `op` ("==" or "!="). */
long rvo_VerifyS(long resultNo, const char* name, long lineCode, long mode, const char* value,
                 const char* op, const char* expected, long verdict, double reserved,
                 const char* channel, const char* comment);
/* A whole series of values recorded at once (no limit check); `span` is its duration in s. */
long rvo_VerifyRE(long resultNo, const char* name, long lineCode, long unit, long count,
                  const double* values, double span, const char* comment);
long rvo_DeleteSubResults(RVO_COMPONENT component);

/* ---- messages, alerts, progress ---------------------------------------------------------- */

long rvo_Alert(const char* title, const char* text, long flags);
long rvo_UserMessageBox(const char* title, const char* text, long flags);
void rvo_GUIMessage(long level, const char* text);

long rvo_ProgressOpen(const char* title, const char* text, long steps);
long rvo_ProgressStep(long position, const char* text);
long rvo_ProgressIsOpen(void);
void rvo_ProgressClose(void);

/* Seconds since an arbitrary origin (the virtual bench clock when one is active). */
double rvo_TSTAMP(void);

/* ---- callbacks ------------------------------------------------------------------------------
 * The executive invokes a registered callback with a reason code (0x80000001 attribute edit,
 * 0x80000000 relink or save) and the context block it copied at registration. */

typedef long (*RVO_CALLBACK)(long reason, void* context, long contextSize);
#define RVO_CALLBACK_PINLOCATION 1
#define RVO_CALLBACK_SAVE 2
#define RVO_CALLBACK_ATTRIBUTE 3
long rvo_RegisterCallback(long kind, long mode, RVO_CALLBACK callback, long contextSize,
                          const void* context);
long rvo_UnRegisterCallback(long kind);
/* Tells the executive that an attribute callback ran (mode 2 = saved, 1 = changed). */
long rvo_SetAttributeCallback(long mode, long value);

/* ---- station, nests, UUT, fixture (RVOCommon) ---------------------------------------------- */

RVO_STATION rvo_StationCurrent(void);
long rvo_StationID(RVO_STATION station);
long rvo_StationGetItemIndex(RVO_STATION station);
RVO_NEST rvo_StationNest(RVO_STATION station, long index);
long rvo_StationNestGetUUTID(RVO_NEST nest);
RVO_UUT rvo_StationNestGetUUT(RVO_NEST nest);
void rvo_StationFree(RVO_STATION station);
RVO_UUT rvo_UUTForID(long uutId);
const char* rvo_UUTIdent(RVO_UUT uut);
long rvo_UUTSetPanelIndex(RVO_UUT uut, long panelIndex);
void rvo_UUTFree(RVO_UUT uut);
long rvo_FixtureGetCurrentPosition(long* position);
RVO_LOGGER rvo_LoggerCurrent(void);

/* ---- system parameters (RVOCommon) --------------------------------------------------------- */

RVO_SYSPARA rvo_SysParaGet(const char* section, const char* name);
long rvo_SysParaGetValueInt(RVO_SYSPARA parameter);
double rvo_SysParaGetValueReal(RVO_SYSPARA parameter);
const char* rvo_SysParaGetValueString(RVO_SYSPARA parameter);
long rvo_SysParaGetUnit(RVO_SYSPARA parameter);
const char* rvo_SysParaGetComment(RVO_SYSPARA parameter);
long rvo_SysParaSetValueInt(RVO_SYSPARA parameter, long value);
long rvo_SysParaSetValueReal(RVO_SYSPARA parameter, double value);
long rvo_SysParaSetValueString(RVO_SYSPARA parameter, const char* value);
long rvo_SysParaSetUnit(RVO_SYSPARA parameter, long unit);
long rvo_SysParaSetComment(RVO_SYSPARA parameter, const char* comment);
void rvo_SysParaFree(RVO_SYSPARA parameter);

/* ---- environment and naming ---------------------------------------------------------------- */

/* Expands %NAME% and ${NAME} references of `text` into `out` (size bytes, always terminated).
 * Returns the length written, or -1 when the result was cut. */
long rvo_ExpandEnvironmentVariable(const char* text, char* out, long size);
/* The executive's device-naming mode (0 = by resource, 1 = by logical name). */
long rvo_DeviceNaming(void);

#ifdef __cplusplus
}
#endif

#endif
