/* rspam: driver of the signal analyzer module (PAM), as far as the library uses it beside the
 * SIGANL class library. Instrument-driver style: ViSession first, ViStatus result. */
#ifndef KORA_PLATFORM_RSPAM_H
#define KORA_PLATFORM_RSPAM_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspam_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                      ViSession* vi);
/* As rspam_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspam_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                 ViBoolean reset, ViConstString optionString,
                                                 ViSession* vi);
KORA_PLATFORM_API ViStatus rspam_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspam_revision_query(ViSession vi,
                                                ViChar driverRevision[VI_REVISION_SIZE],
                                                ViChar firmwareRevision[VI_REVISION_SIZE]);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspam_error_message(ViSession vi, ViStatus status,
                                               ViChar message[VI_ERROR_MESSAGE_SIZE]);

/* Acquisition states of rspam_AcquisitionStatusPath. */
#define RSPAM_ACQ_UNKNOWN (-1)
#define RSPAM_ACQ_IN_PROGRESS 0
#define RSPAM_ACQ_COMPLETE 1

/* Couples the module's bus relays: bit set = coupled (0 = all open). */
KORA_PLATFORM_API ViStatus rspam_ConfigureCoupling(ViSession vi, ViInt32 couplingMask);
/* State of the acquisition of path 0 (A) or 1 (B). */
KORA_PLATFORM_API ViStatus rspam_AcquisitionStatusPath(ViSession vi, ViInt32 path, ViInt32* status);

#ifdef __cplusplus
}
#endif

#endif
