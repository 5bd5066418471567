/* rspict: driver of the ICT expansion module (PICT): an analog output source (aos) for DC and
 * sine stimuli, a complex measurement unit (cmu, a virtual-ground ammeter that records current),
 * and guard switches (cnx). Instrument-driver style: ViSession first, ViStatus result. */
#ifndef KORA_PLATFORM_RSPICT_H
#define KORA_PLATFORM_RSPICT_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspict_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                       ViSession* vi);
/* As rspict_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspict_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                  ViBoolean reset, ViConstString optionString,
                                                  ViSession* vi);
KORA_PLATFORM_API ViStatus rspict_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspict_revision_query(ViSession vi,
                                                 ViChar driverRevision[VI_REVISION_SIZE],
                                                 ViChar firmwareRevision[VI_REVISION_SIZE]);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspict_error_message(ViSession vi, ViStatus status,
                                                ViChar message[VI_ERROR_MESSAGE_SIZE]);

/* CMU states reported by rspict_cmu_FetchData. */
#define RSPICT_CMU_STATE_OK 0
#define RSPICT_CMU_STATE_UNDER_RANGE 1
#define RSPICT_CMU_STATE_OVER_RANGE 2
#define RSPICT_CMU_STATE_TIMEOUT 4
/* rspict_cmu_Read: the record holds no sample. */
#define RSPICT_ERROR_NO_SAMPLES ((ViStatus)0xBFFA402BL)

/* Waits until stimulus and switches have settled. */
KORA_PLATFORM_API ViStatus rspict_WaitForSettling(ViSession vi);

/* ---- analog output source ------------------------------------------------------------------- */

/* mode 1 DC, 0 AC (sine). */
KORA_PLATFORM_API ViStatus rspict_aos_SetMode(ViSession vi, ViInt32 mode);
/* Sine stimulus: frequency code 0 100 Hz, 1 1 kHz, 2 10 kHz; amplitude code 0 0.1 V, 1 0.2 V,
 * 2 1 V; offset code 0 none, 1 positive, 2 negative. */
KORA_PLATFORM_API ViStatus rspict_aos_ConfigureIct(ViSession vi, ViInt32 frequencyCode,
                                                   ViInt32 amplitudeCode, ViInt32 offsetCode);
/* DC stimulus: range (0, 10, 100 or 1000), its code (0, 1, 2, 3) and the level in volts. */
KORA_PLATFORM_API ViStatus rspict_aos_ConfigureDc(ViSession vi, ViInt32 range, ViInt32 rangeCode,
                                                  ViReal64 level);
KORA_PLATFORM_API ViStatus rspict_aos_EnableOutput(ViSession vi, ViBoolean enabled);

/* ---- complex measurement unit --------------------------------------------------------------- */

KORA_PLATFORM_API ViStatus rspict_cmu_ConfigAutoRange(ViSession vi, ViBoolean enabled);
/* Signal conditioning: signal code (0 open, 1, 2), gain code (0..16, current ranges 1e-6 A ..
 * 0.1 A in 1-2-5 steps and above), coupling (1), filter code (3 400 Hz, 2 4 kHz, 1 40 kHz,
 * 0 wide) and the gain range in amperes. */
KORA_PLATFORM_API ViStatus rspict_cmu_ConfigureSigCon(ViSession vi, ViInt32 signalCode,
                                                      ViInt32 gainCode, ViInt32 coupling,
                                                      ViInt32 filterCode, ViReal64 gainRange);
/* Trigger source (1 = immediate) and delay in seconds. */
KORA_PLATFORM_API ViStatus rspict_cmu_ConfigureTrigger(ViSession vi, ViInt32 source,
                                                       ViReal64 delay);
/* Record of sampleCount samples sampleInterval seconds apart. */
KORA_PLATFORM_API ViStatus rspict_cmu_ConfigureRecorder(ViSession vi, ViInt32 sampleCount,
                                                        ViReal64 sampleInterval);
KORA_PLATFORM_API ViStatus rspict_cmu_Initiate(ViSession vi);
/* Copies up to count samples of a record taken after rspict_cmu_Initiate, with the range used
 * (amperes) and the CMU state (RSPICT_CMU_STATE_…). */
KORA_PLATFORM_API ViStatus rspict_cmu_FetchData(ViSession vi, ViInt32 timeoutMs, ViInt32 count,
                                                ViReal64 buffer[], ViInt32* actualCount,
                                                ViReal64* range, ViInt32* state);
/* Takes a record and copies up to count samples into buffer. */
KORA_PLATFORM_API ViStatus rspict_cmu_Read(ViSession vi, ViInt32 timeoutMs, ViInt32 count,
                                           ViReal64 buffer[], ViInt32* actualCount);

/* ---- switches ------------------------------------------------------------------------------- */

/* The five guard and input switch masks of the CMU (mask 5 first). */
KORA_PLATFORM_API ViStatus rspict_cnx_ConfigureSwitches(ViSession vi, ViInt32 mask5, ViInt32 mask1,
                                                        ViInt32 mask2, ViInt32 mask3,
                                                        ViInt32 mask4);

#ifdef __cplusplus
}
#endif

#endif
