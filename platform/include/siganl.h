/* SIGANL: the signal analyzer (digitizer) instrument-class library and its waveform analysis
 * functions.
 *
 * The instrument has two acquisition paths, "A" and "B", with channels "CHA1".."CHA4" and
 * "CHB1".."CHB4". Instrument calls follow the class-library conventions (platform_types.h):
 * context 0, the analyzer handle from SIGANL_Setup, the values, the status block. A path text
 * is "A", "B" or "" for both paths.
 *
 * The analysis functions need no instrument: they take context 0 and handle 0 and end with
 * (short* status, int32_t* code, message): status is non-zero after a failure, code is the error
 * code and message its text. */
#ifndef KORA_PLATFORM_SIGANL_H
#define KORA_PLATFORM_SIGANL_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- library and device lifetime ------------------------------------------------------------ */

/* Opens the analyzer `deviceName` with the resource descriptor and driver options of its
 * physical-layer section. */
KORA_PLATFORM_API int32_t SIGANL_Setup(long context, const char* deviceName,
                                       const char* resourceDesc, const char* driverOption,
                                       int32_t* handle, int32_t* warning, int32_t* error,
                                       char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t SIGANL_Cleanup(long context, long handle, int32_t* warning,
                                         int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t SIGANL_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE],
                                             int32_t* warning, int32_t* error,
                                             char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t SIGANL_Reset(long context, long handle, int32_t* warning, int32_t* error,
                                       char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- input ---------------------------------------------------------------------------------- */

/* Input impedance in ohms and maximum input frequency (bandwidth) in hertz of a channel. */
KORA_PLATFORM_API int32_t SIGANL_ConfigureChannelCharacteristics(
    long context, long handle, const char* channel, double impedance, double maxFrequency,
    int32_t* warning, int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t SIGANL_ConfigureDigitalFilter(long context, long handle,
                                                        const char* channel, long enable,
                                                        int32_t* warning, int32_t* error,
                                                        char message[CLASSLIB_MESSAGE_SIZE]);
/* Ground relay of path "A" or "B". */
KORA_PLATFORM_API int32_t SIGANL_ConfigureGroundRelay(long context, long handle, const char* path,
                                                      long enable, int32_t* warning, int32_t* error,
                                                      char message[CLASSLIB_MESSAGE_SIZE]);
/* range (volts, full span), offset (volts), coupling "DC", probeAttenuation, enabled. */
KORA_PLATFORM_API int32_t SIGANL_ConfigureChannel(long context, long handle, const char* channel,
                                                  double range, double offset, const char* coupling,
                                                  double probeAttenuation, long enabled,
                                                  int32_t* warning, int32_t* error,
                                                  char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- trigger -------------------------------------------------------------------------------- */

/* type: "IMMEDIATE", "SOFTWARE" or "EDGE"; value: trigger level (EDGE) or delay in seconds. */
KORA_PLATFORM_API int32_t SIGANL_ConfigureTrigger(long context, long handle, const char* path,
                                                  const char* type, double value, int32_t* warning,
                                                  int32_t* error,
                                                  char message[CLASSLIB_MESSAGE_SIZE]);
/* source: "VAL_TTL0".."VAL_TTL7", "VAL_XTI1", "VAL_XTI2" or a channel "CHA1".."CHB4"; level in
 * volts; slope "POSITIVE" or "NEGATIVE". */
KORA_PLATFORM_API int32_t SIGANL_ConfigureEdgeTriggerSource(long context, long handle,
                                                            const char* path, const char* source,
                                                            double level, const char* slope,
                                                            int32_t* warning, int32_t* error,
                                                            char message[CLASSLIB_MESSAGE_SIZE]);
/* Enabled trigger outputs: TTL0..TTL7 = 0x1..0x80, XTO1 = 0x100, XTO2 = 0x200. */
KORA_PLATFORM_API int32_t SIGANL_EnableTriggerOutput(long context, long handle, long outputMask,
                                                     int32_t* warning, int32_t* error,
                                                     char message[CLASSLIB_MESSAGE_SIZE]);
/* output: "VAL_XTO1", "VAL_XTO2", "VAL_TTL0".."VAL_TTL7"; source: "VAL_OUT_SRC_ATA1".. "…ATB4",
 * "VAL_OUT_SRC_IT1_A", "VAL_OUT_SRC_IT1_B", "VAL_OUT_SRC_XTI"; polarity "HIGH" or "LOW". */
KORA_PLATFORM_API int32_t SIGANL_ConfigureTriggerOutput(long context, long handle,
                                                        const char* output, const char* source,
                                                        const char* polarity, int32_t* warning,
                                                        int32_t* error,
                                                        char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- acquisition ---------------------------------------------------------------------------- */

/* A record of `count` samples over acqTime seconds, delay seconds after the trigger. */
KORA_PLATFORM_API int32_t SIGANL_ConfigureAcquisitionRecord(long context, long handle,
                                                            const char* path, double acqTime,
                                                            long count, double delay,
                                                            int32_t* warning, int32_t* error,
                                                            char message[CLASSLIB_MESSAGE_SIZE]);
/* Number of samples the instrument will actually deliver per record. */
KORA_PLATFORM_API int32_t SIGANL_ActualRecordLength(long context, long handle, const char* path,
                                                    int32_t* length, int32_t* warning,
                                                    int32_t* error,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);
/* status: 'C' complete, 'I' in progress, 'U' unknown. */
KORA_PLATFORM_API int32_t SIGANL_AcquisitionStatus(long context, long handle, const char* path,
                                                   char* status, int32_t* warning, int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t SIGANL_InitiateAcquisition(long context, long handle, const char* path,
                                                     int32_t* warning, int32_t* error,
                                                     char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t SIGANL_SendSoftwareTrigger(long context, long handle, const char* path,
                                                     int32_t* warning, int32_t* error,
                                                     char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t SIGANL_Abort(long context, long handle, const char* path,
                                       int32_t* warning, int32_t* error,
                                       char message[CLASSLIB_MESSAGE_SIZE]);
/* Initiates, waits up to `timeout` seconds and copies up to count samples of the channel. */
KORA_PLATFORM_API int32_t SIGANL_ReadWaveform(long context, long handle, const char* channel,
                                              long count, double timeout, double samples[],
                                              int32_t* countRead, int32_t* warning, int32_t* error,
                                              char message[CLASSLIB_MESSAGE_SIZE]);
/* Copies up to count samples of a completed acquisition. */
KORA_PLATFORM_API int32_t SIGANL_FetchWaveform(long context, long handle, const char* channel,
                                               long count, double samples[], int32_t* countRead,
                                               int32_t* warning, int32_t* error,
                                               char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- waveform analysis (context 0, handle 0) ------------------------------------------------ */

/* Time of the occurrence-th crossing of the reference level, searched from startTime to stopTime
 * (0 = the end of the record) in `direction` ("FORWARD") with `slope` ("POS_SLOPE" or
 * "NEG_SLOPE"). reference "MID" means the middle between refLevel1 and refLevel2; hysteresis in
 * volts. eventTime is negative when there is no such event; eventLevel is the signal at it. */
KORA_PLATFORM_API int32_t SIGANL_FindWaveformEvent(
    long context, long handle, long count, const double samples[], double sampleInterval,
    double startTime, double stopTime, const char* direction, const char* slope, long occurrence,
    const char* reference, double refLevel1, double refLevel2, double hysteresis, double* eventTime,
    double* eventLevel, short* status, int32_t* code, char message[CLASSLIB_MESSAGE_SIZE]);
/* `parameter` ("VOLTAGE_AVERAGE") of the samples between fromTime and toTime (seconds). */
KORA_PLATFORM_API int32_t SIGANL_CalculateWaveformParameter(
    long context, long handle, long count, const double samples[], double sampleInterval,
    double fromTime, double toTime, const char* parameter, double* value, short* status,
    int32_t* code, char message[CLASSLIB_MESSAGE_SIZE]);
/* Frequency by `method` ("SLOPE", "SLOPE_AUTO", "FFT") with its two parameters, over fromTime to
 * toTime (both 0 = the whole record). */
KORA_PLATFORM_API int32_t SIGANL_CalculateFrequency(
    long context, long handle, long count, const double samples[], double sampleInterval,
    double fromTime, double toTime, const char* method, double parameter1, double parameter2,
    double* frequency, short* status, int32_t* code, char message[CLASSLIB_MESSAGE_SIZE]);
/* Loads up to count samples of `channel` from the data file `fileName` (format text as
 * SIGANL_ExportWaveformData writes it, "" = by the file's extension), starting at sample
 * `offset` of the file. */
KORA_PLATFORM_API int32_t SIGANL_ImportWaveformData(long context, long handle, const char* fileName,
                                                    const char* format, long channel, long offset,
                                                    long count, double samples[],
                                                    int32_t* countLoaded, short* status,
                                                    int32_t* code,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);
/* Writes count samples to `fileName`; append non-zero adds them to an existing file. */
KORA_PLATFORM_API int32_t SIGANL_ExportWaveformData(long context, long handle, const char* fileName,
                                                    const char* format, long append, long count,
                                                    const double samples[], short* status,
                                                    int32_t* code,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
