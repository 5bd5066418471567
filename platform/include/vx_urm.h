/* VX_Urm: the library of the universal relay/IO modules (four banks A..D of eight bits 0..7,
 * each bit an input or a relay output). Instrument-driver style: ViSession handle first,
 * ViStatus result (0 success). */
#ifndef KORA_PLATFORM_VX_URM_H
#define KORA_PLATFORM_VX_URM_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VX_URM_TEXT_SIZE 256

/* Bit modes of VX_Urm_Set_Mode. */
#define VX_URM_MODE_INPUT 0
#define VX_URM_MODE_OUTPUT 1

/* One module found by VX_Urm_Scan. */
typedef struct VX_URM_MODULE_INFO {
    char description[VX_URM_TEXT_SIZE];  /* module description */
    char manufacturer[VX_URM_TEXT_SIZE]; /* manufacturer */
    char model[VX_URM_TEXT_SIZE];        /* model */
    char deviceName[VX_URM_TEXT_SIZE];   /* unique device name */
    char serialNumber[VX_URM_TEXT_SIZE]; /* serial number */
    char revision[VX_URM_TEXT_SIZE];     /* firmware and driver revision */
    char resourceDesc[VX_URM_TEXT_SIZE]; /* resource descriptor for VX_Urm_Open_With_Options */
    char driverOption[VX_URM_TEXT_SIZE]; /* suggested driver options */
    char extra[4][VX_URM_TEXT_SIZE];     /* further module texts, "" when unused */
    ViInt32 frame;                       /* frame (chassis) number */
    ViInt32 slot;                        /* slot in the frame */
} VX_URM_MODULE_INFO;

/* Lists up to maxCount modules present into modules; found receives the number written. */
KORA_PLATFORM_API ViStatus VX_Urm_Scan(VX_URM_MODULE_INFO modules[], ViInt32 maxCount,
                                       ViInt32* found);
/* Opens the module of `resourceDesc` as model `model` ("GEN"); hardware 0 simulates the module
 * instead of talking to it. */
KORA_PLATFORM_API ViStatus VX_Urm_Open_With_Options(ViConstString model, ViRsrc resourceDesc,
                                                    ViInt32 hardware, ViSession* handle);
KORA_PLATFORM_API ViStatus VX_Urm_Close(ViSession handle);
/* The library's version text and the module's firmware text, each at most VI_REVISION_SIZE
 * characters with the terminator. */
KORA_PLATFORM_API ViStatus VX_Urm_Revision_Query(ViSession handle,
                                                 ViChar driverRevision[VI_REVISION_SIZE],
                                                 ViChar firmwareRevision[VI_REVISION_SIZE]);
/* bank 0..3 (A..D), bit 0..7, mode VX_URM_MODE_INPUT or VX_URM_MODE_OUTPUT. */
KORA_PLATFORM_API ViStatus VX_Urm_Set_Mode(ViSession handle, ViInt32 bank, ViInt32 bit,
                                           ViInt32 mode);
/* Switches an output bit on (1) or off (0). */
KORA_PLATFORM_API ViStatus VX_Urm_Set(ViSession handle, ViInt32 bank, ViInt32 bit, ViInt32 state);
/* State of a bit: 1 on, 0 off. */
KORA_PLATFORM_API ViStatus VX_Urm_Get(ViSession handle, ViInt32 bank, ViInt32 bit, ViInt32* value);

#ifdef __cplusplus
}
#endif

#endif
