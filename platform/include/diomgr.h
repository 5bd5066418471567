/* DIOMGR: the digital I/O manager instrument-class library (the bench's digital test channels,
 * ports and pattern sets, named by text).
 *
 * One session per bench (DIOMGR_Setup). Calls follow the class-library conventions
 * (platform_types.h): context 0, the session, the values, the status block. */
#ifndef KORA_PLATFORM_DIOMGR_H
#define KORA_PLATFORM_DIOMGR_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the digital channels configured for the bench section `benchSection`. */
KORA_PLATFORM_API int32_t DIOMGR_Setup(long context, const char* benchSection, int32_t* session,
                                       int32_t* warning, int32_t* error,
                                       char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DIOMGR_Cleanup(long context, long session, int32_t* warning,
                                         int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DIOMGR_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE],
                                             int32_t* warning, int32_t* error,
                                             char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DIOMGR_Reset(long context, long session, int32_t* warning, int32_t* error,
                                       char message[CLASSLIB_MESSAGE_SIZE]);
/* The module driver session behind a channel and the channel's name at that module (e.g. a
 * digital functional test module and "po1".."po4"). */
KORA_PLATFORM_API int32_t DIOMGR_Instrument_Get_Handle(long context, long session,
                                                       const char* channel, ViSession* moduleHandle,
                                                       char moduleChannel[256], int32_t* warning,
                                                       int32_t* error,
                                                       char message[CLASSLIB_MESSAGE_SIZE]);

/* Driver of a channel: mode "TRISTATE", "TTL" or "ANALOG", high level in volts, low level in
 * volts (or current limit in amperes for "ANALOG"). */
KORA_PLATFORM_API int32_t DIOMGR_ConfigureStimulus(long context, long session, const char* channel,
                                                   const char* mode, double high,
                                                   double lowOrCurrentLimit, int32_t* warning,
                                                   int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);
/* Loopback of a driven channel into its receiver (bidirectional use) on or off. */
KORA_PLATFORM_API int32_t DIOMGR_ConfigureLoopback(long context, long session, const char* channel,
                                                   long enable, int32_t* warning, int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);
/* Receiver of a channel: mode "HYSTERESIS" or "WINDOW", high and low thresholds in volts. */
KORA_PLATFORM_API int32_t DIOMGR_ConfigureResponse(long context, long session, const char* channel,
                                                   const char* mode, double high, double low,
                                                   int32_t* warning, int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);
/* Applies patterns to a stimulus port, one after the other: one character per channel of the
 * port, patterns separated by blanks or commas. */
KORA_PLATFORM_API int32_t DIOMGR_PortStimulus(long context, long session, const char* port,
                                              const char* data, int32_t* warning, int32_t* error,
                                              char message[CLASSLIB_MESSAGE_SIZE]);
/* Reads a response port into buffer (size bytes, terminated): what = "STATUS" for its status
 * text, "RESULT" for the data it received. */
KORA_PLATFORM_API int32_t DIOMGR_PortResponse(long context, long session, const char* port,
                                              const char* what, long size, char* buffer,
                                              int32_t* warning, int32_t* error,
                                              char message[CLASSLIB_MESSAGE_SIZE]);
/* Number of patterns of a pattern set executed so far. */
KORA_PLATFORM_API int32_t DIOMGR_GetPatternSetExecutedPatternCount(
    long context, long session, const char* patternSet, int32_t* count, int32_t* warning,
    int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
/* The data a channel received during a pattern set, one character per pattern, into buffer
 * (size bytes, terminated). */
KORA_PLATFORM_API int32_t DIOMGR_GetPatternSetChannelData(
    long context, long session, const char* patternSet, const char* channel, long size,
    char* buffer, int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
