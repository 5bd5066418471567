/* Types shared by the closed platform interfaces (instrument-class libraries, module drivers,
 * switch-matrix driver, card and relay libraries). Every type name here is defined once; the
 * interface headers include this file instead of defining their own.
 *
 * Two families of calling conventions meet here:
 *
 * - Instrument-class libraries (DMM, DCPWR, FUNCGEN, SIGANL, ROUTE, DIOMGR, UTIL), like the
 *   resource manager: the first argument is a reserved context that callers pass as 0; numbers
 *   passed in are `long` (flags 0/1, counts, masks, handles) or `double`; numbers handed back are
 *   `int32_t` or `double`; every setting is named by text ("DC_VOLTS", "AUTO_RANGE_OFF", ...);
 *   each call ends with the status block described below.
 * - Module drivers (rsp*, ZQsm160, VX_Urm) follow the instrument-driver style: a ViSession
 *   handle first, fixed-width Vi types after it, a ViStatus result (0 success, negative error,
 *   positive warning) and an `_error_message` call for the text of a status. */
#ifndef KORA_PLATFORM_TYPES_H
#define KORA_PLATFORM_TYPES_H

#include <stdint.h>

/* Every function of the platform interfaces is exported from its library, also when the
 * library is built with hidden visibility. */
#if defined(__GNUC__)
#define KORA_PLATFORM_API __attribute__((visibility("default")))
#else
#define KORA_PLATFORM_API
#endif

/* ---- instrument-driver types ---------------------------------------------------------------- */

typedef int8_t ViInt8;
typedef uint8_t ViUInt8;
typedef int16_t ViInt16;
typedef uint16_t ViUInt16;
typedef int32_t ViInt32;
typedef uint32_t ViUInt32;
typedef float ViReal32;
typedef double ViReal64;
typedef uint16_t ViBoolean;
typedef char ViChar;
typedef ViChar* ViString;
typedef const ViChar* ViConstString;
/* A resource descriptor text; drivers only read it. */
typedef const ViChar* ViRsrc;
/* Driver session handle: positive when valid, so that it fits the 32-bit signed handle fields
 * (-1 = none) of the library's records and the resource manager's session handles. */
typedef ViInt32 ViSession;
/* 0 success, negative error, positive warning. */
typedef ViInt32 ViStatus;
/* Identifier of a driver attribute. */
typedef ViUInt32 ViAttr;

#define VI_NULL 0
#define VI_TRUE 1
#define VI_FALSE 0
#define VI_SUCCESS 0

/* Size of the text buffers of `_error_message` and `_revision_query`. */
#define VI_ERROR_MESSAGE_SIZE 256
#define VI_REVISION_SIZE 256

/* ---- instrument-class library status block -------------------------------------------------
 * Every class-library call ends with
 *     int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]
 * Any of the three may be null. The library clears them on entry, stores a positive warning code
 * or a negative error code, and writes the text of that code into message ("" after a clean
 * call; always terminated, never past CLASSLIB_MESSAGE_SIZE bytes). The return value is the
 * error when there is one, else the warning, else 0, so that callers that act on positive
 * results (routing warnings, invalid measurements) need not look at the out-values. */
#define CLASSLIB_MESSAGE_SIZE 1024
/* Size of the text filled by the `…_Lib_Version` calls. */
#define CLASSLIB_VERSION_SIZE 256

#endif
