/* UTIL: the utility instrument-class library: search of the modules present on the module
 * buses, their attributes, and a high-resolution time stamp.
 *
 * Calls follow the class-library conventions (platform_types.h). A module search returns a
 * list handle; modules of a list are numbered from 0 and read attribute by attribute. */
#ifndef KORA_PLATFORM_UTIL_H
#define KORA_PLATFORM_UTIL_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Module attributes. */
#define UTIL_ATTR_KIND 1           /* integer: module kind; text: module name */
#define UTIL_ATTR_BUS_ADDRESS 2    /* integer: node address of the module on its bus */
#define UTIL_ATTR_SLOT 3           /* integer: slot number (1..16, 0 unknown) */
#define UTIL_ATTR_RESOURCE_DESC 4  /* text: resource descriptor of the module */
#define UTIL_ATTR_DRIVER_LIBRARY 5 /* text: file name of the module's driver library */
#define UTIL_ATTR_DRIVER_PREFIX 6  /* text: prefix of the driver's functions */
#define UTIL_ATTR_SERIAL_NUMBER 7  /* text: serial number */
#define UTIL_ATTR_HW_REVISION 8    /* text: hardware revision */

/* Sort keys of UTIL_Module_Sort_List. */
#define UTIL_SORT_BY_KIND 1
#define UTIL_SORT_BY_SLOT 2

KORA_PLATFORM_API int32_t UTIL_Setup(long context, int32_t* warning, int32_t* error,
                                     char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t UTIL_Cleanup(long context, int32_t* warning, int32_t* error,
                                       char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t UTIL_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE],
                                           int32_t* warning, int32_t* error,
                                           char message[CLASSLIB_MESSAGE_SIZE]);

/* Searches the bus `bus` ("CAN0::0", "CAN0::1", "CAN1::0", "CAN1::1") and returns a list of the
 * modules found; release it with UTIL_Module_Free_List. */
KORA_PLATFORM_API int32_t UTIL_Module_Search(long context, const char* bus, int32_t* list,
                                             int32_t* count, int32_t* warning, int32_t* error,
                                             char message[CLASSLIB_MESSAGE_SIZE]);
/* Sorts a list in place by `sortKey`. */
KORA_PLATFORM_API int32_t UTIL_Module_Sort_List(long context, long list, long sortKey,
                                                int32_t* warning, int32_t* error,
                                                char message[CLASSLIB_MESSAGE_SIZE]);
/* Attribute `attribute` of module `index` of a list as an integer. */
KORA_PLATFORM_API int32_t UTIL_Module_Attribute_Int(long context, long list, long index,
                                                    long attribute, int32_t* value,
                                                    int32_t* warning, int32_t* error,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);
/* The same attribute as a text. */
KORA_PLATFORM_API int32_t UTIL_Module_Attribute_Text(long context, long list, long index,
                                                     long attribute, char value[256],
                                                     int32_t* warning, int32_t* error,
                                                     char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t UTIL_Module_Free_List(long context, long list, int32_t* warning,
                                                int32_t* error,
                                                char message[CLASSLIB_MESSAGE_SIZE]);

/* Seconds since an arbitrary origin, at high resolution (the virtual bench clock when one is
 * active). */
KORA_PLATFORM_API double UTIL_Hrestim_Time_Stamp(void);

#ifdef __cplusplus
}
#endif

#endif
