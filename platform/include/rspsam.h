/* rspsam: driver of the source and measure module (PSAM): a DC source (dcs) with force and
 * sense terminals, a measurement unit (mu) usable as voltmeter or ammeter, a discharge unit
 * (dch), trigger generators (trig), relay pairs and connections (cnx) of its terminals to the
 * eight analog bus lines.
 *
 * Terminals: 0 discharge unit, 1 force HI, 4 force LO, 2 sense HI, 3 sense LO, 5 and 8 the
 * measurement inputs. Bus-line masks: bit 7 ABa1, bit 3 ABa2, bit 6 ABb1, bit 2 ABb2, bit 5 ABc1,
 * bit 1 ABc2, bit 4 ABd1, bit 0 ABd2. Instrument-driver style: ViSession first, ViStatus result
 * (0 success, negative error, positive warning). */
#ifndef KORA_PLATFORM_RSPSAM_H
#define KORA_PLATFORM_RSPSAM_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspsam_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                       ViSession* vi);
/* As rspsam_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspsam_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                  ViBoolean reset, ViConstString optionString,
                                                  ViSession* vi);
KORA_PLATFORM_API ViStatus rspsam_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspsam_revision_query(ViSession vi,
                                                 ViChar driverRevision[VI_REVISION_SIZE],
                                                 ViChar firmwareRevision[VI_REVISION_SIZE]);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspsam_error_message(ViSession vi, ViStatus status,
                                                ViChar message[VI_ERROR_MESSAGE_SIZE]);

/* Codes the library's callers act on. */
#define RSPSAM_WARN_OVER_RANGE ((ViStatus)0x3FFA2001)   /* a read met over range (samples NaN) */
#define RSPSAM_ERROR_NO_SAMPLES ((ViStatus)0xBFFA402BL) /* a read delivered no sample */

/* Measurement functions of rspsam_ConfigureMeasurement. */
#define RSPSAM_FUNCTION_VOLTAGE 1
#define RSPSAM_FUNCTION_CURRENT 3

/* ---- module --------------------------------------------------------------------------------- */

/* Couples the module's bus relays to the analog bus: bit set = coupled (0 = all open). */
KORA_PLATFORM_API ViStatus rspsam_ConfigureCoupling(ViSession vi, ViInt32 couplingMask);
KORA_PLATFORM_API ViStatus rspsam_SetAttributeViInt32(ViSession vi, ViConstString channel,
                                                      ViAttr attribute, ViInt32 value);
/* Relay pair of the module's relay channels ("RACH1".."RACH4" with "RACOM", "RBCH1".."RBCH4"
 * with "RBCOM"). */
KORA_PLATFORM_API ViStatus rspsam_Connect(ViSession vi, ViConstString channel,
                                          ViConstString common);
KORA_PLATFORM_API ViStatus rspsam_Disconnect(ViSession vi, ViConstString channel,
                                             ViConstString common);

/* ---- connections ---------------------------------------------------------------------------- */

/* Connects (1) or releases (0) a terminal's ground relay. */
KORA_PLATFORM_API ViStatus rspsam_cnx_Gnd(ViSession vi, ViInt32 terminal, ViBoolean connect);
/* The bus lines in affectedMask are set for the terminal: connected where connectMask has the
 * bit, opened where not. */
KORA_PLATFORM_API ViStatus rspsam_cnx_Matrix(ViSession vi, ViInt32 terminal, ViInt32 affectedMask,
                                             ViInt32 connectMask);

/* ---- DC source ------------------------------------------------------------------------------ */

KORA_PLATFORM_API ViStatus rspsam_dcs_ConfigureVoltageLevel(ViSession vi, ViReal64 volts);
/* Current-limit range number (0 = the largest). */
KORA_PLATFORM_API ViStatus rspsam_dcs_ConfigureCurrentLimitRange(ViSession vi, ViInt32 range);
KORA_PLATFORM_API ViStatus rspsam_dcs_ConfigureCurrentLimit(ViSession vi, ViReal64 amperes);
KORA_PLATFORM_API ViStatus rspsam_dcs_ConfigureOutputEnabled(ViSession vi, ViBoolean enabled);
/* query 1: is the source limiting its current; query 0: is it regulating its voltage. */
KORA_PLATFORM_API ViStatus rspsam_dcs_QueryOutputState(ViSession vi, ViInt32 query,
                                                       ViBoolean* state);

/* ---- measurement unit ----------------------------------------------------------------------- */

/* Measurement method (0 = multi-point record). */
KORA_PLATFORM_API ViStatus rspsam_ConfigureDmmMethod(ViSession vi, ViInt32 method);
/* function RSPSAM_FUNCTION_VOLTAGE (range in volts) or RSPSAM_FUNCTION_CURRENT (amperes). */
KORA_PLATFORM_API ViStatus rspsam_ConfigureMeasurement(ViSession vi, ViInt32 function,
                                                       ViReal64 range);
/* triggerCount records of sampleCount samples, sampleTrigger 10 = internal clock,
 * sampleInterval in seconds. */
KORA_PLATFORM_API ViStatus rspsam_ConfigureMultiPoint(ViSession vi, ViInt32 triggerCount,
                                                      ViInt32 sampleCount, ViInt32 sampleTrigger,
                                                      ViReal64 sampleInterval);
/* Trigger source (1 = immediate) and delay in seconds. */
KORA_PLATFORM_API ViStatus rspsam_ConfigureTrigger(ViSession vi, ViInt32 source, ViReal64 delay);
/* Low-pass filter corner frequency in hertz. */
KORA_PLATFORM_API ViStatus rspsam_mu_ConfigureLowpassFilter(ViSession vi, ViReal64 frequency);
/* Arms the measurement unit. */
KORA_PLATFORM_API ViStatus rspsam_Initiate(ViSession vi);
/* Takes a record and copies up to count samples into buffer (timeout in ms). */
KORA_PLATFORM_API ViStatus rspsam_ReadMultiPoint(ViSession vi, ViInt32 timeoutMs, ViInt32 count,
                                                 ViReal64 buffer[], ViInt32* actualCount);
/* Copies up to count samples of a record taken after rspsam_Initiate. */
KORA_PLATFORM_API ViStatus rspsam_FetchMultiPoint(ViSession vi, ViInt32 timeoutMs, ViInt32 count,
                                                  ViReal64 buffer[], ViInt32* actualCount);

/* ---- trigger generators --------------------------------------------------------------------- */

KORA_PLATFORM_API ViStatus rspsam_trig_ConfigureSignal(ViSession vi, ViInt32 generator,
                                                       ViInt32 source, ViInt32 slope,
                                                       ViReal64 pulseWidth, ViReal64 pulsePause,
                                                       ViInt32 output, ViInt32 polarity,
                                                       ViInt32 delay, ViInt32 pulseCount);
KORA_PLATFORM_API ViStatus rspsam_trig_EnableOutput(ViSession vi, ViInt32 outputMask);
KORA_PLATFORM_API ViStatus rspsam_trig_SendSoftwareSignal(ViSession vi, ViInt32 generator);
KORA_PLATFORM_API ViStatus rspsam_trig_Abort(ViSession vi, ViInt32 generator);

/* ---- discharge unit ------------------------------------------------------------------------- */

/* Discharge current step 0..3 (higher = stronger). */
KORA_PLATFORM_API ViStatus rspsam_dch_ConfigureCurrent(ViSession vi, ViInt32 step);
KORA_PLATFORM_API ViStatus rspsam_dch_ConfigureEnabled(ViSession vi, ViBoolean enabled);

#ifdef __cplusplus
}
#endif

#endif
