/* FUNCGEN: the function/arbitrary waveform generator instrument-class library (two channels,
 * "CH1" and "CH2").
 *
 * Conventions of every class library (platform_types.h): context 0, the generator handle from
 * FUNCGEN_Setup, the values, the status block. An empty channel text addresses both channels
 * where a call takes a channel. Arbitrary waveforms and sequences are named by integer handles
 * that stay valid until cleared or until FUNCGEN_Reset. */
#ifndef KORA_PLATFORM_FUNCGEN_H
#define KORA_PLATFORM_FUNCGEN_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- library and device lifetime ------------------------------------------------------------ */

/* Opens the generator `deviceName` with the resource descriptor and driver options of its
 * physical-layer section. */
KORA_PLATFORM_API int32_t FUNCGEN_Setup(long context, const char* deviceName,
                                        const char* resourceDesc, const char* driverOption,
                                        int32_t* handle, int32_t* warning, int32_t* error,
                                        char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t FUNCGEN_Cleanup(long context, long handle, int32_t* warning,
                                          int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t FUNCGEN_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE],
                                              int32_t* warning, int32_t* error,
                                              char message[CLASSLIB_MESSAGE_SIZE]);
/* Start state: outputs off, all waveforms and sequences cleared. */
KORA_PLATFORM_API int32_t FUNCGEN_Reset(long context, long handle, int32_t* warning, int32_t* error,
                                        char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- output --------------------------------------------------------------------------------- */

KORA_PLATFORM_API int32_t FUNCGEN_ConfigureOutputEnabled(long context, long handle,
                                                         const char* channel, long enabled,
                                                         int32_t* warning, int32_t* error,
                                                         char message[CLASSLIB_MESSAGE_SIZE]);
/* "FUNCTION", "ARBITRARY" or "SEQUENCE". */
KORA_PLATFORM_API int32_t FUNCGEN_ConfigureOutputMode(long context, long handle,
                                                      const char* channel, const char* mode,
                                                      int32_t* warning, int32_t* error,
                                                      char message[CLASSLIB_MESSAGE_SIZE]);
/* "CONTINUOUS" or "BURST" (cycles per trigger from FUNCGEN_ConfigureBurstCount). */
KORA_PLATFORM_API int32_t FUNCGEN_ConfigureOperationMode(long context, long handle,
                                                         const char* channel, const char* mode,
                                                         int32_t* warning, int32_t* error,
                                                         char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t FUNCGEN_ConfigureBurstCount(long context, long handle,
                                                      const char* channel, long count,
                                                      int32_t* warning, int32_t* error,
                                                      char message[CLASSLIB_MESSAGE_SIZE]);
/* waveform: "DC", "SINE", "SQUARE", "TRIANGLE", "RAMP_UP", "RAMP_DOWN"; amplitude in volts
 * peak-to-peak, offset in volts, frequency in hertz, phase in degrees, dutyCycle in percent. */
KORA_PLATFORM_API int32_t FUNCGEN_ConfigureStandardWaveform(
    long context, long handle, const char* channel, const char* waveform, double amplitude,
    double offset, double frequency, double phase, double dutyCycle, int32_t* warning,
    int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
/* Ground relay of a channel closed (1) or open (0). */
KORA_PLATFORM_API int32_t FUNCGEN_ConfigureGroundRelay(long context, long handle,
                                                       const char* channel, long enable,
                                                       int32_t* warning, int32_t* error,
                                                       char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- arbitrary waveforms and sequences ------------------------------------------------------ */

/* Loads count samples (normalised to -1..1) and returns the waveform handle. */
KORA_PLATFORM_API int32_t FUNCGEN_CreateArbWaveform(long context, long handle, long count,
                                                    const double samples[], int32_t* waveformHandle,
                                                    int32_t* warning, int32_t* error,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t FUNCGEN_ClearArbWaveform(long context, long handle, long waveformHandle,
                                                   int32_t* warning, int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);
/* Marker of the waveform: one value per sample (non-zero = marker active). */
KORA_PLATFORM_API int32_t FUNCGEN_ConfigureArbMarker(long context, long handle, const char* channel,
                                                     long waveformHandle, const double markers[],
                                                     int32_t* warning, int32_t* error,
                                                     char message[CLASSLIB_MESSAGE_SIZE]);
/* Plays the waveform on the channel with gain (volts at sample 1.0) and offset (volts). */
KORA_PLATFORM_API int32_t FUNCGEN_ConfigureArbWaveform(long context, long handle,
                                                       const char* channel, long waveformHandle,
                                                       double gain, double offset, int32_t* warning,
                                                       int32_t* error,
                                                       char message[CLASSLIB_MESSAGE_SIZE]);
/* Repetition rate of the waveform or sequence in hertz. */
KORA_PLATFORM_API int32_t FUNCGEN_ConfigureArbFrequency(long context, long handle,
                                                        const char* channel, double frequency,
                                                        int32_t* warning, int32_t* error,
                                                        char message[CLASSLIB_MESSAGE_SIZE]);
/* A sequence that plays `count` waveforms in order; returns its handle. */
KORA_PLATFORM_API int32_t FUNCGEN_CreateArbSequence(long context, long handle, long count,
                                                    const long waveformHandles[],
                                                    int32_t* sequenceHandle, int32_t* warning,
                                                    int32_t* error,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t FUNCGEN_ClearArbSequence(long context, long handle, long sequenceHandle,
                                                   int32_t* warning, int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t FUNCGEN_ConfigureArbSequence(long context, long handle,
                                                       const char* channel, long sequenceHandle,
                                                       double gain, double offset, int32_t* warning,
                                                       int32_t* error,
                                                       char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- triggering ----------------------------------------------------------------------------- */

/* "INTERNAL", "SOFTWARE", "TTL0".."TTL7", "XTI1", "XTI2". */
KORA_PLATFORM_API int32_t FUNCGEN_ConfigureTriggerSource(long context, long handle,
                                                         const char* channel, const char* source,
                                                         int32_t* warning, int32_t* error,
                                                         char message[CLASSLIB_MESSAGE_SIZE]);
/* Delay after the trigger in seconds. */
KORA_PLATFORM_API int32_t FUNCGEN_ConfigureTriggerDelay(long context, long handle,
                                                        const char* channel, double delay,
                                                        int32_t* warning, int32_t* error,
                                                        char message[CLASSLIB_MESSAGE_SIZE]);
/* Marker output "MO1"/"MO2" of a channel on or off with polarity "HIGH" or "LOW". */
KORA_PLATFORM_API int32_t FUNCGEN_ConfigureMarkerOutput(long context, long handle,
                                                        const char* channel, const char* marker,
                                                        long enable, const char* polarity,
                                                        int32_t* warning, int32_t* error,
                                                        char message[CLASSLIB_MESSAGE_SIZE]);
/* Starts generation on every enabled channel (a positive result is a warning). */
KORA_PLATFORM_API int32_t FUNCGEN_InitiateGeneration(long context, long handle, int32_t* warning,
                                                     int32_t* error,
                                                     char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t FUNCGEN_SendSoftwareTrigger(long context, long handle,
                                                      const char* channel, int32_t* warning,
                                                      int32_t* error,
                                                      char message[CLASSLIB_MESSAGE_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
