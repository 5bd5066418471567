/* rspdft: driver of the digital functional test module (PDFT), as far as the library uses it:
 * its four pulse-width modulated power outputs "po1".."po4" (output bits 1, 2, 4, 8).
 * Instrument-driver style: ViSession first, ViStatus result. */
#ifndef KORA_PLATFORM_RSPDFT_H
#define KORA_PLATFORM_RSPDFT_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the module at resourceName; idQuery checks its identity, reset puts it into its
 * start state. */
KORA_PLATFORM_API ViStatus rspdft_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                       ViSession* vi);
/* As rspdft_init, with driver options ("Simulate=1,RangeCheck=1", ...). */
KORA_PLATFORM_API ViStatus rspdft_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                  ViBoolean reset, ViConstString optionString,
                                                  ViSession* vi);
KORA_PLATFORM_API ViStatus rspdft_close(ViSession vi);
/* Driver and firmware revision texts. */
KORA_PLATFORM_API ViStatus rspdft_revision_query(ViSession vi,
                                                 ViChar driverRevision[VI_REVISION_SIZE],
                                                 ViChar firmwareRevision[VI_REVISION_SIZE]);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus rspdft_error_message(ViSession vi, ViStatus status,
                                                ViChar message[VI_ERROR_MESSAGE_SIZE]);

/* Output states of rspdft_GetStatePWM. */
#define RSPDFT_PWM_OFF 0     /* 'S' */
#define RSPDFT_PWM_ON 1      /* 'N' */
#define RSPDFT_PWM_TRIPPED 2 /* 'T' */
#define RSPDFT_PWM_OPEN 3    /* 'O' */

/* PWM frequency in hertz of the outputs set in outputBits. */
KORA_PLATFORM_API ViStatus rspdft_ConfigurePWM(ViSession vi, ViInt32 outputBits,
                                               ViReal64 frequency);
/* Duty cycle in percent of the outputs set in outputBits (0 = off). */
KORA_PLATFORM_API ViStatus rspdft_SetStatePWM(ViSession vi, ViInt32 outputBits, ViReal64 dutyCycle);
/* States of po1..po4 (RSPDFT_PWM_…) into states[0..3]. */
KORA_PLATFORM_API ViStatus rspdft_GetStatePWM(ViSession vi, ViInt32 states[4]);

#ifdef __cplusplus
}
#endif

#endif
