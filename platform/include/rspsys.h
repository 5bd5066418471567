/* rspsys: driver of the system modules (PSYS1, PSYS2), as far as the library uses it: the revision
 * query of the device scan. Instrument-driver style: ViSession first, ViStatus result. */
#ifndef KORA_PLATFORM_RSPSYS_H
#define KORA_PLATFORM_RSPSYS_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspsys_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                       ViSession* vi);
/* As rspsys_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspsys_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                  ViBoolean reset, ViConstString optionString,
                                                  ViSession* vi);
KORA_PLATFORM_API ViStatus rspsys_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspsys_revision_query(ViSession vi,
                                                 ViChar driverRevision[VI_REVISION_SIZE],
                                                 ViChar firmwareRevision[VI_REVISION_SIZE]);

/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspsys_error_message(ViSession vi, ViStatus status,
                                                ViChar message[VI_ERROR_MESSAGE_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
