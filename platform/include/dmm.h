/* DMM: the multimeter instrument-class library.
 *
 * Conventions of every class library (platform_types.h): reserved context 0 first, then the
 * device handle from DMM_Setup, then the values, then the status block (warning, error,
 * message). Settings are named by text, as listed with each call. */
#ifndef KORA_PLATFORM_DMM_H
#define KORA_PLATFORM_DMM_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Codes the library's callers act on. */
#define DMM_ERR_DEVICE_NOT_PRESENT (-15003) /* DMM_Setup: configured meter is not there */
#define DMM_ERR_NO_VALID_SAMPLE 15001       /* a read delivered no valid sample */

/* ---- library and device lifetime ------------------------------------------------------------ */

/* Opens the meter `deviceName` (its physical-layer section "device->NAME" gives type, resource
 * descriptor and driver options, passed here as read by the caller) and returns its handle. */
KORA_PLATFORM_API int32_t DMM_Setup(long context, const char* deviceName, const char* resourceDesc,
                                    const char* driverOption, int32_t* handle, int32_t* warning,
                                    int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
/* Closes a meter opened by DMM_Setup. */
KORA_PLATFORM_API int32_t DMM_Cleanup(long context, long handle, int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]);
/* Version text of the library. */
KORA_PLATFORM_API int32_t DMM_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE],
                                          int32_t* warning, int32_t* error,
                                          char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- measurement ---------------------------------------------------------------------------- */

/* function: "DC_VOLTS", "DC_CURRENT", "2_WIRE_RES", "4_WIRE_RES", "AC_VOLTS", "AC_CURRENT",
 * "AC_PLUS_DC_VOLTS", "AC_PLUS_DC_CURRENT"; rangeMode: "AUTO_RANGE_OFF" or "AUTO_RANGE_ON". */
KORA_PLATFORM_API int32_t DMM_Conf_Measurement(long context, long handle, const char* function,
                                               double range, const char* rangeMode,
                                               double resolution, int32_t* warning, int32_t* error,
                                               char message[CLASSLIB_MESSAGE_SIZE]);
/* Triggers and reads `count` samples into values; maxTime in seconds. */
KORA_PLATFORM_API int32_t DMM_Read(long context, long handle, double maxTime, long count,
                                   double values[], int32_t* countRead, int32_t* warning,
                                   int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
/* Reads `count` samples of an acquisition started earlier (DMM_Initiate). */
KORA_PLATFORM_API int32_t DMM_Fetch(long context, long handle, double maxTime, long count,
                                    double values[], int32_t* countRead, int32_t* warning,
                                    int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
/* overRange = 1 when `value` is the meter's over-range value. */
KORA_PLATFORM_API int32_t DMM_Is_Over_Range(long context, long handle, double value,
                                            int32_t* overRange, int32_t* warning, int32_t* error,
                                            char message[CLASSLIB_MESSAGE_SIZE]);
/* Low-pass filter corner frequency in hertz. */
KORA_PLATFORM_API int32_t DMM_Conf_Lowpass_Filter(long context, long handle, double frequency,
                                                  int32_t* warning, int32_t* error,
                                                  char message[CLASSLIB_MESSAGE_SIZE]);
/* Samples averaged per reading and the time between them in seconds. */
KORA_PLATFORM_API int32_t DMM_Conf_Average(long context, long handle, long count, double sampleTime,
                                           int32_t* warning, int32_t* error,
                                           char message[CLASSLIB_MESSAGE_SIZE]);
/* RMS method: "EVALUATION". */
KORA_PLATFORM_API int32_t DMM_Conf_RMS_Measurement(long context, long handle, const char* method,
                                                   int32_t* warning, int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);
/* sampleTrigger: "INTERVAL"; sampleInterval in seconds. */
KORA_PLATFORM_API int32_t DMM_Conf_Multi_Point(long context, long handle, long triggerCount,
                                               long sampleCount, const char* sampleTrigger,
                                               double sampleInterval, int32_t* warning,
                                               int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
/* Power-line frequency in hertz. */
KORA_PLATFORM_API int32_t DMM_Conf_Power_Line_Frequency(long context, long handle, double frequency,
                                                        int32_t* warning, int32_t* error,
                                                        char message[CLASSLIB_MESSAGE_SIZE]);
/* "AUTO_ZERO_ON", "AUTO_ZERO_ONCE" or "AUTO_ZERO_OFF". */
KORA_PLATFORM_API int32_t DMM_Conf_Auto_Zero_Mode(long context, long handle, const char* mode,
                                                  int32_t* warning, int32_t* error,
                                                  char message[CLASSLIB_MESSAGE_SIZE]);
/* Ground relay closed (1) or open (0). */
KORA_PLATFORM_API int32_t DMM_Conf_Ground_Relay(long context, long handle, long enable,
                                                int32_t* warning, int32_t* error,
                                                char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- triggering ----------------------------------------------------------------------------- */

/* source: "IMMEDIATE", "SOFTWARE", "XTI1", "XTI2", "TTL0".."TTL7", "XTA1", "XTA2", "ITO1",
 * "ITO2"; delay in seconds. */
KORA_PLATFORM_API int32_t DMM_Conf_Trigger(long context, long handle, const char* source,
                                           double delay, int32_t* warning, int32_t* error,
                                           char message[CLASSLIB_MESSAGE_SIZE]);
/* "POSITIVE" or "NEGATIVE". */
KORA_PLATFORM_API int32_t DMM_Conf_Trigger_Slope(long context, long handle, const char* slope,
                                                 int32_t* warning, int32_t* error,
                                                 char message[CLASSLIB_MESSAGE_SIZE]);
/* Analog trigger on "XTA1"/"XTA2" at `level` in `unit` ("VOLT" or "AMPERE"). */
KORA_PLATFORM_API int32_t DMM_Conf_Analog_Trigger(long context, long handle, const char* source,
                                                  double level, const char* unit, int32_t* warning,
                                                  int32_t* error,
                                                  char message[CLASSLIB_MESSAGE_SIZE]);
/* Enabled trigger outputs: TTL0..TTL7 = 0x1..0x80, XTO1 = 0x100, XTO2 = 0x200. */
KORA_PLATFORM_API int32_t DMM_Enable_Trigger_Output(long context, long handle, long outputMask,
                                                    int32_t* warning, int32_t* error,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);
/* output: "XTO1", "XTO2", "TTL0".."TTL7"; event: "IT4"; polarity: "HIGH" or "LOW". */
KORA_PLATFORM_API int32_t DMM_Conf_Trigger_Output(long context, long handle, const char* output,
                                                  const char* event, const char* polarity,
                                                  int32_t* warning, int32_t* error,
                                                  char message[CLASSLIB_MESSAGE_SIZE]);
/* "TTL0".."TTL7", "XTO1", "XTO2", "EXTERNAL" or "NONE". */
KORA_PLATFORM_API int32_t DMM_Conf_Meas_Complete_Dest(long context, long handle,
                                                      const char* destination, int32_t* warning,
                                                      int32_t* error,
                                                      char message[CLASSLIB_MESSAGE_SIZE]);
/* Pulse generator "IT1"/"IT2": started by `source` on `slope`, drives `output` with `polarity`
 * after `delay`, `pulseCount` pulses of `pulseWidth` separated by `pulsePause` (seconds). */
KORA_PLATFORM_API int32_t DMM_Conf_Trigger_Signal(
    long context, long handle, const char* generator, const char* source, const char* slope,
    const char* output, const char* polarity, double delay, long pulseCount, double pulseWidth,
    double pulsePause, int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
/* Arms the meter to wait for its trigger. */
KORA_PLATFORM_API int32_t DMM_Initiate(long context, long handle, int32_t* warning, int32_t* error,
                                       char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DMM_Send_Software_Trigger(long context, long handle, int32_t* warning,
                                                    int32_t* error,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);
/* Starts pulse generator "IT1" or "IT2" by software. */
KORA_PLATFORM_API int32_t DMM_Send_Software_Signal(long context, long handle, const char* generator,
                                                   int32_t* warning, int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);
/* Stops a running acquisition. */
KORA_PLATFORM_API int32_t DMM_Abort(long context, long handle, int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]);
/* Puts the meter into its start state. */
KORA_PLATFORM_API int32_t DMM_Reset(long context, long handle, int32_t* warning, int32_t* error,
                                    char message[CLASSLIB_MESSAGE_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
