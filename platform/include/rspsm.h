/* rspsm1 .. rspsm5: drivers of the power switching and multiplexer modules PSM1 to PSM5. Each
 * module switches the matrix lines "LABa1".."LABd2" onto the analog bus lines "ABa1".."ABd2".
 * The five drivers have the same calls under their own prefixes. Instrument-driver style:
 * ViSession first, ViStatus result. */
#ifndef KORA_PLATFORM_RSPSM_H
#define KORA_PLATFORM_RSPSM_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A disconnect of a pair that is not connected; callers treat it as success. */
#define RSPSM_ERROR_NOT_CONNECTED ((ViStatus)0xBFFA2008L)

/* ==== rspsm1: power switching module (PSM1) ==== */

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspsm1_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                       ViSession* vi);
/* As rspsm1_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspsm1_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                  ViBoolean reset, ViConstString optionString,
                                                  ViSession* vi);
KORA_PLATFORM_API ViStatus rspsm1_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspsm1_revision_query(ViSession vi,
                                                 ViChar driverRevision[VI_REVISION_SIZE],
                                                 ViChar firmwareRevision[VI_REVISION_SIZE]);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspsm1_error_message(ViSession vi, ViStatus status,
                                                ViChar message[VI_ERROR_MESSAGE_SIZE]);
/* Connects or disconnects a matrix line ("LABa1".."LABd2") and its bus line ("ABa1".."ABd2"). */
KORA_PLATFORM_API ViStatus rspsm1_Connect(ViSession vi, ViConstString matrixLine,
                                          ViConstString busLine);
KORA_PLATFORM_API ViStatus rspsm1_Disconnect(ViSession vi, ViConstString matrixLine,
                                             ViConstString busLine);

/* ==== rspsm2: multiplex/switch module (PSM2) ==== */

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspsm2_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                       ViSession* vi);
/* As rspsm2_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspsm2_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                  ViBoolean reset, ViConstString optionString,
                                                  ViSession* vi);
KORA_PLATFORM_API ViStatus rspsm2_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspsm2_revision_query(ViSession vi,
                                                 ViChar driverRevision[VI_REVISION_SIZE],
                                                 ViChar firmwareRevision[VI_REVISION_SIZE]);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspsm2_error_message(ViSession vi, ViStatus status,
                                                ViChar message[VI_ERROR_MESSAGE_SIZE]);
/* Connects or disconnects a matrix line ("LABa1".."LABd2") and its bus line ("ABa1".."ABd2"). */
KORA_PLATFORM_API ViStatus rspsm2_Connect(ViSession vi, ViConstString matrixLine,
                                          ViConstString busLine);
KORA_PLATFORM_API ViStatus rspsm2_Disconnect(ViSession vi, ViConstString matrixLine,
                                             ViConstString busLine);

/* ==== rspsm3: power switching module up to 30 A (PSM3) ==== */

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspsm3_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                       ViSession* vi);
/* As rspsm3_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspsm3_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                  ViBoolean reset, ViConstString optionString,
                                                  ViSession* vi);
KORA_PLATFORM_API ViStatus rspsm3_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspsm3_revision_query(ViSession vi,
                                                 ViChar driverRevision[VI_REVISION_SIZE],
                                                 ViChar firmwareRevision[VI_REVISION_SIZE]);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspsm3_error_message(ViSession vi, ViStatus status,
                                                ViChar message[VI_ERROR_MESSAGE_SIZE]);
/* Connects or disconnects a matrix line ("LABa1".."LABd2") and its bus line ("ABa1".."ABd2"). */
KORA_PLATFORM_API ViStatus rspsm3_Connect(ViSession vi, ViConstString matrixLine,
                                          ViConstString busLine);
KORA_PLATFORM_API ViStatus rspsm3_Disconnect(ViSession vi, ViConstString matrixLine,
                                             ViConstString busLine);

/* ==== rspsm4: power switching module up to 16 A (PSM4) ==== */

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspsm4_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                       ViSession* vi);
/* As rspsm4_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspsm4_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                  ViBoolean reset, ViConstString optionString,
                                                  ViSession* vi);
KORA_PLATFORM_API ViStatus rspsm4_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspsm4_revision_query(ViSession vi,
                                                 ViChar driverRevision[VI_REVISION_SIZE],
                                                 ViChar firmwareRevision[VI_REVISION_SIZE]);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspsm4_error_message(ViSession vi, ViStatus status,
                                                ViChar message[VI_ERROR_MESSAGE_SIZE]);
/* Connects or disconnects a matrix line ("LABa1".."LABd2") and its bus line ("ABa1".."ABd2"). */
KORA_PLATFORM_API ViStatus rspsm4_Connect(ViSession vi, ViConstString matrixLine,
                                          ViConstString busLine);
KORA_PLATFORM_API ViStatus rspsm4_Disconnect(ViSession vi, ViConstString matrixLine,
                                             ViConstString busLine);

/* ==== rspsm5: power switching module up to 16 A (PSM5) ==== */

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspsm5_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                       ViSession* vi);
/* As rspsm5_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspsm5_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                  ViBoolean reset, ViConstString optionString,
                                                  ViSession* vi);
KORA_PLATFORM_API ViStatus rspsm5_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspsm5_revision_query(ViSession vi,
                                                 ViChar driverRevision[VI_REVISION_SIZE],
                                                 ViChar firmwareRevision[VI_REVISION_SIZE]);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspsm5_error_message(ViSession vi, ViStatus status,
                                                ViChar message[VI_ERROR_MESSAGE_SIZE]);
/* Connects or disconnects a matrix line ("LABa1".."LABd2") and its bus line ("ABa1".."ABd2"). */
KORA_PLATFORM_API ViStatus rspsm5_Connect(ViSession vi, ViConstString matrixLine,
                                          ViConstString busLine);
KORA_PLATFORM_API ViStatus rspsm5_Disconnect(ViSession vi, ViConstString matrixLine,
                                             ViConstString busLine);

#ifdef __cplusplus
}
#endif

#endif
