/* rsphdt: driver of the high-speed digital test module (PHDT), as far as the library uses it: the
 * revision query of the device scan. Instrument-driver style: ViSession first, ViStatus result. */
#ifndef KORA_PLATFORM_RSPHDT_H
#define KORA_PLATFORM_RSPHDT_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rsphdt_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                       ViSession* vi);
/* As rsphdt_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rsphdt_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                  ViBoolean reset, ViConstString optionString,
                                                  ViSession* vi);
KORA_PLATFORM_API ViStatus rsphdt_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rsphdt_revision_query(ViSession vi,
                                                 ViChar driverRevision[VI_REVISION_SIZE],
                                                 ViChar firmwareRevision[VI_REVISION_SIZE]);

/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rsphdt_error_message(ViSession vi, ViStatus status,
                                                ViChar message[VI_ERROR_MESSAGE_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
