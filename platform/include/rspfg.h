/* rspfg: driver of the function generator module (PFG), as far as the library uses it beside
 * the FUNCGEN class library. Instrument-driver style: ViSession first, ViStatus result. */
#ifndef KORA_PLATFORM_RSPFG_H
#define KORA_PLATFORM_RSPFG_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspfg_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                      ViSession* vi);
/* As rspfg_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspfg_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                 ViBoolean reset, ViConstString optionString,
                                                 ViSession* vi);
KORA_PLATFORM_API ViStatus rspfg_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspfg_revision_query(ViSession vi,
                                                ViChar driverRevision[VI_REVISION_SIZE],
                                                ViChar firmwareRevision[VI_REVISION_SIZE]);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspfg_error_message(ViSession vi, ViStatus status,
                                               ViChar message[VI_ERROR_MESSAGE_SIZE]);

/* Couples the module's bus relays: bit set = coupled (0 = all open). */
KORA_PLATFORM_API ViStatus rspfg_ConfigureCoupling(ViSession vi, ViInt32 couplingMask);

#ifdef __cplusplus
}
#endif

#endif
