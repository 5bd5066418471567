/* rspio2: driver of the analog and digital I/O module (PIO2): channels "CH1".."CH16" in the
 * groups "GRP_A" (CH1..CH4) .. "GRP_D" (CH13..CH16); differential measurement channels are
 * named "CH1-CH9" .. "CH8-CH16". Digital states and masks are 16 bits, bit n-1 = CHn; group
 * masks bit 0 = GRP_A .. bit 3 = GRP_D. Instrument-driver style: ViSession first, ViStatus
 * result. */
#ifndef KORA_PLATFORM_RSPIO2_H
#define KORA_PLATFORM_RSPIO2_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspio2_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                       ViSession* vi);
/* As rspio2_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspio2_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                  ViBoolean reset, ViConstString optionString,
                                                  ViSession* vi);
KORA_PLATFORM_API ViStatus rspio2_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspio2_revision_query(ViSession vi,
                                                 ViChar driverRevision[VI_REVISION_SIZE],
                                                 ViChar firmwareRevision[VI_REVISION_SIZE]);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspio2_error_message(ViSession vi, ViStatus status,
                                                ViChar message[VI_ERROR_MESSAGE_SIZE]);

/* Codes the library's callers act on. */
#define RSPIO2_WARN_OVER_RANGE ((ViStatus)0x3FFA4001) /* rspio2_FetchAverage: input over range */

/* Attributes of rspio2_GetAttributeViReal64. */
#define RSPIO2_ATTR_OUTPUT_LOW_LEVEL 0x118C51       /* channel */
#define RSPIO2_ATTR_OUTPUT_HIGH_LEVEL 0x118C52      /* channel */
#define RSPIO2_ATTR_GROUP_OUTPUT_LOW_LEVEL 0x118C54 /* group */
#define RSPIO2_ATTR_GROUP_INPUT_HIGH_LEVEL 0x118C55 /* group */
#define RSPIO2_ATTR_GROUP_INPUT_LOW_LEVEL 0x118C56  /* group */
#define RSPIO2_ATTR_SQUARE_WAVE_FREQUENCY 0x118C57  /* group */
#define RSPIO2_ATTR_SQUARE_WAVE_DUTY_CYCLE 0x118C58 /* group */

/* Channel modes of rspio2_ConfigureChannelMode. */
#define RSPIO2_MODE_ANALOG 0
#define RSPIO2_MODE_WAVEFORM 1
#define RSPIO2_MODE_DIGITAL 2
#define RSPIO2_MODE_PATTERN 3
#define RSPIO2_MODE_PWM 4

/* Trigger sources of rspio2_ConfigureTriggerSource: 0 immediate, 1 XTI, 2 software, 3..10
 * PXI0..PXI7. Trigger output events: 0 GPT, 1 SEQSTART, 2 SCLK. */

KORA_PLATFORM_API ViStatus rspio2_reset(ViSession vi);
/* Couples the module's bus relays: bit set = coupled (0 = all open). */
KORA_PLATFORM_API ViStatus rspio2_ConfigureCoupling(ViSession vi, ViInt32 couplingMask);
KORA_PLATFORM_API ViStatus rspio2_GetAttributeViReal64(ViSession vi, ViConstString channelOrGroup,
                                                       ViAttr attribute, ViReal64* value);
/* Waits until switched relays have settled, at most maxTimeMs milliseconds. */
KORA_PLATFORM_API ViStatus rspio2_WaitForDebounce(ViSession vi, ViInt32 maxTimeMs);

/* ---- channels and groups -------------------------------------------------------------------- */

/* Output relay of a channel: 0 open, 1 to the output, 2 to the analog input. */
KORA_PLATFORM_API ViStatus rspio2_ConfigureOutputMux(ViSession vi, ViConstString channel,
                                                     ViInt32 mux);
/* Module ground relay. */
KORA_PLATFORM_API ViStatus rspio2_ConfigureGround(ViSession vi, ViBoolean grounded);
KORA_PLATFORM_API ViStatus rspio2_ConfigureChannelMode(ViSession vi, ViConstString channel,
                                                       ViInt32 mode);
/* High and low output levels of a channel in volts. */
KORA_PLATFORM_API ViStatus rspio2_ConfigureChannelLevels(ViSession vi, ViConstString channel,
                                                         ViReal64 highLevel, ViReal64 lowLevel);
/* Output current limit of CH4, CH8, CH12 or CH16 in amperes. */
KORA_PLATFORM_API ViStatus rspio2_ConfigureChannelCurrentLimit(ViSession vi, ViConstString channel,
                                                               ViReal64 amperes);
/* Digital levels of a group in volts: output low, input high threshold, input low threshold. */
KORA_PLATFORM_API ViStatus rspio2_ConfigureGroup(ViSession vi, ViConstString group,
                                                 ViReal64 outputLow, ViReal64 inputHigh,
                                                 ViReal64 inputLow);
/* Square wave of a group: frequency in hertz, duty cycle in percent. */
KORA_PLATFORM_API ViStatus rspio2_ConfigureSquareWave(ViSession vi, ViConstString group,
                                                      ViReal64 frequency, ViReal64 dutyCycle);
/* Square wave on for the groups set in both masks, off for those only in groupMask. */
KORA_PLATFORM_API ViStatus rspio2_SquareWaveEnabled(ViSession vi, ViInt32 groupMask,
                                                    ViInt32 enableMask);
/* Remote sensing of CH4, CH8, CH12 or CH16. */
KORA_PLATFORM_API ViStatus rspio2_ConfigureRemoteSensing(ViSession vi, ViConstString channel,
                                                         ViBoolean enabled);
/* Digital outputs in mask take the state of the same bit of state. */
KORA_PLATFORM_API ViStatus rspio2_SetDigitalOutputState(ViSession vi, ViUInt16 mask,
                                                        ViUInt16 state);

/* ---- acquisition and stimulus --------------------------------------------------------------- */

/* count samples sampleTime seconds apart, for acquisitions and stimulus memories alike. */
KORA_PLATFORM_API ViStatus rspio2_ConfigureSampling(ViSession vi, ViInt32 count,
                                                    ViReal64 sampleTime);
/* Analog measurement of a channel (single-ended or differential) with its range in volts. */
KORA_PLATFORM_API ViStatus rspio2_ConfigureAnalogMeasurement(ViSession vi, ViConstString channel,
                                                             ViReal64 range);
/* Starts the configured acquisition or stimulus. */
KORA_PLATFORM_API ViStatus rspio2_Initiate(ViSession vi);
KORA_PLATFORM_API ViStatus rspio2_Abort(ViSession vi);
KORA_PLATFORM_API ViStatus rspio2_SendSoftwareTrigger(ViSession vi);
/* Waits up to timeoutMs for the acquisition; the mean of its samples. */
KORA_PLATFORM_API ViStatus rspio2_FetchAverage(ViSession vi, ViInt32 timeoutMs, ViReal64* value);
/* Waits up to timeoutMs and copies up to count analog samples (actualCount may be null). */
KORA_PLATFORM_API ViStatus rspio2_FetchAnalog(ViSession vi, ViInt32 timeoutMs, ViInt32 count,
                                              ViReal64 samples[], ViInt32* actualCount);
/* Waits up to timeoutMs and copies up to count 16-bit input states (actualCount may be null);
 * with count 1 and no acquisition running, the present input state. */
KORA_PLATFORM_API ViStatus rspio2_FetchDigital(ViSession vi, ViInt32 timeoutMs, ViInt32 count,
                                               ViUInt16 states[], ViInt32* actualCount);
/* Loads the analog stimulus memory (volts) of the channel in waveform mode. */
KORA_PLATFORM_API ViStatus rspio2_SetAnalogWaveformMemory(ViSession vi, ViInt32 count,
                                                          const ViReal64 samples[]);
/* Loads the digital pattern memory. */
KORA_PLATFORM_API ViStatus rspio2_SetDigitalDynamicMemory(ViSession vi, ViInt32 count,
                                                          const ViUInt16 patterns[]);
KORA_PLATFORM_API ViStatus rspio2_ConfigureTriggerSource(ViSession vi, ViInt32 source);
/* Outputs by mask (PXI0..PXI7 = 0x1..0x80, XTO = 0x100) driven by `event`; polarityMask bits
 * set = active high; enableMask bits set = enabled. */
KORA_PLATFORM_API ViStatus rspio2_ConfigureTriggerOutput(ViSession vi, ViInt32 outputMask,
                                                         ViInt32 event, ViInt32 polarityMask,
                                                         ViInt32 enableMask);

/* ---- self-correction ------------------------------------------------------------------------ */

KORA_PLATFORM_API ViStatus rspio2_PerformAutoCorrection(ViSession vi);
KORA_PLATFORM_API ViStatus rspio2_PerformFastAutoCorrection(ViSession vi);

#ifdef __cplusplus
}
#endif

#endif
