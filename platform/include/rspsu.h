/* rspsu: driver of the power supply/load module (PSU): two channels "CH1" and "CH2" whose
 * terminals ("CH1_HI", "CH1_LO", "CH2_HI", "CH2_LO", and the sense terminals "CH1_SHI",
 * "CH1_SLO", "CH2_SHI", "CH2_SLO") connect to the analog bus lines "ABa1".."ABd2".
 * Instrument-driver style: ViSession first, ViStatus result. */
#ifndef KORA_PLATFORM_RSPSU_H
#define KORA_PLATFORM_RSPSU_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspsu_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                      ViSession* vi);
/* As rspsu_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspsu_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                 ViBoolean reset, ViConstString optionString,
                                                 ViSession* vi);
KORA_PLATFORM_API ViStatus rspsu_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspsu_revision_query(ViSession vi,
                                                ViChar driverRevision[VI_REVISION_SIZE],
                                                ViChar firmwareRevision[VI_REVISION_SIZE]);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspsu_error_message(ViSession vi, ViStatus status,
                                               ViChar message[VI_ERROR_MESSAGE_SIZE]);

/* Range kinds of rspsu_ConfigureOutputRange. */
#define RSPSU_RANGE_CURRENT 0
#define RSPSU_RANGE_VOLTAGE 1
/* Quantities of rspsu_Measure. */
#define RSPSU_MEASURE_CURRENT 0
#define RSPSU_MEASURE_VOLTAGE 1

/* Couples the module's bus relays: bit set = coupled (0 = all open). */
KORA_PLATFORM_API ViStatus rspsu_ConfigureCoupling(ViSession vi, ViInt32 couplingMask);
/* Connects or disconnects one terminal to one bus line. */
KORA_PLATFORM_API ViStatus rspsu_Connect(ViSession vi, ViConstString terminal, ViConstString line);
KORA_PLATFORM_API ViStatus rspsu_Disconnect(ViSession vi, ViConstString terminal,
                                            ViConstString line);
KORA_PLATFORM_API ViStatus rspsu_DisconnectAll(ViSession vi);

/* Channel operating mode (0 = supply). */
KORA_PLATFORM_API ViStatus rspsu_ConfigureMode(ViSession vi, ViConstString channel, ViInt32 mode);
/* Range of kind RSPSU_RANGE_CURRENT (amperes) or RSPSU_RANGE_VOLTAGE (volts). */
KORA_PLATFORM_API ViStatus rspsu_ConfigureOutputRange(ViSession vi, ViConstString channel,
                                                      ViInt32 kind, ViReal64 range);
KORA_PLATFORM_API ViStatus rspsu_ConfigureVoltageLevel(ViSession vi, ViConstString channel,
                                                       ViReal64 volts);
KORA_PLATFORM_API ViStatus rspsu_ConfigureCurrentLimit(ViSession vi, ViConstString channel,
                                                       ViReal64 amperes);
KORA_PLATFORM_API ViStatus rspsu_ConfigureOutputEnabled(ViSession vi, ViConstString channel,
                                                        ViBoolean enabled);
/* Connects (1) or releases (0) the channel's LO terminal to ground. */
KORA_PLATFORM_API ViStatus rspsu_ConfigureGround(ViSession vi, ViConstString channel,
                                                 ViBoolean grounded);
KORA_PLATFORM_API ViStatus rspsu_ConfigureRemoteSensing(ViSession vi, ViConstString channel,
                                                        ViBoolean enabled);
/* Averaging of rspsu_Measure: sampleCount samples sampleInterval seconds apart, trigger source
 * (0 = immediate). */
KORA_PLATFORM_API ViStatus rspsu_ConfigureMeasurement(ViSession vi, ViConstString channel,
                                                      ViInt32 sampleCount, ViReal64 sampleInterval,
                                                      ViInt32 triggerSource);
/* Measures RSPSU_MEASURE_CURRENT (amperes) or RSPSU_MEASURE_VOLTAGE (volts) of a channel. */
KORA_PLATFORM_API ViStatus rspsu_Measure(ViSession vi, ViConstString channel, ViInt32 quantity,
                                         ViReal64* value);
/* Whether the channel runs at its current limit now (VI_TRUE) or regulates its voltage. */
KORA_PLATFORM_API ViStatus rspsu_QueryCurrentLimit(ViSession vi, ViConstString channel,
                                                   ViBoolean* limited);

#ifdef __cplusplus
}
#endif

#endif
